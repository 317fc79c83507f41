// Feeds every seed and every past finding of each fuzz target through its
// entry function. A broken property aborts with the input's path.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fuzz_support.h"

namespace fs = std::filesystem;

namespace {

typedef void (*Entry)(const uint8_t *, size_t);

int replay(const std::string &target, Entry entry) {
    // The inputs are found from the build, so the test runs the same
    // outside ctest.
    const std::string root = FUZZ_DIR;
    std::vector<fs::path> inputs;
    for (const char *kind : {"corpus", "regressions"}) {
        fs::path dir = fs::path(root) / kind / target;
        if (fs::is_directory(dir))
            for (auto &e : fs::directory_iterator(dir))
                if (e.is_regular_file()) inputs.push_back(e.path());
    }
    std::sort(inputs.begin(), inputs.end());
    for (auto &p : inputs) {
        std::ifstream in(p, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        fuzz_set_label(p.string());
        entry((const uint8_t *)bytes.data(), bytes.size());
    }
    return (int)inputs.size();
}

}  // namespace

TEST(FuzzReplay, DatHeader) { EXPECT_GT(replay("dat_header", fuzz_dat_header), 0); }
TEST(FuzzReplay, DatRead) { EXPECT_GT(replay("dat_read", fuzz_dat_read), 0); }
TEST(FuzzReplay, ListFile) { EXPECT_GT(replay("list_file", fuzz_list_file), 0); }
