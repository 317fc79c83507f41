// The list-file reader against a plain split of the same bytes: names are
// the maximal runs of characters other than white space, in file order.
// Names longer than 4096 bytes end the process by design; the fuzz inputs
// are at most 4096 bytes long, so every run here is a whole name.
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "files.h"
#include "fuzz_support.h"

void fuzz_list_file(const uint8_t *data, size_t size) {
    const std::string path = fuzz_scratch("list") + "/list.txt";
    fuzz_write_file(path, data, size);

    std::vector<std::string> want;
    std::string cur;
    for (size_t i = 0; i < size; i++) {
        if (isspace(data[i])) {
            if (!cur.empty()) want.push_back(cur);
            cur.clear();
        } else {
            cur.push_back((char)data[i]);
        }
    }
    if (!cur.empty()) want.push_back(cur);

    int count = -1;
    char **names = getFilename(path.c_str(), &count);
    FUZZ_CHECK(names != nullptr);
    FUZZ_CHECK(count == (int)want.size());
    for (int i = 0; i < count; i++) {
        FUZZ_CHECK(names[i] != nullptr);
        // A NUL byte inside a name ends it as a C string, as any reader would.
        FUZZ_CHECK(strcmp(names[i], want[i].c_str()) == 0);
        free(names[i]);
    }
    free(names);
}
