#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "mres.h"
#include "simd.h"
#include "test_support.h"

namespace {

int wrap(int i, int n) { return ((i % n) + n) % n; }

// Level sample (y, x) from the finer level by the direct 2-D sum, periodic
// or zero outside.
double reference_sample(const matrix *fine, int y, int x, bool periodic) {
    double s = 0.0;
    for (int k = 0; k < 5; k++)
        for (int l = 0; l < 5; l++) {
            int r = 2 * y + k - 2, c = 2 * x + l - 2;
            bool inside = r >= 0 && r < fine->nrows && c >= 0 && c < fine->ncols;
            if (!periodic && !inside) continue;
            s +=
                gaufilter[k] * gaufilter[l] * fine->pix[wrap(r, fine->nrows)][wrap(c, fine->ncols)];
        }
    return s;
}

void expect_level_matches(const matrix *fine, const matrix *coarse, bool periodic) {
    for (int y = 0; y < coarse->nrows; y++)
        for (int x = 0; x < coarse->ncols; x++)
            EXPECT_NEAR(coarse->pix[y][x], reference_sample(fine, y, x, periodic), 1e-13)
                << "at " << y << "," << x;
}

}  // namespace

TEST(Gpyr, EveryLevelIsThePeriodicFiveTapFilterOfThePrevious) {
    auto img = held(random_matrix(32, 24, 1));
    auto p = held(calloc_pyr(4, 32, 24));
    auto g = held(mk_gaufilter());
    gpyr(img, p, g, g, 4, 'w');
    for (int i = 0; i < 32 * 24; i++) ASSERT_EQ(p->level[0]->pix[0][i], img->pix[0][i]);
    for (int l = 1; l < 4; l++) expect_level_matches(p->level[l - 1], p->level[l], true);
    // Built on the image itself: the same levels, bit for bit.
    auto on = held(gpyr_on(array2mtx(img->pix[0], 32, 24), 4, g, g, 'w'));
    for (int l = 0; l < 4; l++) {
        const matrix *a = p->level[l], *b = on->level[l];
        ASSERT_EQ(a->nrows * 1000 + a->ncols, b->nrows * 1000 + b->ncols);
        EXPECT_TRUE(std::equal(a->pix[0], a->pix[0] + a->nrows * a->ncols, b->pix[0])) << l;
    }
}

TEST(Gpyr, FirstSampleWrapsToTheLastTwoRowsAndColumns) {
    // Only sample (H-2, W-2) is non-zero: it is tap 0 in both directions of
    // level-1 sample (0, 0) and of no other level-1 sample near the origin.
    const int H = 8, W = 10;
    auto img = held(calloc_mtx(H, W));
    img->pix[H - 2][W - 2] = 1.0;
    auto p = held(calloc_pyr(2, H, W));
    auto g = held(mk_gaufilter());
    gpyr(img, p, g, g, 2, 'w');
    EXPECT_NEAR(p->level[1]->pix[0][0], 0.05 * 0.05, 1e-15);
    EXPECT_NEAR(p->level[1]->pix[3][4], 0.4 * 0.4, 1e-15);
}

TEST(Gpyr, ConstantImageStaysConstantIncludingBorders) {
    auto img = held(alloc_mtx(48, 40));
    fill_mtx(img, 0.37);
    auto p = held(calloc_pyr(4, 48, 40));
    auto g = held(mk_gaufilter());
    gpyr(img, p, g, g, 4, 'w');
    for (int l = 0; l < 4; l++) {
        matrix *m = p->level[l];
        for (int i = 0; i < m->nrows * m->ncols; i++) ASSERT_NEAR(m->pix[0][i], 0.37, 1e-14);
    }
}

TEST(Gpyr, DepthOneOnlyCopies) {
    auto img = held(random_matrix(4, 6, 2));
    auto p = held(calloc_pyr(2, 4, 6));
    auto g = held(mk_gaufilter());
    gpyr(img, p, g, g, 1, 'w');
    for (int i = 0; i < 24; i++) EXPECT_EQ(p->level[0]->pix[0][i], img->pix[0][i]);
    for (int i = 0; i < 6; i++) EXPECT_EQ(p->level[1]->pix[0][i], 0.0);
}

TEST(Gpyr, AccumulationOrderIsStable) {
    // Row pass then column pass, each summing reversed taps in increasing
    // order from 0.0: results must be reproducible bit for bit.
    const int H = 12, W = 14;
    auto img = held(random_matrix(H, W, 3));
    auto p = held(calloc_pyr(2, H, W));
    auto g = held(mk_gaufilter());
    gpyr(img, p, g, g, 2, 'w');
    double t[16][7];
    for (int i = 0; i < H + 4; i++)
        for (int x = 0; x < W / 2; x++) {
            double s = 0.0;
            for (int k = 0; k < 5; k++)
                s = img->pix[wrap(i - 2, H)][wrap(2 * x + k - 2, W)] * (1.0 * gaufilter[4 - k]) + s;
            t[i][x] = s;
        }
    for (int y = 0; y < H / 2; y++)
        for (int x = 0; x < W / 2; x++) {
            double s = 0.0;
            for (int k = 0; k < 5; k++) s = t[2 * y + k][x] * (1.0 * gaufilter[4 - k]) + s;
            EXPECT_EQ(p->level[1]->pix[y][x], s);
        }
}

// gpyr_level gives sep_filt2d's bits on every vector target: sides odd or
// even, narrower than a vector or than the filter, filters of any length
// (the pyramid's own and others), input a view of a larger matrix.
TEST(GpyrLevel, EveryVectorTargetGivesSepFilt2dBits) {
    const int sizes[][2] = {{2, 2}, {3, 5}, {7, 9}, {16, 16}, {33, 70}, {64, 37}, {21, 1031}};
    const int lengths[][2] = {{5, 5}, {3, 5}, {1, 1}, {8, 12}, {5, 40}};
    unsigned seed = 20;
    for (auto &sz : sizes)
        for (auto &len : lengths) {
            const int H = sz[0], W = sz[1];
            auto big = held(random_matrix(H + 3, W + 5, seed++));
            matrix view = {big->pix, H, W};
            auto copy = held(alloc_mtx(H, W));
            for (int i = 0; i < H; i++) std::copy(big->pix[i], big->pix[i] + W, copy->pix[i]);
            auto fv = held(random_matrix(len[0], 1, seed++)),
                 fh = held(random_matrix(len[1], 1, seed++));
            auto ref = held(alloc_mtx(H / 2, W / 2)), out = held(alloc_mtx(H / 2, W / 2));
            sep_filt2d(copy, ref, fv, fh, 2, 2, 0, 0, 'w', 1, 1, 0, 1.0, 1.0);
            for (int level = SIMD_PLAIN; level <= simd_best_level(); level++) {
                set_simd_level(level);
                fill_mtx(out, -1.0);
                gpyr_level(&view, out, fv, fh, 'w');
                EXPECT_TRUE(std::equal(ref->pix[0], ref->pix[0] + (H / 2) * (W / 2), out->pix[0]))
                    << H << "x" << W << " taps " << len[0] << "," << len[1] << " level " << level;
            }
        }
    set_simd_level(simd_best_level());
}

TEST(SepFilt2d, OddSizeKeepsEvenCentres) {
    auto in = held(random_matrix(7, 9, 4));
    auto out = held(calloc_mtx(3, 4));
    auto g = held(mk_gaufilter());
    sep_filt2d(in, out, g, g, 2, 2, 0, 0, 'w', 1, 1, 0, 1.0, 1.0);
    expect_level_matches(in, out, true);
}

TEST(SepFilt2d, ZeroModeTreatsOutsideAsZero) {
    auto in = held(random_matrix(10, 12, 5));
    auto out = held(calloc_mtx(5, 6));
    auto g = held(mk_gaufilter());
    sep_filt2d(in, out, g, g, 2, 2, 0, 0, 'z', 1, 1, 0, 1.0, 1.0);
    expect_level_matches(in, out, false);
}

TEST(SepFilt2d, UpsampleInterpolatesWithGains) {
    // Zero insertion by 2 and the taps 0.5 1 0.5 give linear interpolation;
    // gains scale the result.
    const double taps[3] = {0.5, 1.0, 0.5};
    auto f = held(array2mtx(taps, 3, 1));
    auto in = held(random_matrix(3, 4, 6));
    auto out = held(calloc_mtx(6, 8));
    sep_filt2d(in, out, f, f, 1, 1, 0, 0, 'w', 2, 2, 1, 2.0, 0.5);
    for (int i = 0; i < 3; i++)
        for (int j = 0; j < 4; j++) {
            EXPECT_NEAR(out->pix[2 * i][2 * j], in->pix[i][j], 1e-15);
            EXPECT_NEAR(out->pix[2 * i + 1][2 * j], (in->pix[i][j] + in->pix[(i + 1) % 3][j]) / 2,
                        1e-15);
            EXPECT_NEAR(out->pix[2 * i][2 * j + 1], (in->pix[i][j] + in->pix[i][(j + 1) % 4]) / 2,
                        1e-15);
        }
}

TEST(Convolve, TapsAreReversedScaledAndStrided) {
    const double taps[3] = {1.0, 2.0, 3.0};
    const double row[7] = {1, 10, 100, 1000, 10000, 100000, 1000000};
    auto f = held(array2mtx(taps, 3, 1));
    auto in = held(array2mtx(row, 1, 7));
    auto out = held(calloc_mtx(1, 2));
    row_convolve(in, out, f, 3, 1, 2.0);  // windows start at columns 1 and 4
    EXPECT_EQ(out->pix[0][0], 2.0 * (3 * 10 + 2 * 100 + 1 * 1000));
    EXPECT_EQ(out->pix[0][1], 2.0 * (3 * 10000 + 2 * 100000 + 1 * 1000000));
    auto col = held(array2mtx(row, 7, 1));
    auto cout = held(calloc_mtx(2, 1));
    col_convolve(col, cout, f, 3, 1, 2.0);
    EXPECT_EQ(cout->pix[0][0], out->pix[0][0]);
    EXPECT_EQ(cout->pix[1][0], out->pix[0][1]);
}

TEST(AugmentBorders, WrapsBordersWiderThanTheInput) {
    auto in = held(random_matrix(2, 3, 7));
    auto e = held(augment_borders(in, 5, 4, 7, 3, 'w'));
    ASSERT_EQ(e->nrows, 11);
    ASSERT_EQ(e->ncols, 13);
    for (int i = 0; i < 11; i++)
        for (int j = 0; j < 13; j++)
            EXPECT_EQ(e->pix[i][j], in->pix[wrap(i - 5, 2)][wrap(j - 7, 3)]);
    e = augment_borders(in, 1, 0, 0, 2, 'z');
    EXPECT_EQ(e->pix[0][1], 0.0);
    EXPECT_EQ(e->pix[1][3], 0.0);
    EXPECT_EQ(e->pix[2][2], in->pix[1][2]);
}

TEST(PyramidDeath, MisuseEndsWithMessage) {
    auto in = held(random_matrix(8, 8, 9));
    auto out = held(calloc_mtx(4, 4));
    auto g = held(mk_gaufilter());
    auto rowf = held(array2mtx(gaufilter, 1, 5));
    EXPECT_EXIT(sep_filt2d(in, out, g, rowf, 2, 2, 0, 0, 'w', 1, 1, 0, 1.0, 1.0),
                testing::ExitedWithCode(1), "^convolve: filter must be 1d column vector\n$");
    EXPECT_EXIT(sep_filt2d(in, out, g, g, 2, 2, 0, 0, 'x', 1, 1, 0, 1.0, 1.0),
                testing::ExitedWithCode(1), "^Unknown mode in aufgment_boundaries\n$");
    // The border mode is checked before either pass looks at its filter.
    EXPECT_EXIT(sep_filt2d(in, out, rowf, rowf, 2, 2, 0, 0, 'x', 1, 1, 0, 1.0, 1.0),
                testing::ExitedWithCode(1), "^Unknown mode in aufgment_boundaries\n$");
    EXPECT_EXIT(sep_filt2d(in, out, rowf, g, 2, 2, 0, 0, 'w', 1, 1, 0, 1.0, 1.0),
                testing::ExitedWithCode(1), "^convolve: filter must be 1d column vector\n$");
    EXPECT_EXIT(sep_filt2d(in, out, g, g, 0, 2, 0, 0, 'w', 1, 1, 0, 1.0, 1.0),
                testing::ExitedWithCode(1), "^sep_filt2d: itp & step must be positive \n$");
    // An offset that would read past the last extended column is refused.
    EXPECT_EXIT(sep_filt2d(in, out, g, g, 2, 2, 3, 0, 'w', 1, 1, 0, 1.0, 1.0),
                testing::ExitedWithCode(1), "^row_convolve: output size does not fit the input\n$");
    auto tall = held(calloc_mtx(6, 4));
    EXPECT_EXIT(sep_filt2d(in, tall, g, g, 2, 2, 0, 0, 'w', 1, 1, 0, 1.0, 1.0),
                testing::ExitedWithCode(1), "^col_convolve: output size does not fit the input\n$");
}
