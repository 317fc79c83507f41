#include <gtest/gtest.h>

#include <cmath>

#include "mtx.h"
#include "test_util.h"

using ::testing::ExitedWithCode;

TEST(Gaussj, KnownInverseAndSolution) {
    matrix *a = mk(3, 3, {2, -1, 0, -1, 2, -1, 0, -1, 2});
    matrix *b = mk(3, 1, {1, 0, 1});
    gaussj(a, b);
    matrix *want = mk(3, 3, {0.75, 0.5, 0.25, 0.5, 1, 0.5, 0.25, 0.5, 0.75});
    EXPECT_LT(max_diff(a, want), 1e-14);
    EXPECT_NEAR(b->pix[0][0], 1, 1e-14);
    EXPECT_NEAR(b->pix[1][0], 1, 1e-14);
    EXPECT_NEAR(b->pix[2][0], 1, 1e-14);
    for (matrix *m : {a, b, want}) free_mtx(m);
}

TEST(Gaussj, PermutationIsItsOwnInverse) {
    matrix *a = mk(2, 2, {0, 1, 1, 0});
    matrix *b = ident(2);
    gaussj(a, b);
    EXPECT_EQ(elems(a), (std::vector<double>{0, 1, 1, 0}));
    EXPECT_EQ(elems(b), (std::vector<double>{0, 1, 1, 0}));
    free_mtx(a);
    free_mtx(b);
}

TEST(Gaussj, RandomInverse) {
    matrix *a = random_matrix(6, 6, 11, -1.0, 1.0);
    matrix *inv = mtx_fun(a, 'R');
    matrix *b = ident(6);
    gaussj(inv, b);
    matrix *p = mtx_bmath(a, inv, '*');
    matrix *id = ident(6);
    EXPECT_LT(max_diff(p, id), 1e-12);
    EXPECT_LT(max_diff(b, inv), 1e-12);  // the solution of a x = I is the inverse too
    for (matrix *m : {a, inv, b, p, id}) free_mtx(m);
}

TEST(GaussjDeath, SingularCases) {
    matrix *z = calloc_mtx(2, 2);
    matrix *b = ident(2);
    EXPECT_EXIT(gaussj(z, b), ExitedWithCode(1), "^gaussj: Singular Matrix-2\n$");
    matrix *r1 = mk(2, 2, {1, 2, 2, 4});
    EXPECT_EXIT(gaussj(r1, b), ExitedWithCode(1), "^gaussj: Singular Matrix-2\n$");
    matrix *nan = mk(2, 2, {NAN, NAN, NAN, NAN});
    EXPECT_EXIT(gaussj(nan, b), ExitedWithCode(1), "^gaussj: Singular Matrix-1$");
    matrix *odd = alloc_mtx(2, 3);
    EXPECT_EXIT(gaussj(odd, b), ExitedWithCode(1), "Incompatible dimensions");
    for (matrix *m : {z, b, r1, nan, odd}) free_mtx(m);
}
