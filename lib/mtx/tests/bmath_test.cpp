#include <gtest/gtest.h>

#include <cmath>

#include "mtx.h"
#include "test_util.h"

using ::testing::ExitedWithCode;

TEST(Bmath, ProductShapeAndValues) {
    matrix *a = mk(2, 3, {1, 2, 3, 4, 5, 6});
    matrix *b = mk(3, 4, {1, 0, 0, 1, 0, 1, 0, 1, 0, 0, 1, 1});
    matrix *r = mtx_bmath(a, b, '*');
    ASSERT_EQ(r->nrows, 2);
    ASSERT_EQ(r->ncols, 4);
    EXPECT_EQ(elems(r), (std::vector<double>{1, 2, 3, 6, 4, 5, 6, 15}));
    free_mtx(r);
    free_mtx(a);
    free_mtx(b);
}

TEST(Bmath, ProductIntoItsOwnInput) {
    matrix *a = mk(2, 2, {1, 2, 3, 4});
    matrix *b = mk(2, 2, {0, 1, 1, 0});
    inp_mtx_bmath(a, b, a, '*');
    EXPECT_EQ(elems(a), (std::vector<double>{2, 1, 4, 3}));
    inp_mtx_bmath(b, a, a, '*');
    EXPECT_EQ(elems(a), (std::vector<double>{4, 3, 2, 1}));
    free_mtx(a);
    free_mtx(b);
}

TEST(Bmath, ElementCodesRunOverFlatBlocks) {
    matrix *a = mk(2, 3, {1, 2, 3, 4, 5, 6});
    matrix *b = mk(3, 2, {6, 5, 4, 3, 2, 1});
    matrix *r = alloc_mtx(6, 1);
    inp_mtx_bmath(a, b, r, '+');
    EXPECT_EQ(elems(r), std::vector<double>(6, 7.0));
    inp_mtx_bmath(a, b, a, '+');  // output may be an input
    EXPECT_EQ(elems(a), std::vector<double>(6, 7.0));
    free_mtx(a);
    free_mtx(b);
    free_mtx(r);
}

TEST(Bmath, DivisionByZeroGivesLargeValueAndOneLinePerElement) {
    matrix *a = mk(1, 3, {4, 5, 6});
    matrix *b = mk(1, 3, {2, 0, 0});
    testing::internal::CaptureStdout();
    matrix *r = mtx_bmath(a, b, '/');
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "inp_mtx_bmath: Division by zero \ninp_mtx_bmath: Division by zero \n");
    EXPECT_EQ(elems(r), (std::vector<double>{2, 3e50, 3e50}));
    free_mtx(r);
    free_mtx(a);
    free_mtx(b);
}

TEST(Bmath, MaxMinTakeBOnTiesAndNaN) {
    matrix *a = mk(1, 4, {1, 5, 3, NAN});
    matrix *b = mk(1, 4, {2, 4, 3, 7});
    matrix *mx = mtx_bmath(a, b, 'M');
    matrix *mn = mtx_bmath(a, b, 'm');
    EXPECT_EQ(elems(mx), (std::vector<double>{2, 5, 3, 7}));
    EXPECT_EQ(elems(mn), (std::vector<double>{1, 4, 3, 7}));
    free_mtx(mx);
    free_mtx(mn);
    free_mtx(a);
    free_mtx(b);
}

TEST(Bmath, ColumnAppendAndDivision) {
    matrix *a = mk(2, 1, {1, 2});
    matrix *b = mk(2, 2, {3, 4, 5, 6});
    matrix *r = mtx_bmath(a, b, 'c');
    ASSERT_EQ(r->ncols, 3);
    EXPECT_EQ(elems(r), (std::vector<double>{1, 3, 4, 2, 5, 6}));
    free_mtx(r);
    // a * inverse(diag(2, 4))
    matrix *d = mk(2, 2, {2, 0, 0, 4});
    matrix *q = mtx_bmath(b, d, 'D');
    matrix *want = mk(2, 2, {1.5, 1, 2.5, 1.5});
    EXPECT_LT(max_diff(q, want), 1e-12);
    free_mtx(want);
    free_mtx(q);
    free_mtx(d);
    free_mtx(a);
    free_mtx(b);
}

TEST(BmathDeath, SizeMismatchAndUnknownCode) {
    matrix *a = alloc_mtx(2, 3);
    matrix *b = alloc_mtx(3, 4);
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
    free_mtx(a);
    free_mtx(b);
}
