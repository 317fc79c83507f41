// Correlation, channel maps, their enlargement and the circle marking.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

#include "imgconv.h"
#include "lumivar.h"
#include "mres.h"
#include "owners.h"
#include "test_support.h"

namespace {

// GGD parameters (alpha, beta) per class, the same for all 192 features.
struct Model {
    HeldMatrix alpha, beta;
    explicit Model(std::vector<std::pair<double, double>> cls)
        : alpha(calloc_mtx(192, (int)cls.size())), beta(calloc_mtx(192, (int)cls.size())) {
        for (int f = 0; f < 192; f++)
            for (size_t c = 0; c < cls.size(); c++) {
                alpha->pix[f][c] = cls[c].first;
                beta->pix[f][c] = cls[c].second;
            }
    }
};

// ln p(x; object) - ln p(x; background).
double llr(double x, double aO, double bO, double aB, double bB) {
    return pow(x / aB, bB) - pow(x / aO, bO) + genSalConst(aO, bO, aB, bB);
}

// The filter bank and a one-level pyramid of random samples.
class Channels : public ::testing::Test {
protected:
    void SetUp() override {
        make_dct_filters(dct);
        for (int k = 0; k < 64; k++) dct_owned[k] = dct[k];
        auto img = held(random_matrix(24, 40, 3));
        G = calloc_pyr(1, 24, 40);
        std::copy(img->pix[0], img->pix[0] + 24 * 40, G->level[0]->pix[0]);
    }
    // True when every computed (non-border) sample of ch satisfies pred(value, |coef|).
    template <class P>
    bool inside_all(matrix *ch, int k, P pred) {
        auto coef = held(filter2d(G->level[0], dct[k]));
        bool ok = true;
        for (int i = 3; i < ch->nrows - 4; i++)
            for (int j = 3; j < ch->ncols - 4; j++)
                ok = ok && pred(ch->pix[i][j], fabs(coef->pix[i][j]));
        return ok;
    }
    matrix *dct[64];  // the filters as the library takes them
    HeldMatrix dct_owned[64];
    HeldPyramid G;
};

}  // namespace

TEST_F(Channels, CorrelationSumsWindowsInOrderAtTheirOffset) {
    // Widths around the blocks of 64, 32 and 8 windows and their scalar
    // tails, so that every loop path runs; the rows made four at a time are
    // the rows made one by one.
    for (int W : {8, 23, 41, 75, 79, 90}) {
        auto img = held(random_matrix(12, W, W));
        auto out = held(filter2d(img, dct[6]));
        std::vector<double> batch(4 * W);
        double *rows[4] = {&batch[0], &batch[W], &batch[2 * W], &batch[3 * W]};
        for (int r : {3, 4}) {
            filter2d_rows(img, dct[6], r, 4, rows);
            for (int t = 0; t < 4; t++)
                ASSERT_EQ(memcmp(rows[t], out->pix[r + t], sizeof(double) * W), 0) << W << " " << r;
        }
        for (int i = 0; i < 12; i++)
            for (int j = 0; j < W; j++) {
                double sum = 0.0;
                if (i >= 3 && j >= 3 && i + 5 <= 12 && j + 5 <= W)
                    for (int m = 0; m < 8; m++)
                        for (int n = 0; n < 8; n++)
                            sum += img->pix[i - 3 + m][j - 3 + n] * dct[6]->pix[m][n];
                ASSERT_EQ(out->pix[i][j], sum) << W << " " << i << " " << j;
            }
    }
    // The value is the block's DCT coefficient in zig-zag order.
    auto img = held(random_matrix(8, 8, 1)), D = held(initdct(8));
    auto out = held(filter2d(img, dct[9]));
    inp_bkdct(img, D);
    double zz[64];
    zzscan(img, zz);
    EXPECT_NEAR(out->pix[3][3], zz[9], 1e-9);
    // An odd filter sits at offset (1, 1), unflipped; a larger one computes nothing.
    double f3[9] = {0, 0, 0, 0, 0, 0, 0, 0, 1};
    auto f = held(array2mtx(f3, 3, 3)), small = held(random_matrix(5, 40, 2));
    out = filter2d(small, f);
    EXPECT_EQ(out->pix[1][1], small->pix[2][2]);
    out = filter2d(small, dct[0]);
    EXPECT_EQ(mtx_max(out), 0.0);
}

TEST(Power, ThreeHalvesGivesPowsOwnDoubles) {
    // Every magnitude the fast route takes and its edges, odd lengths for
    // the four-wide loop's tail, signs, and what only pow handles.
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> mant(1.0, 2.0);
    std::vector<double> x = {0.0,       -0.0,     0x1p-60, 0x1p60, -0x1p-61, 0x1p61,
                             4.0,       2.25,     1e-300,  1e300,  5e-324,   (double)NAN,
                             -INFINITY, INFINITY, -0.3,    7.9999};
    for (int i = 0; i < 3000001; i++) {
        const int e = (int)(rng() % 140) - 70;
        x.push_back(std::ldexp(mant(rng), e) * (rng() & 1 ? 1 : -1));
    }
    std::vector<double> got = x;
    abs_pow_three_halves(got.data(), (long)got.size());
    long differ = 0;
    for (size_t i = 0; i < x.size(); i++) {
        const double want = pow(fabs(x[i]), 1.5);
        differ += std::isnan(want) ? !std::isnan(got[i]) : memcmp(&want, &got[i], 8) != 0;
    }
    EXPECT_EQ(differ, 0);
}

TEST(SalConst, LogRatioOfTheDensityConstants) {
    EXPECT_EQ(genSalConst(0.3, 1.2, 0.3, 1.2), 0.0);
    EXPECT_NEAR(genSalConst(0.5, 0.8, 0.1, 2.0),
                log(tgamma(0.5) * 0.8 * 0.1 / (tgamma(1 / 0.8) * 0.5 * 2.0)), 1e-12);
    // Shapes so small that the gamma function overflows.
    EXPECT_NEAR(genSalConst(1.0, 0.004, 1.0, 0.003),
                lgamma(1 / 0.003) - lgamma(1 / 0.004) + log(0.004 / 0.003), 1e-6);
}

TEST_F(Channels, LikelihoodChannelIsZeroWhereBackgroundIsAsLikely) {
    const double aO = 0.4, bO = 1.0, aB = 0.05, bB = 2.0;
    Model m({{aB, bB}, {aO, bO}});
    for (int mapnum : {1, 2}) {
        auto ch = held(level_channel(G, 0, 5, dct, mapnum, m.alpha, m.beta, 1));
        int positive = 0, zero = 0;
        EXPECT_TRUE(inside_all(ch, 5, [&](double v, double x) {
            const double L = llr(x, aO, bO, aB, bB);
            const double s = 1 / (1 + exp(-L)), t = 1 / (1 + exp(L));
            (L <= 0 ? zero : positive)++;
            return L <= 0 ? v == 0.0 : fabs(v - (s * log(s) + t * log(t) + log(2.0))) < 1e-12;
        }));
        EXPECT_GT(positive, 0);
        EXPECT_GT(zero, 0);
    }
}

TEST_F(Channels, QueryClassIsWeighedAgainstClassZero) {
    // Class 0 narrow, class 1 the same, class 2 (queried) broad: large
    // coefficients are likelier under class 2 than under class 0.
    Model m({{0.05, 2.0}, {0.05, 2.0}, {0.4, 1.0}});
    for (int mapnum : {1, 2}) {
        auto ch = held(level_channel(G, 0, 2, dct, mapnum, m.alpha, m.beta, 2));
        int positive = 0;
        EXPECT_TRUE(inside_all(ch, 2, [&](double v, double x) {
            const double L = llr(x, 0.4, 1.0, 0.05, 2.0);
            positive += L > 1e-3;  // below that the value drowns in rounding
            return L > 1e-3 ? v > 0 : L > 0 || v == 0.0;
        }));
        EXPECT_GT(positive, 20);
        for (int q : {0, 1}) {  // class 0 against itself, class 1 equal to it
            ch = level_channel(G, 0, 2, dct, mapnum, m.alpha, m.beta, q);
            EXPECT_EQ(mtx_max(ch), 0.0) << q;
        }
    }
    // Swapping classes 0 and 2: zero wherever the query class was likelier.
    Model swapped({{0.4, 1.0}, {0.05, 2.0}, {0.05, 2.0}});
    auto ch = held(level_channel(G, 0, 2, dct, 1, swapped.alpha, swapped.beta, 2));
    EXPECT_TRUE(inside_all(
        ch, 2, [](double v, double x) { return llr(x, 0.4, 1.0, 0.05, 2.0) <= 0 || v == 0.0; }));
}

TEST_F(Channels, DegenerateModelsGiveZeroOrTheLimit) {
    Model same({{0.2, 1.3}, {0.2, 1.3}});
    auto ch = held(level_channel(G, 0, 3, dct, 1, same.alpha, same.beta, 1));
    EXPECT_EQ(mtx_max(ch), 0.0);
    for (double bad : {0.0, -1.0, (double)NAN})  // no density for such a scale or shape
        for (int param = 0; param < 4; param++) {
            Model m({{0.05, 2.0}, {0.2, 1.3}});
            (param < 2 ? m.alpha : m.beta)->pix[3][param % 2] = bad;
            ch = level_channel(G, 0, 3, dct, 2, m.alpha, m.beta, 1);
            EXPECT_EQ(mtx_max(ch), 0.0) << bad << " " << param;
        }
    // Ratios far beyond the range of exp: the limit ln 2, never NaN.
    Model steep({{1e-4, 2.0}, {1.0, 1.0}});
    ch = level_channel(G, 0, 0, dct, 1, steep.alpha, steep.beta, 1);
    EXPECT_TRUE(inside_all(ch, 0, [](double v, double) { return v == log(2.0); }));
}

TEST_F(Channels, BordersAndSmallLevelsAreZeroInEveryKind) {
    Model m({{0.05, 2.0}, {0.4, 1.0}});
    auto img = held(random_matrix(64, 48, 5)), g = held(mk_gaufilter());
    auto P = held(calloc_pyr(3, 64, 48));
    gpyr(img, P, g, g, 3, 'w');
    for (int mapnum = 0; mapnum < (int)map_kinds().size(); mapnum++)
        for (int l = 0; l < 3; l++) {
            auto ch = held(level_channel(P, l, 4, dct, mapnum, m.alpha, m.beta, 1));
            const int H = ch->nrows, W = ch->ncols;
            double inside = 0;
            for (int i = 0; i < H; i++)
                for (int j = 0; j < W; j++) {
                    if (i < 3 || j < 3 || i >= H - 4 || j >= W - 4)
                        ASSERT_EQ(ch->pix[i][j], 0.0);
                    else
                        inside += ch->pix[i][j];
                }
            EXPECT_TRUE(map_kind(mapnum).uses_models || inside > 0) << l;
        }
    // A level of fewer than 8 rows computes nothing.
    auto T = held(calloc_pyr(1, 7, 30));
    fill_mtx(T->level[0], 0.5);
    for (int mapnum = 0; mapnum < (int)map_kinds().size(); mapnum++) {
        auto ch = held(level_channel(T, 0, 0, dct, mapnum, m.alpha, m.beta, 1));
        EXPECT_EQ(mtx_max(ch), 0.0);
    }
}

TEST(Enlarge, KeepsLevelZeroSizeClampsAndScalesCoarseLevels) {
    // The cubic filter smooths even at factor 1 but keeps a constant map;
    // values above 1 are clamped by the image conversion.
    for (double v : {0.4, 3.0}) {
        auto m = held(alloc_mtx(12, 10));
        fill_mtx(m, v);
        auto same = held(enlarge_channel(m, 0));
        ASSERT_EQ(same->nrows * 100 + same->ncols, 1210);
        for (int i = 0; i < 120; i++) EXPECT_NEAR(same->pix[0][i], std::min(v, 1.0), 1e-4);
    }
    auto m = held(random_matrix(12, 10, 7));
    auto big = held(enlarge_channel(m, 2));
    EXPECT_EQ(big->nrows * 100 + big->ncols, 4840);
    for (int i = 0; i < 48 * 40; i++) EXPECT_TRUE(big->pix[0][i] >= 0 && big->pix[0][i] <= 1);
}

TEST(Draw, CircleOutlineThroughTheGivenRadius) {
    auto black = held(calloc_mtx(60, 80));
    ImagePtr im(matrix2Image(black));
    double v[] = {30, 40, 1, 1.0, 5, 5, 0, 0.5};
    auto sp = held(array2mtx(v, 2, 4));
    DrawSPs_img(im.get(), sp, 1, "white");  // only the first: radius 8 at row 30, column 40
    auto out = held(Image2matrix(im.get(), "I"));
    EXPECT_GT(out->pix[38][40], 0.5);  // on the outline below the centre
    EXPECT_GT(out->pix[30][32], 0.5);  // and left of it
    EXPECT_LT(out->pix[30][40], 0.1);  // unfilled
    EXPECT_LT(out->pix[5][9], 0.1);    // the second location is not drawn
}
