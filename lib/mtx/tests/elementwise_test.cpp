#include <gtest/gtest.h>

#include <cmath>

#include "mtx.h"
#include "test_util.h"

using ::testing::ExitedWithCode;

TEST(Elementwise, ProductQuotientAndFunctions) {
    auto a = held(mk(2, 2, {1, -2, 0, 4}));
    auto b = held(mk(2, 2, {2, 2, 2, 8}));
    auto r = held(mtx_elbmath(a, b, '/'));
    EXPECT_EQ(elems(r), (std::vector<double>{0.5, -1, 0, 0.5}));
    inp_mtx_elbmath(a, b, a, '*');
    EXPECT_EQ(elems(a), (std::vector<double>{2, -4, 0, 32}));
    inp_mtx_elfun(a, r, 'S');
    EXPECT_EQ(elems(r), (std::vector<double>{1, -1, 0, 1}));
    inp_mtx_elfun(a, a, 'a');
    EXPECT_EQ(elems(a), (std::vector<double>{2, 4, 0, 32}));
    auto s = held(mtx_elfun(a, 's'));
    EXPECT_DOUBLE_EQ(s->pix[0][0], 1.0 / std::cosh(2.0));
    EXPECT_EQ(s->pix[1][0], 1.0);
    auto flat = held(alloc_mtx(1, 5));  // shape is not compared, room is
    inp_mtx_elfun(b, flat, 'l');
    EXPECT_DOUBLE_EQ(flat->pix[0][3], std::log(8.0));
}

TEST(ElementwiseDeath, RepresentativeFailures) {
    auto a = held(alloc_mtx(2, 2));
    auto b = held(alloc_mtx(1, 4));
    EXPECT_EXIT(mtx_elbmath(a, b, '*'), ExitedWithCode(1),
                "^Inconsistent sizes in mtx_elbmath \n$");
    EXPECT_EXIT(inp_mtx_elbmath(a, a, b, '*'), ExitedWithCode(1),
                "^Inconsistent sizes in inp_mtx_elbmath \n$");
    EXPECT_EXIT(mtx_elbmath(a, a, '+'), ExitedWithCode(1),
                "^Unknown operation in mtx_elbmath...\n$");
    EXPECT_EXIT(mtx_elfun(a, 'q'), ExitedWithCode(1), "^Unknown function in inp_mtx_elfun...\n$");
    auto small = held(alloc_mtx(1, 3));
    EXPECT_EXIT(inp_mtx_elfun(a, small, 'a'), ExitedWithCode(1), "Incompatible dimensions");
}
