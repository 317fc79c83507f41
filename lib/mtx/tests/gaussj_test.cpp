#include <gtest/gtest.h>

#include <cmath>

#include "mtx.h"
#include "test_util.h"

using ::testing::ExitedWithCode;

TEST(Gaussj, KnownInverseAndSolution) {
    auto a = held(mk(3, 3, {2, -1, 0, -1, 2, -1, 0, -1, 2}));
    auto b = held(mk(3, 1, {1, 0, 1}));
    gaussj(a, b);
    auto want = held(mk(3, 3, {0.75, 0.5, 0.25, 0.5, 1, 0.5, 0.25, 0.5, 0.75}));
    EXPECT_LT(max_diff(a, want), 1e-14);
    EXPECT_NEAR(b->pix[0][0], 1, 1e-14);
    EXPECT_NEAR(b->pix[1][0], 1, 1e-14);
    EXPECT_NEAR(b->pix[2][0], 1, 1e-14);
}

TEST(Gaussj, PermutationIsItsOwnInverse) {
    auto a = held(mk(2, 2, {0, 1, 1, 0}));
    auto b = held(ident(2));
    gaussj(a, b);
    EXPECT_EQ(elems(a), (std::vector<double>{0, 1, 1, 0}));
    EXPECT_EQ(elems(b), (std::vector<double>{0, 1, 1, 0}));
}

TEST(Gaussj, RandomInverse) {
    auto a = held(random_matrix(6, 6, 11, -1.0, 1.0));
    auto inv = held(mtx_fun(a, 'R'));
    auto b = held(ident(6));
    gaussj(inv, b);
    auto p = held(mtx_bmath(a, inv, '*'));
    auto id = held(ident(6));
    EXPECT_LT(max_diff(p, id), 1e-12);
    EXPECT_LT(max_diff(b, inv), 1e-12);  // the solution of a x = I is the inverse too
}

TEST(GaussjDeath, SingularCases) {
    auto z = held(calloc_mtx(2, 2));
    auto b = held(ident(2));
    EXPECT_EXIT(gaussj(z, b), ExitedWithCode(1), "^gaussj: Singular Matrix-2\n$");
    auto r1 = held(mk(2, 2, {1, 2, 2, 4}));
    EXPECT_EXIT(gaussj(r1, b), ExitedWithCode(1), "^gaussj: Singular Matrix-2\n$");
    auto nan = held(mk(2, 2, {NAN, NAN, NAN, NAN}));
    EXPECT_EXIT(gaussj(nan, b), ExitedWithCode(1), "^gaussj: Singular Matrix-1$");
    auto odd = held(alloc_mtx(2, 3));
    EXPECT_EXIT(gaussj(odd, b), ExitedWithCode(1), "Incompatible dimensions");
}
