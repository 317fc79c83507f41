#include <gtest/gtest.h>

#include <cmath>

#include "mtx.h"
#include "test_util.h"

using ::testing::ExitedWithCode;

TEST(Bmath, ProductShapeAndValues) {
    auto a = held(mk(2, 3, {1, 2, 3, 4, 5, 6}));
    auto b = held(mk(3, 4, {1, 0, 0, 1, 0, 1, 0, 1, 0, 0, 1, 1}));
    auto r = held(mtx_bmath(a, b, '*'));
    ASSERT_EQ(r->nrows, 2);
    ASSERT_EQ(r->ncols, 4);
    EXPECT_EQ(elems(r), (std::vector<double>{1, 2, 3, 6, 4, 5, 6, 15}));
}

TEST(Bmath, ProductIntoItsOwnInput) {
    auto a = held(mk(2, 2, {1, 2, 3, 4}));
    auto b = held(mk(2, 2, {0, 1, 1, 0}));
    inp_mtx_bmath(a, b, a, '*');
    EXPECT_EQ(elems(a), (std::vector<double>{2, 1, 4, 3}));
    inp_mtx_bmath(b, a, a, '*');
    EXPECT_EQ(elems(a), (std::vector<double>{4, 3, 2, 1}));
}

TEST(Bmath, ElementCodesRunOverFlatBlocks) {
    auto a = held(mk(2, 3, {1, 2, 3, 4, 5, 6}));
    auto b = held(mk(3, 2, {6, 5, 4, 3, 2, 1}));
    auto r = held(alloc_mtx(6, 1));
    inp_mtx_bmath(a, b, r, '+');
    EXPECT_EQ(elems(r), std::vector<double>(6, 7.0));
    inp_mtx_bmath(a, b, a, '+');  // output may be an input
    EXPECT_EQ(elems(a), std::vector<double>(6, 7.0));
}

TEST(Bmath, DivisionByZeroGivesLargeValueAndOneLinePerElement) {
    auto a = held(mk(1, 3, {4, 5, 6}));
    auto b = held(mk(1, 3, {2, 0, 0}));
    testing::internal::CaptureStdout();
    auto r = held(mtx_bmath(a, b, '/'));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "inp_mtx_bmath: Division by zero \ninp_mtx_bmath: Division by zero \n");
    EXPECT_EQ(elems(r), (std::vector<double>{2, 3e50, 3e50}));
}

TEST(Bmath, MaxMinTakeBOnTiesAndNaN) {
    auto a = held(mk(1, 4, {1, 5, 3, NAN}));
    auto b = held(mk(1, 4, {2, 4, 3, 7}));
    auto mx = held(mtx_bmath(a, b, 'M'));
    auto mn = held(mtx_bmath(a, b, 'm'));
    EXPECT_EQ(elems(mx), (std::vector<double>{2, 5, 3, 7}));
    EXPECT_EQ(elems(mn), (std::vector<double>{1, 4, 3, 7}));
}

TEST(Bmath, ColumnAppendAndDivision) {
    auto a = held(mk(2, 1, {1, 2}));
    auto b = held(mk(2, 2, {3, 4, 5, 6}));
    auto r = held(mtx_bmath(a, b, 'c'));
    ASSERT_EQ(r->ncols, 3);
    EXPECT_EQ(elems(r), (std::vector<double>{1, 3, 4, 2, 5, 6}));
    // a * inverse(diag(2, 4))
    auto d = held(mk(2, 2, {2, 0, 0, 4}));
    auto q = held(mtx_bmath(b, d, 'D'));
    auto want = held(mk(2, 2, {1.5, 1, 2.5, 1.5}));
    EXPECT_LT(max_diff(q, want), 1e-12);
}

TEST(BmathDeath, SizeMismatchAndUnknownCode) {
    auto a = held(alloc_mtx(2, 3));
    auto b = held(alloc_mtx(3, 4));
    EXPECT_EXIT(mtx_bmath(a, b, '+'), ExitedWithCode(1),
                "^Matrix addition: Incompatible dimensions...$");
    EXPECT_EXIT(mtx_bmath(b, a, '*'), ExitedWithCode(1),
                "^Matrix mult: Incompatible dimensions...\n$");
    EXPECT_EXIT(mtx_bmath(a, b, 'c'), ExitedWithCode(1),
                "^Matrix col append: Incompatible dimensions...\n$");
    EXPECT_EXIT(mtx_bmath(b, a, 'D'), ExitedWithCode(1),
                "^Matrix division: Incompatible dimensions...\n$");
    EXPECT_EXIT(mtx_bmath(a, b, 'x'), ExitedWithCode(1), "^Unknown operation in mtx_bmath...\n$");
    EXPECT_EXIT(inp_mtx_bmath(a, a, a, '?'), ExitedWithCode(1),
                "^Unknown operation in mtx_bmath...\n$");
}
