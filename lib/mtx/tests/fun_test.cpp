#include <gtest/gtest.h>

#include "mtx.h"
#include "test_util.h"

using ::testing::ExitedWithCode;

TEST(Fun, ResultShapes) {
    auto a = held(random_matrix(3, 5, 1, -1.0, 1.0));
    auto d = held(mtx_fun(a, 'D'));
    EXPECT_EQ(d->nrows, 3);
    EXPECT_EQ(d->ncols, 1);
    EXPECT_EQ(d->pix[2][0], a->pix[2][2]);
    auto t = held(mtx_fun(a, 'T'));
    EXPECT_EQ(t->nrows, 5);
    EXPECT_EQ(t->ncols, 3);
    EXPECT_EQ(t->pix[4][1], a->pix[1][4]);
    auto row = held(alloc_mtx(1, 3));  // 'D' also fills a row
    inp_mtx_fun(a, row, 'D');
    EXPECT_EQ(elems(row), elems(d));
}

TEST(Fun, DifferencesSumsAndFlips) {
    auto a = held(mk(2, 2, {1, 2, 4, 8}));
    auto r = held(alloc_mtx(2, 2));
    inp_mtx_fun(a, r, 'G');
    EXPECT_EQ(elems(r), (std::vector<double>{0, 0, 3, 6}));
    inp_mtx_fun(a, r, 'g');
    EXPECT_EQ(elems(r), (std::vector<double>{0, 1, 0, 4}));
    inp_mtx_fun(a, r, 'C');
    EXPECT_EQ(elems(r), (std::vector<double>{1, 2, 5, 10}));
    inp_mtx_fun(a, r, 'F');
    EXPECT_EQ(elems(r), (std::vector<double>{4, 8, 1, 2}));
    inp_mtx_fun(a, r, 'N');
    EXPECT_EQ(elems(r), (std::vector<double>{0.2, 0.2, 0.8, 0.8}));
    inp_mtx_fun(a, r, 'i');
    EXPECT_EQ(elems(r), (std::vector<double>{1, 0.5, 0.25, 0.125}));
}

TEST(Fun, MovingCodesWorkInPlace) {
    auto a = held(mk(2, 3, {1, 2, 3, 4, 5, 6}));
    inp_mtx_fun(a, a, 'f');
    EXPECT_EQ(elems(a), (std::vector<double>{3, 2, 1, 6, 5, 4}));
    inp_mtx_fun(a, a, 'g');
    EXPECT_EQ(elems(a), (std::vector<double>{0, -1, -1, 0, -1, -1}));
    auto s = held(mk(2, 2, {1, 2, 3, 4}));
    inp_mtx_fun(s, s, 'T');
    EXPECT_EQ(elems(s), (std::vector<double>{1, 3, 2, 4}));
}

TEST(Fun, ZeroSumRowIsCopiedWithOneLinePerElement) {
    auto a = held(mk(2, 2, {0, 0, 1, 3}));
    testing::internal::CaptureStdout();
    auto r = held(mtx_fun(a, 'n'));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "inp_mtx_fun: sum is zero in row-normalization\n"
              "inp_mtx_fun: sum is zero in row-normalization\n");
    EXPECT_EQ(elems(r), (std::vector<double>{0, 0, 0.25, 0.75}));
}

TEST(Fun, InverseByEitherCode) {
    auto a = held(mk(2, 2, {4, 7, 2, 6}));
    auto want = held(mk(2, 2, {0.6, -0.7, -0.2, 0.4}));
    auto v = held(mtx_fun(a, 'V'));
    EXPECT_LT(max_diff(v, want), 1e-12);
    testing::internal::CaptureStdout();
    auto g = held(mtx_fun(a, 'I'));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Warning: inp_mtx_fun - mode I made obsolete by mode V\n");
    EXPECT_LT(max_diff(g, want), 1e-12);
}

TEST(FunDeath, RepresentativeFailures) {
    auto a = held(mk(2, 2, {1, 0, 2, 3}));
    auto b = held(alloc_mtx(2, 3));
    EXPECT_EXIT(mtx_fun(a, 'i'), ExitedWithCode(1),
                "^Matrix element inversion: Zero element...\n$");
    EXPECT_EXIT(inp_mtx_fun(a, b, 'T'), ExitedWithCode(1),
                "^Matrix transp: Incompatible dimensions...\n$");
    EXPECT_EXIT(inp_mtx_fun(a, b, 'R'), ExitedWithCode(1),
                "^Matrix replicate: Incompatible dimensions...\n$");
    EXPECT_EXIT(inp_mtx_fun(a, b, 'D'), ExitedWithCode(1),
                "^Matrix Diagonal: Incompatible dimensions...\n$");
    EXPECT_EXIT(inp_mtx_fun(a, b, 'V'), ExitedWithCode(1),
                "^Matrix inversion: Incompatible dimensions...\n$");
    EXPECT_EXIT(mtx_fun(a, 'q'), ExitedWithCode(1), "^Unknown function in mtx_fun...\n$");
}
