// Long options with a value that both programs' parsers leave alone,
// taken out of argv first (as take_record_options takes --json).
#ifndef LONGOPT_H
#define LONGOPT_H

#include <string>

// Removes every "name VALUE" pair from argv (updating *argc) wherever it
// stands and keeps the last VALUE in *value; true when the option was
// there. A missing or empty value is a usage error: a message, then
// `on_usage_error`.
bool take_long_option(int *argc, char **argv, const char *name, std::string *value,
                      void (*on_usage_error)(void));

#endif
