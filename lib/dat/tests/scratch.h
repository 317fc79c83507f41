// Scratch directories and whole-file helpers for the datfile tests.
#ifndef DAT_TESTS_SCRATCH_H
#define DAT_TESTS_SCRATCH_H

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

class Scratch : public ::testing::Test {
protected:
    std::string dir;

    void SetUp() override {
        std::string tmpl = std::filesystem::temp_directory_path().string() + "/dattest.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir = tmpl;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    std::string path(const std::string &name) const { return dir + "/" + name; }
};

inline std::string slurp(const std::string &file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void spit(const std::string &file, const std::string &text) {
    std::ofstream(file, std::ios::binary) << text;
}

// A datfile made by hand: the descriptor text and the raw data bytes.
inline void make_datfile(const std::string &dir, const std::string &descriptor,
                         const std::string &data) {
    std::filesystem::create_directories(dir);
    spit(dir + "/descriptor", descriptor);
    spit(dir + "/data", data);
}

#endif
