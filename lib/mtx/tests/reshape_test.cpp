#include <gtest/gtest.h>

#include "mtx.h"
#include "test_util.h"

using ::testing::ExitedWithCode;

TEST(Reshape, CrossoverExchangesTails) {
    auto a = held(mk(3, 2, {1, 2, 3, 4, 5, 6}));
    auto b = held(mk(3, 2, {-1, -2, -3, -4, -5, -6}));
    auto kids = held(mtx_xover(a, b, 1));
    EXPECT_EQ(elems(kids->frame[0]), (std::vector<double>{1, 2, -3, -4, -5, -6}));
    EXPECT_EQ(elems(kids->frame[1]), (std::vector<double>{-1, -2, 3, 4, 5, 6}));
    EXPECT_EQ(a->pix[2][1], 6);  // inputs untouched
    inp_mtx_xover(a, b, 2);
    EXPECT_EQ(elems(a), (std::vector<double>{1, 2, 3, 4, -5, -6}));
    EXPECT_EXIT(inp_mtx_xover(a, b, 4), ExitedWithCode(1), "Invalid crossover row");
}

TEST(Reshape, VectorizeRoundTrip) {
    auto v = held(alloc_vol(2, 2, 2));
    for (int k = 0; k < 2; k++)
        for (int i = 0; i < 4; i++) v->frame[k]->pix[0][i] = 10 * k + i;
    auto cols = held(vectorize(v));
    ASSERT_EQ(cols->nrows, 4);
    ASSERT_EQ(cols->ncols, 2);
    EXPECT_EQ(elems(cols), (std::vector<double>{0, 10, 1, 11, 2, 12, 3, 13}));
    auto back = held(unvectorize(cols, 2, 2));
    ASSERT_EQ(back->nframes, 2);
    for (int k = 0; k < 2; k++) EXPECT_EQ(elems(back->frame[k]), elems(v->frame[k]));
    EXPECT_EXIT(unvectorize(cols, 3, 1), ExitedWithCode(1), "unvectorize: Incompatible dimensions");
}

TEST(Reshape, DiagonalAndImageDifference) {
    auto v = held(mk(1, 2, {3, 4}));
    auto d = held(mtx_mkdiag(v));
    EXPECT_EQ(elems(d), (std::vector<double>{3, 0, 0, 4}));
    EXPECT_EQ(isdiagonal(d), 1);
    auto a = held(calloc_img(1, 2)), b = held(calloc_img(1, 2));
    a->pix[0][0] = 5;
    b->pix[0][0] = 7;
    b->pix[0][1] = -1;
    subtract(a, b);
    EXPECT_EQ(a->pix[0][0], -2);
    EXPECT_EQ(a->pix[0][1], 1);
    auto c = held(calloc_img(2, 1));
    EXPECT_EXIT(subtract(a, c), ExitedWithCode(1),
                "^Error in subtract: Images have different dimensions$");
}
