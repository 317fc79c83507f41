#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "files.h"
#include "test_support.h"

namespace {

matrix *row(std::initializer_list<double> v) {
    matrix *m = calloc_mtx(2, (int)v.size());
    int i = 0;
    for (double x : v) m->pix[1][i++] = x;  // class 1; row 0 stays zero
    return m;
}

}  // namespace

TEST(ClassFileWrite, SplitsIndicesIntoLevelAndZigzagIndex) {
    ScratchDir dir("classfile");
    std::string name = dir.path("Qor_class_1");
    auto costs = held(row({1.5, 1.0, 0.0, 0.0, 0.0}));
    auto mds = held(row({0.25, 1.0 / 6, -2.0, 3.0, 0.0}));
    // 69 -> (1, 5); 130 -> (2, 2); 191.9 truncates to 191 -> (2, 63);
    // 192 and beyond lie past the DCT features of depth 3: level 0, index f.
    auto idx = held(row({69, 130, 191.9, 192, 0}));
    FILE *old = fopen(name.c_str(), "w");  // an older, longer file is truncated
    fputs(std::string(500, 'z').c_str(), old);
    fclose(old);
    dumpSalFts(costs, mds, idx, 1, 3, 64, name.c_str());
    EXPECT_EQ(slurp(name),
              "1.500000\t0.250000\t1\t5\n"
              "1.000000\t0.166667\t2\t2\n"
              "0.000000\t-2.000000\t2\t63\n"
              "0.000000\t3.000000\t0\t192\n"
              "0.000000\t0.000000\t0\t0\n");
}

TEST(ClassFileWriteDeathTest, UnwritableFileEndsWithItsName) {
    auto m = held(calloc_mtx(1, 1));
    EXPECT_EXIT(dumpSalFts(m, m, m, 0, 1, 64, "/nonexistent-dir/Qor_class_0"),
                testing::ExitedWithCode(1), "Cannot write class file /nonexistent-dir/Qor_class_0");
}
