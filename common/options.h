// The options part of both programs' command lines: options come first,
// each a word after a dash; the first word that does not start with a dash
// begins the positional arguments. A program lists its options in one
// table; each row says how the word is matched and whether a value follows.
//
// Matching keeps the programs' historical rules: a row marked
// `first_letter` takes every word whose first letter after the dash is its
// own (Lumivar's "-s" also answers "-scale"), a `whole` row only its exact
// word; whole rows are tried first.
#ifndef OPTIONS_H
#define OPTIONS_H

#include <functional>
#include <vector>

struct OptionRow {
    const char *word;  // "-d", "-enforce", "--learned"
    enum Match { whole, first_letter } match;
    // none: a flag; next: the value is the next word; attached_or_next: the
    // rest of the word when there is one ("-j4"), else the next word.
    enum Value { none, next, attached_or_next } value;
    // Called with the word as typed and its value (null for a flag). A
    // value missing at the end of argv is given as null too: the row
    // decides how to refuse it.
    std::function<void(const char *word, const char *value)> apply;
};

// Applies the rows to the options of argv, in order, and returns the index
// of the first positional argument. A word no row takes goes to `unknown`,
// which must not return.
int parse_options(int argc, char **argv, const std::vector<OptionRow> &rows,
                  const std::function<void(const char *word)> &unknown);

// The first word from `from` on that starts with a dash (an option after
// the positional arguments, which would otherwise be ignored), or null.
const char *late_option(int argc, char **argv, int from);

#endif
