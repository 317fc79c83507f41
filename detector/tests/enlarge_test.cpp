// The own channel enlargement against ImageMagick's, sample for sample.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "enlarge.h"
#include "imgconv.h"
#include "lumivar.h"
#include "test_support.h"

namespace {

// Mostly values in and around 0..1, with values that sit on the 16-bit
// rounding boundary, clamped ones, NaN and infinities.
matrix *channel(int R, int C, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(-0.5, 1.5);
    std::uniform_int_distribution<int> pick(0, 19), q(0, 65534);
    matrix *m = alloc_mtx(R, C);
    for (long i = 0; i < (long)R * C; i++) {
        switch (pick(rng)) {
            case 0: m->pix[0][i] = NAN; break;
            case 1: m->pix[0][i] = INFINITY; break;
            case 2: m->pix[0][i] = -INFINITY; break;
            case 3: m->pix[0][i] = (q(rng) + 0.5) / 65535.0; break;
            case 4: m->pix[0][i] = 0.0; break;
            default: m->pix[0][i] = u(rng) < 0.5 ? u(rng) * 0.01 : u(rng);
        }
    }
    return m;
}

long differing(const matrix *a, const matrix *b) {
    long n = 0;
    for (long i = 0; i < (long)a->nrows * a->ncols; i++)
        n += memcmp(&a->pix[0][i], &b->pix[0][i], sizeof(double)) != 0;
    return n;
}

}  // namespace

TEST(Enlarge, OwnRouteMatchesImageMagickAtEveryLevel) {
    struct Case {
        int R, C, l;
    };
    std::vector<Case> cases = {{1, 1, 9}, {1, 2, 8}, {2, 1, 7}, {3, 1, 10}};
    const int sizes[][2] = {{1, 1},   {1, 7},  {6, 1},   {2, 3},  {9, 4},
                            {13, 17}, {31, 8}, {24, 33}, {70, 50}};
    for (const auto &s : sizes)
        for (int l = 0; l <= 6; l++)
            if ((long)s[0] * s[1] << (2 * l) <= (1L << 21)) cases.push_back({s[0], s[1], l});
    unsigned seed = 1;
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.R << "x" << c.C << " level " << c.l);
        auto chan = held(channel(c.R, c.C, seed++));
        auto mine = held(enlarge_channel_exact(chan, c.l));
        auto theirs = held(enlarge_channel_magick(chan, c.l));
        ASSERT_TRUE(mine && theirs);
        ASSERT_EQ(mine->nrows, c.R << c.l);
        ASSERT_EQ(mine->ncols, c.C << c.l);
        ASSERT_EQ(theirs->nrows, mine->nrows);
        ASSERT_EQ(theirs->ncols, mine->ncols);
        EXPECT_EQ(differing(mine, theirs), 0);
        if (c.l <= 3) {
            // The dispatching entry point gives the same samples.
            auto chosen = held(enlarge_channel(chan, c.l));
            EXPECT_EQ(differing(chosen, theirs), 0);
        }
    }
}

TEST(Enlarge, ProbeAcceptsThisImageMagickAndRefusesWhatItCannot) {
    EXPECT_TRUE(enlarge_exact_verified(kMaxExactLevel));
    auto m = held(alloc_mtx(2, 2));
    fill_mtx(m, 0.5);
    EXPECT_EQ(enlarge_channel_exact(m, -1), nullptr);
    EXPECT_EQ(enlarge_channel_exact(m, 30), nullptr);
    EXPECT_EQ(enlarge_channel_exact(m, 29), nullptr);  // 2^30 rows do not fit
}

TEST(Enlarge, SixteenBitMapImageIsTheImageOfTheDividedDoubles) {
    // Odd width for the four-wide loop's tail; every kind of value.
    auto m = held(channel(37, 29, 77));
    const double divisor = 0.8;
    std::vector<unsigned short> q(37 * 29);
    quantize_ratio(m->pix[0], 37 * 29, divisor, q.data());
    auto divided = held(alloc_mtx(37, 29));
    for (int i = 0; i < 37 * 29; i++) divided->pix[0][i] = m->pix[0][i] / divisor;
    ScratchDir dir("lumivar_gray16");
    for (const char *name : {"a.jpg", "a.png"}) {
        const std::string doubles = dir.path(std::string("d_") + name);
        const std::string shorts = dir.path(std::string("s_") + name);
        ASSERT_EQ(mtx2im(divided, doubles.c_str()), 1);
        ASSERT_EQ(gray16_to_im(q.data(), 29, 37, shorts.c_str()), 1);
        EXPECT_EQ(slurp(doubles), slurp(shorts)) << name;
    }
}
