// Option tables of the programs' command lines.
#include "options.h"

#include <cstring>

namespace {

const OptionRow *row_for(const char *word, const std::vector<OptionRow> &rows) {
    for (const OptionRow &r : rows)
        if (strcmp(r.word, word) == 0) return &r;
    if (word[1] == '\0') return nullptr;
    for (const OptionRow &r : rows)
        if (r.match == OptionRow::first_letter && r.word[1] == word[1]) return &r;
    return nullptr;
}

}  // namespace

int parse_options(int argc, char **argv, const std::vector<OptionRow> &rows,
                  const std::function<void(const char *word)> &unknown) {
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; i++) {
        const char *word = argv[i];
        const OptionRow *r = row_for(word, rows);
        if (!r) {
            unknown(word);
            continue;  // not reached: `unknown` ends the parse
        }
        const char *value = nullptr;
        if (r->value == OptionRow::attached_or_next && word[2] != '\0') {
            value = word + 2;
        } else if (r->value != OptionRow::none) {
            if (i + 1 < argc) value = argv[++i];
        }
        r->apply(word, value);
    }
    return i;
}

const char *late_option(int argc, char **argv, int from) {
    for (int k = from; k < argc; k++)
        if (argv[k][0] == '-') return argv[k];
    return nullptr;
}
