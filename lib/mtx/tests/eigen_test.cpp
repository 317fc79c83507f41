#include <gtest/gtest.h>

#include <cmath>

#include "mtx.h"
#include "test_util.h"

using ::testing::ExitedWithCode;

static matrix *random_symmetric(int n, unsigned seed) {
    auto r = held(random_matrix(n, n, seed, -1.0, 1.0));
    auto t = held(mtx_fun(r, 'T'));
    matrix *s = mtx_bmath(r, t, '+');
    return s;
}

TEST(Eigen, JacobiDiagonalisesRandomSymmetricMatrix) {
    auto a = held(random_symmetric(8, 5));
    auto e = held(alloc_eigvs(8));
    eig(a, e, 'J');
    auto av = held(mtx_bmath(a, e->V, '*'));
    auto vl = held(mtx_fun(e->V, 'R'));
    for (int i = 0; i < 8; i++)
        for (int j = 0; j < 8; j++) vl->pix[i][j] *= e->L->pix[j][0];
    EXPECT_LT(max_diff(av, vl), 1e-10);
    EXPECT_NEAR(Trace(e->L), Trace(a), 1e-10);
    eigsrt(e);
    for (int i = 1; i < 8; i++) EXPECT_GE(e->L->pix[i - 1][0], e->L->pix[i][0]);
    auto av2 = held(mtx_bmath(a, e->V, '*'));  // columns moved with their values
    for (int i = 0; i < 8; i++)
        for (int j = 0; j < 8; j++)
            EXPECT_NEAR(av2->pix[i][j], e->V->pix[i][j] * e->L->pix[j][0], 1e-10);
}

TEST(Eigen, DeterminantTraceSquareRoot) {
    auto a = held(mk(2, 2, {5, 4, 4, 5}));  // eigenvalues 9 and 1
    EXPECT_NEAR(Determ(a), 9, 1e-12);
    EXPECT_EQ(Trace(a), 10);
    auto v = held(mk(1, 3, {2, 3, 4}));
    EXPECT_EQ(Determ(v), 24);
    EXPECT_EQ(Trace(v), 9);
    auto r = held(mtx_sqrt(a));
    auto want = held(mk(2, 2, {2, 1, 1, 2}));
    EXPECT_LT(max_diff(r, want), 1e-12);
}

TEST(Eigen, NormalEquationsDropSmallEigenvalues) {
    auto a = held(mk(2, 2, {4, 0, 0, 1e-9}));
    auto b = held(mk(2, 1, {8, 1}));
    auto x = held(normeq(a, b, 1e-6));
    EXPECT_NEAR(x->pix[0][0], 2, 1e-14);
    EXPECT_EQ(x->pix[1][0], 0);
}

TEST(EigenDeath, RepresentativeFailures) {
    auto a = held(alloc_mtx(2, 3));
    fill_mtx(a, 1.0);
    auto e = held(alloc_eigvs(2));
    EXPECT_EXIT(eig(a, e, 'Q'), ExitedWithCode(1), "^Eig: Unknown computation method ... \n$");
    EXPECT_EXIT(Determ(a), ExitedWithCode(1),
                "^Can only compute the determinant of a square matrix \n$");
    EXPECT_EXIT(Trace(a), ExitedWithCode(1), "^Can only compute the trace of a square matrix \n$");
    EXPECT_EXIT(mtx_sqrt(a), ExitedWithCode(1), "^mtx_sqrt error: input matrix is not square\n$");
}
