// Scratch directory fixture and hand-made datfiles for the datfile tests.
#ifndef DAT_TESTS_SCRATCH_H
#define DAT_TESTS_SCRATCH_H

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "test_support.h"

class Scratch : public ::testing::Test {
protected:
    ScratchDir scratch{"dattest"};
    std::string dir = scratch.path();

    std::string path(const std::string &name) const { return dir + "/" + name; }
};

// A datfile made by hand: the descriptor text and the raw data bytes.
inline void make_datfile(const std::string &dir, const std::string &descriptor,
                         const std::string &data) {
    std::filesystem::create_directories(dir);
    spit(dir + "/descriptor", descriptor);
    spit(dir + "/data", data);
}

#endif
