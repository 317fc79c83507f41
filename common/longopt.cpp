#include "longopt.h"

#include <cstring>

#include "fail.h"

bool take_long_option(int *argc, char **argv, const char *name, std::string *value,
                      void (*on_usage_error)(void)) {
    bool found = false;
    int out = 1;
    for (int i = 1; i < *argc; i++) {
        if (strcmp(argv[i], name) != 0) {
            argv[out++] = argv[i];
            continue;
        }
        if (i + 1 >= *argc || argv[i + 1][0] == '\0') {
            lib_notice(2, "%s needs a file name\n", name);
            on_usage_error();
        }
        *value = argv[++i];
        found = true;
    }
    argv[out] = nullptr;
    *argc = out;
    return found;
}
