#include <gtest/gtest.h>

#include <cmath>

#include "mtx.h"
#include "test_util.h"

using ::testing::ExitedWithCode;

// |X'X - I| for the columns of X.
static double orthonormality_error(matrix *x) {
    auto xt = held(mtx_fun(x, 'T'));
    auto g = held(mtx_bmath(xt, x, '*'));
    auto id = held(ident(x->ncols));
    const double e = max_diff(g, id);
    return e;
}

TEST(Svd, PythagAvoidsOverflowAndUnderflow) {
    EXPECT_EQ(pythag(3, -4), 5);
    EXPECT_EQ(pythag(0, 0), 0);
    EXPECT_DOUBLE_EQ(pythag(3e200, 4e200), 5e200);
    EXPECT_DOUBLE_EQ(pythag(3e-200, 4e-200), 5e-200);
}

TEST(Svd, ReconstructsRandomRectangularMatrices) {
    const int shapes[][2] = {{3, 2}, {6, 4}, {5, 5}, {20, 7}, {1, 1}};
    unsigned seed = 7;
    for (auto &sh : shapes) {
        auto a = held(random_matrix(sh[0], sh[1], seed++, -1.0, 1.0));
        auto s = held(svdcmp(a));
        ASSERT_EQ(s->U->nrows, sh[0]);
        ASSERT_EQ(s->U->ncols, sh[1]);
        ASSERT_EQ(s->W->nrows, sh[1]);
        ASSERT_EQ(s->V->nrows, sh[1]);
        for (int i = 0; i < sh[1]; i++) EXPECT_GE(s->W->pix[i][0], 0.0);
        EXPECT_LT(orthonormality_error(s->U), 1e-12);
        EXPECT_LT(orthonormality_error(s->V), 1e-12);
        auto uw = held(mtx_fun(s->U, 'R'));
        for (int i = 0; i < uw->nrows; i++)
            for (int j = 0; j < uw->ncols; j++) uw->pix[i][j] *= s->W->pix[j][0];
        auto vt = held(mtx_fun(s->V, 'T'));
        auto back = held(mtx_bmath(uw, vt, '*'));
        EXPECT_LT(max_diff(back, a), 1e-12) << sh[0] << "x" << sh[1];
    }
}

TEST(Svd, SingularValuesStayUnsorted) {
    auto a = held(mk(2, 2, {1, 0, 0, 5}));
    auto s = held(svdcmp(a));
    EXPECT_NEAR(s->W->pix[0][0], 1, 1e-14);
    EXPECT_NEAR(s->W->pix[1][0], 5, 1e-14);
}

TEST(Svd, ThresholdIsTheLargerOfAbsoluteAndRelative) {
    auto s = held(alloc_singvs(3, 3));
    const double w[3] = {50, 0.3, 0.05};
    for (int i = 0; i < 3; i++) s->W->pix[i][0] = w[i];
    testing::internal::CaptureStdout();
    svdtresh(s, 0.1, 0.01, 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Warning: Singular matrix to defined precision\n");
    EXPECT_EQ(elems(s->W), (std::vector<double>{50, 0, 0}));
    for (int i = 0; i < 3; i++) s->W->pix[i][0] = w[i];
    svdtresh(s, 0.1, 0.001, 0);
    EXPECT_EQ(elems(s->W), (std::vector<double>{50, 0.3, 0}));
}

TEST(Svd, InverseAndPseudoInverse) {
    auto a = held(mk(2, 2, {2, 0, 0, 4}));
    auto inv = held(mtx_fun(a, 'V'));
    auto want = held(mk(2, 2, {0.5, 0, 0, 0.25}));
    EXPECT_LT(max_diff(inv, want), 1e-15);

    a = mk(2, 2, {1, 0, 0, 1e-7});
    testing::internal::CaptureStdout();
    inv = mtx_fun(a, 'V');
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    want = mk(2, 2, {1, 0, 0, 0});
    EXPECT_LT(max_diff(inv, want), 1e-15);

    // Rank one: the pseudo-inverse of u v' is v u' / (|u|^2 |v|^2).
    a = mk(2, 2, {1, 2, 2, 4});
    inv = mtx_fun(a, 'V');
    want = mk(2, 2, {0.04, 0.08, 0.08, 0.16});
    EXPECT_LT(max_diff(inv, want), 1e-12);
}

TEST(Svd, LeastSquaresLine) {
    // y = 1 + 2 t exactly, overdetermined.
    auto A = held(mk(4, 2, {1, 0, 1, 1, 1, 2, 1, 3}));
    auto y = held(mk(4, 1, {1, 3, 5, 7}));
    auto x = held(lsys(A, y, 1e-10, 1e-12, 0));
    ASSERT_EQ(x->nrows, 2);
    EXPECT_NEAR(x->pix[0][0], 1, 1e-12);
    EXPECT_NEAR(x->pix[1][0], 2, 1e-12);
}

TEST(SvdDeath, ShapesRefused) {
    auto wide = held(alloc_mtx(2, 3));
    fill_mtx(wide, 1.0);
    EXPECT_EXIT(svdcmp(wide), ExitedWithCode(1),
                "^svdcm: You must augment A with extra zero rows\n$");
    EXPECT_EXIT(mtx_fun(wide, 'V'), ExitedWithCode(1),
                "^svdcm: You must augment A with extra zero rows\n$");
    auto tall = held(random_matrix(3, 2, 3, -1.0, 1.0));
    EXPECT_EXIT(mtx_fun(tall, 'V'), ExitedWithCode(1),
                "^Matrix mult: Incompatible dimensions...\n$");
}
