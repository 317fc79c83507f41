// List files: white-space-separated names read in one pass.
//
// Names are collected into growing strings up to LIST_ENTRY_MAX bytes; a
// longer entry is no file name (a path is at most 4095 bytes) and ends the
// read at once, so a list such as /dev/zero never fills the memory.
#include "files.h"

#include "cli.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include "fail.h"

namespace {

// The longest entry accepted, in bytes.
const size_t LIST_ENTRY_MAX = 4096;

struct FileCloser {
    FILE *f;
    ~FileCloser() {
        if (f) fclose(f);
    }
};

// The names of an open list, in file order. Stops at the first entry
// longer than LIST_ENTRY_MAX (names then holds the entries before it).
enum class Scan { ok, too_long, read_error };
Scan scan_names(FILE *in, std::vector<std::string> *names) {
    std::string current;
    bool in_name = false;
    for (int c; (c = getc(in)) != EOF;) {
        if (isspace((unsigned char)c)) {
            if (in_name) names->push_back(std::move(current));
            current.clear();
            in_name = false;
        } else {
            if (current.size() == LIST_ENTRY_MAX) return Scan::too_long;
            current.push_back((char)c);
            in_name = true;
        }
    }
    if (ferror(in)) return Scan::read_error;
    if (in_name) names->push_back(std::move(current));
    return Scan::ok;
}

}  // namespace

char **getFilename(const char *filename, int *count) {
    lib_printf(1, "Read filenames from %s...", filename);
    FileCloser in{fopen(filename, "r")};
    if (!in.f) die("Error: can\'t open list file %s\n", filename);

    std::vector<std::string> names;
    const Scan scan = scan_names(in.f, &names);
    if (scan == Scan::too_long) {
        lib_fatalf(1,
                   "Error: list file %s holds an entry longer than %zu bytes (entry %zu); "
                   "it is not a list of file names\n",
                   filename, LIST_ENTRY_MAX, names.size());
    }
    if (scan == Scan::read_error) die("Error: can\'t read list file %s\n", filename);
    if (names.size() > (size_t)INT_MAX) die("Error: can\'t read list file %s\n", filename);

    char **list = (char **)malloc((names.empty() ? 1 : names.size()) * sizeof(char *));
    check_alloc(list);
    for (size_t i = 0; i < names.size(); i++) {
        list[i] = (char *)malloc(names[i].size() + 1);
        check_alloc(list[i]);
        memcpy(list[i], names[i].c_str(), names[i].size() + 1);
    }
    *count = (int)names.size();
    lib_printf(1, "Done\n");
    return list;
}

FileList FileList::from_stdin() {
    lib_printf(1, "Read filenames from -...");
    std::vector<std::string> names;
    const Scan scan = scan_names(stdin, &names);
    if (scan == Scan::too_long)
        lib_fatalf(1,
                   "Error: the list on standard input holds an entry longer than %zu bytes "
                   "(entry %zu); it is not a list of file names\n",
                   LIST_ENTRY_MAX, names.size());
    if (scan == Scan::read_error || names.size() > (size_t)INT_MAX)
        die("Error: can't read the list on standard input\n");
    char **list = (char **)malloc((names.empty() ? 1 : names.size()) * sizeof(char *));
    check_alloc(list);
    for (size_t i = 0; i < names.size(); i++) {
        list[i] = strdup(names[i].c_str());
        check_alloc(list[i]);
    }
    lib_printf(1, "Done\n");
    return FileList(list, (int)names.size());
}

bool read_list_names(const char *filename, std::vector<std::string> *names) {
    FileCloser in{fopen(filename, "r")};
    return in.f && scan_names(in.f, names) == Scan::ok;
}
