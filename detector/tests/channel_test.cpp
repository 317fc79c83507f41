// Correlation, channel maps, their enlargement and the circle marking.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "classstat.h"
#include "files.h"
#include "imgconv.h"
#include "lumivar.h"
#include "mres.h"

namespace {

matrix *random_mtx(int H, int W, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    matrix *m = alloc_mtx(H, W);
    for (long i = 0; i < (long)H * W; i++) m->pix[0][i] = u(rng);
    return m;
}

// A one-level pyramid holding `img`.
pyramid *one_level(matrix *img) {
    pyramid *G = calloc_pyr(1, img->nrows, img->ncols);
    for (long i = 0; i < (long)img->nrows * img->ncols; i++) G->level[0]->pix[0][i] = img->pix[0][i];
    return G;
}

// Model matrices for three levels and two classes: every feature gets the
// background model (aB, bB) in column 0 and the object model (aO, bO) in
// column 1, the query class.
struct Model {
    matrix *alpha = calloc_mtx(192, 2), *beta = calloc_mtx(192, 2);
    Model(double aO, double bO, double aB, double bB) {
        for (int f = 0; f < 192; f++) {
            alpha->pix[f][1] = aO;
            beta->pix[f][1] = bO;
            alpha->pix[f][0] = aB;
            beta->pix[f][0] = bB;
        }
    }
    ~Model() {
        free_mtx(alpha);
        free_mtx(beta);
    }
};

class Channels : public ::testing::Test {
protected:
    void SetUp() override { make_dct_filters(dct); }
    void TearDown() override {
        for (matrix *m : dct) free_mtx(m);
    }
    matrix *dct[64];
};

double llr(double x, double aO, double bO, double aB, double bB) {
    return pow(x / aB, bB) - pow(x / aO, bO) + genSalConst(aO, bO, aB, bB);
}

}  // namespace

TEST_F(Channels, FilterBankHoldsTheBasisFunctions) {
    for (int n = 0; n < 8; n++) EXPECT_NEAR(dct[0]->pix[5][n], 0.125, 1e-9);
    // Index 1 is frequency pair (0, 1): constant down the columns.
    EXPECT_NEAR(dct[1]->pix[0][2], dct[1]->pix[7][2], 1e-12);
    EXPECT_GT(fabs(dct[1]->pix[0][0] - dct[1]->pix[0][7]), 0.1);
    // Index 2 is (1, 0): constant along the rows.
    EXPECT_NEAR(dct[2]->pix[3][0], dct[2]->pix[3][7], 1e-12);
}

TEST_F(Channels, CorrelationGivesTheBlockCoefficientAtItsOffset) {
    matrix *img = random_mtx(20, 17, 1);
    matrix *D = initdct(8);
    matrix *blk = alloc_mtx(8, 8);
    double zz[64];
    for (int k : {0, 1, 9, 63}) {
        matrix *out = filter2d(img, dct[k]);
        for (int i = 0; i < 20; i++)
            for (int j = 0; j < 17; j++) {
                if (i < 3 || j < 3 || i > 20 - 5 || j > 17 - 5) {
                    EXPECT_EQ(out->pix[i][j], 0.0);
                    continue;
                }
                submtx(blk, img, i - 3, 1, i + 4, j - 3, 1, j + 4);
                inp_bkdct(blk, D);
                zzscan(blk, zz);
                EXPECT_NEAR(out->pix[i][j], zz[k], 1e-9);
            }
        free_mtx(out);
    }
    // Odd filter: offset (1, 1); not flipped.
    double f3[9] = {0, 0, 0, 0, 0, 0, 0, 0, 1};
    matrix *f = array2mtx(f3, 3, 3);
    matrix *out = filter2d(img, f);
    EXPECT_EQ(out->pix[1][1], img->pix[2][2]);
    EXPECT_EQ(out->pix[18][15], img->pix[19][16]);
    free_mtx(out);
    // A filter larger than the input computes nothing.
    matrix *small = random_mtx(5, 40, 2);
    out = filter2d(small, dct[0]);
    for (int i = 0; i < 5 * 40; i++) EXPECT_EQ(out->pix[0][i], 0.0);
    free_mtx(out);
    free_mtx(small);
    free_mtx(f);
    free_mtx(blk);
    free_mtx(D);
    free_mtx(img);
}

TEST_F(Channels, CorrelationSumsExactlyInWindowOrder) {
    // Widths around the 32-window blocks, so both the block and tail paths run.
    for (int W : {8, 39, 40, 41, 75, 107}) {
        matrix *img = random_mtx(12, W, W);
        matrix *out = filter2d(img, dct[6]);
        for (int i = 0; i + 8 <= 12; i++)
            for (int j = 0; j + 8 <= W; j++) {
                double sum = 0.0;
                for (int m = 0; m < 8; m++)
                    for (int n = 0; n < 8; n++) sum += img->pix[i + m][j + n] * dct[6]->pix[m][n];
                ASSERT_EQ(out->pix[i + 3][j + 3], sum) << W << " " << i << " " << j;
            }
        free_mtx(out);
        free_mtx(img);
    }
}

TEST(SalConst, LogRatioOfTheDensityConstants) {
    EXPECT_EQ(genSalConst(0.3, 1.2, 0.3, 1.2), 0.0);
    const double aO = 0.5, bO = 0.8, aB = 0.1, bB = 2.0;
    const double expect = log(tgamma(1 / bB) * bO * aB / (tgamma(1 / bO) * aO * bB));
    EXPECT_NEAR(genSalConst(aO, bO, aB, bB), expect, 1e-12);
    // Shapes small enough that the gamma function overflows.
    const double K = genSalConst(1.0, 0.004, 1.0, 0.003);
    EXPECT_TRUE(std::isfinite(K));
    EXPECT_NEAR(K, lgamma(1 / 0.003) - lgamma(1 / 0.004) + log(0.004) - log(0.003), 1e-6);
}

TEST_F(Channels, LikelihoodChannelIsZeroWhereBackgroundIsAsLikely) {
    matrix *img = random_mtx(32, 40, 3);
    pyramid *G = one_level(img);
    const double aO = 0.4, bO = 1.0, aB = 0.05, bB = 2.0;
    Model m(aO, bO, aB, bB);
    for (int mapnum : {1, 2}) {
        matrix *ch = level_channel(G, 0, 5, dct, mapnum, m.alpha, m.beta, 1);
        matrix *coef = filter2d(G->level[0], dct[5]);
        int positive = 0, zero = 0;
        for (int i = 3; i < 32 - 4; i++)
            for (int j = 3; j < 40 - 4; j++) {
                const double v = ch->pix[i][j];
                const double L = llr(fabs(coef->pix[i][j]), aO, bO, aB, bB);
                ASSERT_GE(v, 0.0);
                ASSERT_LE(v, log(2.0));
                if (L <= 0) {
                    EXPECT_EQ(v, 0.0);
                    zero++;
                } else {
                    const double s = 1 / (1 + exp(-L)), t = 1 / (1 + exp(L));
                    EXPECT_NEAR(v, s * log(s) + t * log(t) + log(2.0), 1e-12);
                    positive += v > 0;
                }
            }
        EXPECT_GT(positive, 0);
        EXPECT_GT(zero, 0);
        free_mtx(coef);
        free_mtx(ch);
    }
    free_pyr(G);
    free_mtx(img);
}

TEST_F(Channels, DegenerateModelsGiveZeroOrTheLimit) {
    matrix *img = random_mtx(24, 24, 4);
    pyramid *G = one_level(img);
    auto all_equal = [](matrix *ch, double v) {
        for (int i = 3; i < ch->nrows - 4; i++)
            for (int j = 3; j < ch->ncols - 4; j++)
                if (ch->pix[i][j] != v) return false;
        return true;
    };
    {  // identical models
        Model m(0.2, 1.3, 0.2, 1.3);
        matrix *ch = level_channel(G, 0, 3, dct, 1, m.alpha, m.beta, 1);
        EXPECT_TRUE(all_equal(ch, 0.0));
        free_mtx(ch);
    }
    for (double bad : {0.0, -1.0, (double)NAN}) {  // no density for a scale or shape
        Model m(0.2, 1.3, 0.05, 2.0);
        m.alpha->pix[3][0] = bad;
        matrix *ch = level_channel(G, 0, 3, dct, 2, m.alpha, m.beta, 1);
        EXPECT_TRUE(all_equal(ch, 0.0));
        free_mtx(ch);
        Model n(0.2, 1.3, 0.05, 2.0);
        n.beta->pix[3][1] = bad;
        ch = level_channel(G, 0, 3, dct, 1, n.alpha, n.beta, 1);
        EXPECT_TRUE(all_equal(ch, 0.0));
        free_mtx(ch);
    }
    {  // ratios far beyond the range of exp: the limit ln 2, never NaN
        Model m(1.0, 1.0, 1e-4, 2.0);
        matrix *ch = level_channel(G, 0, 0, dct, 1, m.alpha, m.beta, 1);
        EXPECT_TRUE(all_equal(ch, log(2.0)));
        free_mtx(ch);
    }
    free_pyr(G);
    free_mtx(img);
}

TEST_F(Channels, QueryClassIsWeighedAgainstClassZero) {
    // Class 0 narrow, class 1 the same as class 0, class 2 (queried) broad:
    // large coefficients are likelier under class 2 than under class 0.
    matrix *img = random_mtx(24, 40, 8);
    pyramid *G = one_level(img);
    matrix *alpha = calloc_mtx(64, 3), *beta = calloc_mtx(64, 3);
    const double a[3] = {0.05, 0.05, 0.4}, b[3] = {2.0, 2.0, 1.0};
    for (int f = 0; f < 64; f++)
        for (int c = 0; c < 3; c++) {
            alpha->pix[f][c] = a[c];
            beta->pix[f][c] = b[c];
        }
    matrix *coef = filter2d(G->level[0], dct[2]);
    for (int mapnum : {1, 2}) {
        matrix *ch = level_channel(G, 0, 2, dct, mapnum, alpha, beta, 2);
        int positive = 0;
        for (int i = 3; i < 24 - 4; i++)
            for (int j = 3; j < 40 - 4; j++) {
                const double L = llr(fabs(coef->pix[i][j]), a[2], b[2], a[0], b[0]);
                if (L > 1e-3) {  // below that the value drowns in rounding
                    EXPECT_GT(ch->pix[i][j], 0.0);
                    positive++;
                } else if (L <= 0) {
                    EXPECT_EQ(ch->pix[i][j], 0.0);
                }
            }
        EXPECT_GT(positive, 20);
        free_mtx(ch);

        // Class 1 has class 0's model, and class 0 is class 0: both all zero.
        for (int q : {0, 1}) {
            ch = level_channel(G, 0, 2, dct, mapnum, alpha, beta, q);
            for (int i = 0; i < 24 * 40; i++) ASSERT_EQ(ch->pix[0][i], 0.0) << q;
            free_mtx(ch);
        }
    }
    // Swapping the models of classes 0 and 2: the same coefficients now
    // look like background, so the channel is zero wherever it was positive.
    for (int f = 0; f < 64; f++) {
        std::swap(alpha->pix[f][0], alpha->pix[f][2]);
        std::swap(beta->pix[f][0], beta->pix[f][2]);
    }
    matrix *ch = level_channel(G, 0, 2, dct, 1, alpha, beta, 2);
    for (int i = 3; i < 24 - 4; i++)
        for (int j = 3; j < 40 - 4; j++)
            if (llr(fabs(coef->pix[i][j]), a[2], b[2], a[0], b[0]) > 0) {
                EXPECT_EQ(ch->pix[i][j], 0.0);
            }
    free_mtx(ch);
    free_mtx(coef);
    free_mtx(alpha);
    free_mtx(beta);
    free_pyr(G);
    free_mtx(img);
}

TEST_F(Channels, BordersAndSmallLevelsAreZeroInEveryKind) {
    Model m(0.4, 1.0, 0.05, 2.0);
    matrix *img = random_mtx(64, 48, 5);
    pyramid *G = calloc_pyr(3, 64, 48);
    matrix *g = mk_gaufilter();
    gpyr(img, G, g, g, 3, 'w');
    for (int mapnum = 0; mapnum < 3; mapnum++) {
        for (int l = 0; l < 3; l++) {
            matrix *ch = level_channel(G, l, 4, dct, mapnum, m.alpha, m.beta, 1);
            const int H = ch->nrows, W = ch->ncols;
            double inside = 0;
            for (int i = 0; i < H; i++)
                for (int j = 0; j < W; j++) {
                    if (i < 3 || j < 3 || i >= H - 4 || j >= W - 4)
                        EXPECT_EQ(ch->pix[i][j], 0.0);
                    else
                        inside += ch->pix[i][j];
                }
            if (mapnum == 0) {
                EXPECT_GT(inside, 0.0) << "level " << l;
            }
            free_mtx(ch);
        }
    }
    // A level of fewer than 8 rows computes nothing.
    matrix *thin = random_mtx(7, 30, 6);
    pyramid *T = one_level(thin);
    for (int mapnum = 0; mapnum < 3; mapnum++) {
        matrix *ch = level_channel(T, 0, 0, dct, mapnum, m.alpha, m.beta, 1);
        for (int i = 0; i < 7 * 30; i++) EXPECT_EQ(ch->pix[0][i], 0.0);
        free_mtx(ch);
    }
    free_pyr(T);
    free_mtx(thin);
    free_mtx(g);
    free_pyr(G);
    free_mtx(img);
}

TEST_F(Channels, PowerChannelOfAFlatRegion) {
    matrix *img = alloc_mtx(16, 16);
    fill_mtx(img, 0.1);
    pyramid *G = one_level(img);
    Model m(1, 1, 1, 1);
    matrix *dc = level_channel(G, 0, 0, dct, 0, m.alpha, m.beta, 1);
    matrix *ac = level_channel(G, 0, 7, dct, 0, m.alpha, m.beta, 1);
    EXPECT_NEAR(dc->pix[8][8], pow(0.8, 1.5), 1e-9);
    EXPECT_NEAR(ac->pix[8][8], 0.0, 1e-9);
    free_mtx(dc);
    free_mtx(ac);
    free_pyr(G);
    free_mtx(img);
}

TEST(Enlarge, KeepsLevelZeroSizeClampsAndScalesCoarseLevels) {
    // The cubic filter smooths even at factor 1 but keeps a constant map;
    // values above 1 are clamped by the image conversion.
    for (double v : {0.4, 3.0}) {
        matrix *m = alloc_mtx(12, 10);
        fill_mtx(m, v);
        matrix *same = enlarge_channel(m, 0);
        ASSERT_NE(same, nullptr);
        ASSERT_EQ(same->nrows, 12);
        ASSERT_EQ(same->ncols, 10);
        for (int i = 0; i < 120; i++) EXPECT_NEAR(same->pix[0][i], std::min(v, 1.0), 1e-4);
        free_mtx(same);
        free_mtx(m);
    }
    matrix *m = random_mtx(12, 10, 7);
    matrix *big = enlarge_channel(m, 2);
    ASSERT_NE(big, nullptr);
    EXPECT_EQ(big->nrows, 48);
    EXPECT_EQ(big->ncols, 40);
    for (int i = 0; i < 48 * 40; i++) {
        EXPECT_GE(big->pix[0][i], 0.0);
        EXPECT_LE(big->pix[0][i], 1.0);
    }
    free_mtx(big);
    free_mtx(m);
}

TEST(Draw, CircleOutlineThroughTheGivenRadius) {
    matrix *black = calloc_mtx(60, 80);
    Image *im = matrix2Image(black);
    ASSERT_NE(im, nullptr);
    double v[] = {30, 40, 1, 1.0, 5, 5, 0, 0.5};
    matrix *sp = array2mtx(v, 2, 4);
    DrawSPs_img(im, sp, 1, "white");  // only the first: radius 8 at (row 30, col 40)
    matrix *out = Image2matrix(im, "I");
    EXPECT_GT(out->pix[38][40], 0.5);  // on the outline below the centre
    EXPECT_GT(out->pix[30][32], 0.5);  // and left of it
    EXPECT_LT(out->pix[30][40], 0.1);  // unfilled
    EXPECT_LT(out->pix[5][9], 0.1);    // the second location was not drawn
    free_mtx(out);
    free_mtx(sp);
    DestroyImage(im);
    free_mtx(black);
}
