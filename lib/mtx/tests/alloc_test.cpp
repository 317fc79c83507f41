#include <gtest/gtest.h>

#include <cstring>

#include "mtx.h"
#include "mtxsize.h"
#include "test_support.h"

TEST(Alloc, BlockIsContiguousRowMajor) {
    auto m = held(calloc_mtx(3, 4));
    for (int i = 0; i < 12; i++) EXPECT_EQ(m->pix[0][i], 0.0);
    for (int r = 0; r < 3; r++) EXPECT_EQ(m->pix[r], m->pix[0] + r * 4);
    m->pix[1][3] = 5.0;
    EXPECT_EQ(m->pix[0][7], 5.0);
}

TEST(Alloc, PixOfEveryElementType) {
    int **d = (int **)calloc_pix(2, 3, 'D');
    EXPECT_EQ(d[1], d[0] + 3);
    free_pix((void **)d);
    unsigned char **u = (unsigned char **)alloc_pix(4, 5, 'u');
    EXPECT_EQ(u[3], u[0] + 15);
    free_pix((void **)u);
    float **f = (float **)alloc_pix(2, 2, 'f');
    EXPECT_EQ(f[1], f[0] + 2);
    free_pix((void **)f);
}

TEST(Alloc, PyramidHalvesByTruncation) {
    auto p = held(calloc_pyr(3, 64, 48));
    EXPECT_EQ(p->level[1]->nrows, 32);
    EXPECT_EQ(p->level[2]->ncols, 12);
    p = alloc_pyr(3, 5, 6);
    EXPECT_EQ(p->level[1]->nrows, 2);
    EXPECT_EQ(p->level[1]->ncols, 3);
    EXPECT_EQ(p->level[2]->nrows, 1);
    EXPECT_EQ(p->level[2]->ncols, 1);
}

TEST(Alloc, ThreeDimensionalSlicesShareOneBlock) {
    auto m = held(calloc_3d(2, 3, 4));
    EXPECT_EQ(m->pix[1][0], m->pix[0][0] + 12);
    EXPECT_EQ(m->pix[1][2], m->pix[0][0] + 20);
    m->pix[1][2][3] = 7.0;
    EXPECT_EQ(m->pix[0][0][23], 7.0);
}

TEST(Alloc, ConstructorsFillAsNamed) {
    auto i1 = held(ident(1));
    EXPECT_EQ(i1->pix[0][0], 1.0);
    auto o = held(ones(2, 2));
    EXPECT_EQ(o->pix[1][1], 1.0);
    auto a = held(alloc_mtx(2, 2));
    fill_mtx(a, 0.0);
    auto z = held(calloc_mtx(2, 2));
    EXPECT_EQ(memcmp(a->pix[0], z->pix[0], 4 * sizeof(double)), 0);
    EXPECT_EQ(same_size(a, z), 1);
    double data[6] = {1, 2, 3, 4, 5, 6};
    auto m = held(array2mtx(data, 2, 3));
    EXPECT_EQ(m->pix[1][0], 4.0);
    EXPECT_EQ(same_size(m, a), 0);
}

using AllocDeath = ::testing::Test;

TEST(AllocDeath, NonPositiveSizeExitsWithMessage) {
    EXPECT_EXIT(calloc_mtx(0, 5), ::testing::ExitedWithCode(1),
                "alloc_pix: cannot allocate array of non-positive size\n");
    EXPECT_EXIT(alloc_mtx(4, 0), ::testing::ExitedWithCode(1),
                "alloc_pix: cannot allocate array of non-positive size\n");
    EXPECT_EXIT(calloc_pyr(4, 4, 4), ::testing::ExitedWithCode(1), "non-positive size");
}

TEST(AllocDeath, UnknownElementCode) {
    EXPECT_EXIT(alloc_pix(2, 2, 'q'), ::testing::ExitedWithCode(1),
                "Error: Unknown type in alloc_pix... \n");
    EXPECT_EXIT(calloc_pix(2, 2, 'q'), ::testing::ExitedWithCode(1),
                "Error: Unknown type in calloc_pix... \n");
}

TEST(AllocDeath, HugeCountDoesNotWrap) {
    // 65536 * 65536 wraps a 32-bit int to 0; it must not become a tiny block.
    EXPECT_EXIT(alloc_mtx(65536, 65536 * 16), ::testing::ExitedWithCode(1),
                "Unable to allocate memory\n");
}

TEST(AllocDeath, HugeThreeDimensionalCountDoesNotWrap) {
    // 2^30 * 2^30 * 2^30 overflows even a 64-bit count.
    EXPECT_EXIT(calloc_3d(1 << 30, 1 << 30, 1 << 30), ::testing::ExitedWithCode(1),
                "^Unable to allocate memory\n$");
}

TEST(Alloc, CheckedSizeRefusesOverflowAndLimit) {
    const int64_t big = (int64_t)1 << 40;
    struct Case {
        int64_t a, b, c, limit;
        bool fits;
        int64_t product;
    } cases[] = {
        {3, 4, 1, 12, true, 12},
        {3, 4, 1, 11, false, 0},
        {INT32_MAX, 1, 1, INT32_MAX, true, INT32_MAX},
        {(int64_t)INT32_MAX + 1, 1, 1, INT32_MAX, false, 0},
        {big, big, 1, INT64_MAX, false, 0},  // wraps 64 bits
        {big, 1 << 20, 8, INT64_MAX, false, 0},
        {-2, 3, 1, INT32_MAX, true, -6},  // left for the caller to refuse
        {0, big, big, 0, true, 0},
    };
    for (const Case &c : cases) {
        int64_t n = -1;
        EXPECT_EQ(checked_size({c.a, c.b, c.c}, c.limit, &n), c.fits) << c.a << " " << c.b;
        EXPECT_EQ(n, c.fits ? c.product : -1);
    }
}
