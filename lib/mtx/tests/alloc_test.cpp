#include <gtest/gtest.h>

#include <cstring>

#include "mtx.h"

TEST(Alloc, BlockIsContiguousRowMajor) {
    matrix *m = calloc_mtx(3, 4);
    for (int i = 0; i < 12; i++) EXPECT_EQ(m->pix[0][i], 0.0);
    for (int r = 0; r < 3; r++) EXPECT_EQ(m->pix[r], m->pix[0] + r * 4);
    m->pix[1][3] = 5.0;
    EXPECT_EQ(m->pix[0][7], 5.0);
    free_mtx(m);
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
    pyramid *p = calloc_pyr(3, 64, 48);
    EXPECT_EQ(p->level[1]->nrows, 32);
    EXPECT_EQ(p->level[2]->ncols, 12);
    free_pyr(p);
    p = alloc_pyr(3, 5, 6);
    EXPECT_EQ(p->level[1]->nrows, 2);
    EXPECT_EQ(p->level[1]->ncols, 3);
    EXPECT_EQ(p->level[2]->nrows, 1);
    EXPECT_EQ(p->level[2]->ncols, 1);
    free_pyr(p);
}

TEST(Alloc, ThreeDimensionalSlicesShareOneBlock) {
    matrix3d *m = calloc_3d(2, 3, 4);
    EXPECT_EQ(m->pix[1][0], m->pix[0][0] + 12);
    EXPECT_EQ(m->pix[1][2], m->pix[0][0] + 20);
    m->pix[1][2][3] = 7.0;
    EXPECT_EQ(m->pix[0][0][23], 7.0);
    free_3d(m);
}

TEST(Alloc, ConstructorsFillAsNamed) {
    matrix *i1 = ident(1);
    EXPECT_EQ(i1->pix[0][0], 1.0);
    free_mtx(i1);
    matrix *o = ones(2, 2);
    EXPECT_EQ(o->pix[1][1], 1.0);
    matrix *a = alloc_mtx(2, 2);
    fill_mtx(a, 0.0);
    matrix *z = calloc_mtx(2, 2);
    EXPECT_EQ(memcmp(a->pix[0], z->pix[0], 4 * sizeof(double)), 0);
    EXPECT_EQ(same_size(a, z), 1);
    double data[6] = {1, 2, 3, 4, 5, 6};
    matrix *m = array2mtx(data, 2, 3);
    EXPECT_EQ(m->pix[1][0], 4.0);
    EXPECT_EQ(same_size(m, a), 0);
    free_mtx(o);
    free_mtx(a);
    free_mtx(z);
    free_mtx(m);
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
