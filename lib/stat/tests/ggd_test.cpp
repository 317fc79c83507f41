#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>

#include "classstat.h"
#include "kurttable_long.h"
#include "test_support.h"

namespace {

double lookup(double kurt) {
    auto k = held(calloc_mtx(1, 1)), b = held(calloc_mtx(1, 1));
    k->pix[0][0] = kurt;
    ggdfit_beta_moment_mtx(k, b);
    return b->pix[0][0];
}

// One feature, classes given as {M1, M2, M3, M4} each.
matrix *moments(std::initializer_list<std::initializer_list<double>> classes) {
    matrix *m = calloc_mtx(1, 4 * (int)classes.size());
    int c = 0;
    for (auto &cl : classes)
        for (double v : cl) m->pix[0][c++] = v;
    return m;
}

struct Fit {
    double beta, alpha, var;
};
Fit fit(matrix *mnt, int i, int bar) {
    auto b = held(calloc_mtx(1, 1)), a = held(calloc_mtx(1, 1)), v = held(calloc_mtx(1, 1));
    ggd_each_param(mnt, i, bar, b, a, v);
    return Fit{b->pix[0][0], a->pix[0][0], v->pix[0][0]};
}

const double kPi = 3.14159265358979323846;

}  // namespace

TEST(KurtTable, TellingRowsAndMonotone) {
    const int rows[] = {0, 20, 50, 70, 120, 170, 200, 370};
    const double beta[] = {0.30, 0.50, 0.80, 1.00, 1.50, 2.00, 2.30, 4.00};
    const double kurt[] = {173.969127, 25.2, 8.565144, 6.0, 3.761954, 3.0, 2.752524, 2.18844};
    for (int n = 0; n < 8; n++) {
        EXPECT_EQ(kurttable[rows[n]], beta[n]) << rows[n];
        EXPECT_EQ(kurttable[kurttblen + rows[n]], kurt[n]) << rows[n];
    }
    for (int i = 1; i < kurttblen; i++)
        EXPECT_LT(kurttable[kurttblen + i], kurttable[kurttblen + i - 1]);
}

TEST(KurtTable, ShapeLookupTakesSmallestShapeNotAbove) {
    EXPECT_EQ(lookup(3.0), 2.00);
    EXPECT_EQ(lookup(3.1), 1.91);
    EXPECT_EQ(lookup(6.0), 1.00);
    EXPECT_EQ(lookup(5.9), 1.02);
    EXPECT_EQ(lookup(2.2), 3.93);
    EXPECT_EQ(lookup(1000.0), 0.30);
    EXPECT_EQ(lookup(2.0), 4.00);
    EXPECT_EQ(lookup(NAN), 4.00);
}

TEST(Ggd, GammaKlAndEntropyClosedForms) {
    EXPECT_NEAR(gamma_exp(5.0), 24.0, 1e-12);
    EXPECT_NEAR(gamma_exp(0.5), std::sqrt(kPi), 1e-13);
    EXPECT_NEAR(kl_ggd(1.7, 0.8, 1.7, 0.8), 0.0, 1e-14);
    EXPECT_EQ(kl_ggd(0.0, 2.0, 1.0, 2.0), 0.0);
    EXPECT_EQ(kl_ggd(1.0, 2.0, 1.0, 0.0), 0.0);
    // beta 2 is a Gaussian with sigma = alpha / sqrt(2).
    double s1 = 0.7, s2 = 1.9;
    EXPECT_NEAR(kl_ggd(std::sqrt(2.0) * s1, 2, std::sqrt(2.0) * s2, 2),
                std::log(s2 / s1) + s1 * s1 / (2 * s2 * s2) - 0.5, 1e-12);
    EXPECT_NEAR(ent_ggd(1.0, 2.0), 0.5 + 0.5 * std::log(kPi), 1e-12);
    EXPECT_NEAR(ent_ggd(3.0, 1.0), 1 + std::log(6.0), 1e-12);  // Laplace
    EXPECT_EQ(ent_ggd(0.0, 1.0), 0.0);
}

TEST(Ggd, FitsFromRawMoments) {
    // Class 0 is N(1, 1): raw moments 1, 2, 4, 10, variance 1, kurtosis 3.
    // Class 1 has all moments 0; class 2 has kurtosis 6.
    auto m = held(moments({{1, 2, 4, 10}, {0, 0, 0, 0}, {0, 4, 0, 96}}));
    Fit f = fit(m, 0, 0);
    EXPECT_EQ(f.var, 1.0);
    EXPECT_EQ(f.beta, 2.0);
    EXPECT_NEAR(f.alpha, std::sqrt(2.0), 1e-12);
    testing::internal::CaptureStdout();
    Fit z = fit(m, 1, 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "inp_mtx_bmath: Division by zero \ninp_mtx_bmath: Division by zero \n");
    EXPECT_EQ(z.beta, 0.30);
    EXPECT_EQ(z.alpha, 0.0);
    EXPECT_EQ(fit(m, 1, 1).var, 3 - 0.25);  // classes 0 and 2 averaged
    EXPECT_NEAR(fit(m, 3, 0).var, 6 / 3.0 - 1 / 9.0, 1e-15);
    // A single class has an empty complement: 0/0 moments, beta 4, alpha 0.
    m = moments({{0, 1, 0, 3}});
    Fit c = fit(m, 0, 1);
    EXPECT_TRUE(std::isnan(c.var));
    EXPECT_EQ(c.beta, 4.0);
    EXPECT_EQ(c.alpha, 0.0);
}

TEST(Ggd, ClassStatScoresAndMessages) {
    auto m = held(moments({{0, 1, 0, 3}, {0, 4, 0, 96}}));
    auto md = held(calloc_mtx(2, 1)), sv = held(calloc_mtx(1, 1)), al = held(calloc_mtx(1, 2)),
         be = held(calloc_mtx(1, 2));
    testing::internal::CaptureStderr();
    classStat_GGD(m, 2, md, sv, al, be);
    std::string err = testing::internal::GetCapturedStderr();
    std::string g = "\nCalculating parameters for global .....Done";
    std::string c0 = "\nCalculating parameters for class 0 .....Done";
    std::string c1 = "\nCalculating parameters for class 1 .....Done";
    EXPECT_EQ(err, g + c0 + g + "0 class is done" + c1 + g + "1 class is done" +
                       "\nKL for each class is DONE\n");
    Fit G = fit(m, 2, 0), A = fit(m, 0, 0), B = fit(m, 1, 0);
    EXPECT_EQ(sv->pix[0][0], 2.5);
    EXPECT_EQ(be->pix[0][1], 1.0);  // kurtosis 6
    EXPECT_EQ(al->pix[0][0], A.alpha);
    double k = kl_ggd(A.alpha, A.beta, G.alpha, G.beta) + kl_ggd(B.alpha, B.beta, G.alpha, G.beta);
    EXPECT_DOUBLE_EQ(md->pix[0][0], k);  // complement of 0 is class 1 alone
    EXPECT_DOUBLE_EQ(md->pix[1][0], k);
    EXPECT_GT(k, 0);
    // One class: its fit is the global fit and its complement is undefined.
    auto one = held(moments({{0.3, 2, 0.1, 11}}));
    testing::internal::CaptureStderr();
    classStat_GGD(one, 1, md, sv, al, be);
    testing::internal::GetCapturedStderr();
    EXPECT_NEAR(md->pix[0][0], 0.0, 1e-14);
}

TEST(Ggd, DenoiseThresholds) {
    auto mnt = held(calloc_mtx(64, 4)), sv = held(calloc_mtx(64, 1));
    for (int f = 0; f < 64; f++) sv->pix[f][0] = 3.0;
    sv->pix[5][0] = 7.0;
    double *t = imgdenoise_GGD(mnt, 63, sv);
    EXPECT_DOUBLE_EQ(t[5], 3.0 / (2 + 1e-10));
    EXPECT_DOUBLE_EQ(t[0], 3.0 / 1e-10);
    free(t);
    EXPECT_EXIT(imgdenoise_GGD(mnt, 64, sv), testing::ExitedWithCode(1), "noise feature 64");
}
