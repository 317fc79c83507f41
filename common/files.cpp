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

namespace {

// The longest entry accepted, in bytes.
const size_t LIST_ENTRY_MAX = 4096;

struct FileCloser {
    FILE *f;
    ~FileCloser() {
        if (f) fclose(f);
    }
};

}  // namespace

char **getFilename(const char *filename, int *count) {
    printf("Read filenames from %s...", filename);
    FileCloser in{fopen(filename, "r")};
    if (!in.f) die("Error: can\'t open list file %s\n", filename);

    std::vector<std::string> names;
    std::string current;
    bool in_name = false;
    for (int c; (c = getc(in.f)) != EOF;) {
        if (isspace((unsigned char)c)) {
            if (in_name) names.push_back(std::move(current));
            current.clear();
            in_name = false;
        } else {
            if (current.size() == LIST_ENTRY_MAX) {
                fflush(stdout);
                fprintf(stderr,
                        "Error: list file %s holds an entry longer than %zu bytes (entry %zu); "
                        "it is not a list of file names\n",
                        filename, LIST_ENTRY_MAX, names.size());
                exit(1);
            }
            current.push_back((char)c);
            in_name = true;
        }
    }
    if (ferror(in.f)) die("Error: can\'t read list file %s\n", filename);
    if (in_name) names.push_back(std::move(current));
    if (names.size() > (size_t)INT_MAX) die("Error: can\'t read list file %s\n", filename);

    char **list = (char **)malloc((names.empty() ? 1 : names.size()) * sizeof(char *));
    check_alloc(list);
    for (size_t i = 0; i < names.size(); i++) {
        list[i] = (char *)malloc(names[i].size() + 1);
        check_alloc(list[i]);
        memcpy(list[i], names[i].c_str(), names[i].size() + 1);
    }
    *count = (int)names.size();
    printf("Done\n");
    return list;
}
