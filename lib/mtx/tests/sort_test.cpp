#include <gtest/gtest.h>

#include "mtx.h"
#include "test_util.h"

using ::testing::ExitedWithCode;

TEST(Sort, IsrtLetsTheLaterOfEqualValuesWin) {
    auto v = held(mk(3, 1, {3, 1, 3}));
    auto pos = held(isrt(v));
    EXPECT_EQ(elems(v), (std::vector<double>{3, 3, 1}));
    EXPECT_EQ(elems(pos), (std::vector<double>{2, 0, 1}));
    EXPECT_EQ(pos->nrows, 3);
    v = mk(1, 5, {2, 5, 2, 5, 1});
    pos = isrt(v);
    EXPECT_EQ(elems(v), (std::vector<double>{5, 5, 2, 2, 1}));
    EXPECT_EQ(elems(pos), (std::vector<double>{3, 1, 0, 2, 4}));
}

TEST(Sort, RowsAndColumnsByKey) {
    auto a = held(mk(3, 2, {1, 10, 3, 30, 2, 20}));
    auto byc = held(mtx_sort(a, 'C', 0, 0));
    EXPECT_EQ(elems(byc), (std::vector<double>{3, 30, 2, 20, 1, 10}));
    auto up = held(mtx_best(a, 'C', 1, 2, 1));
    EXPECT_EQ(elems(up), (std::vector<double>{1, 10, 2, 20}));
    auto byr = held(mtx_sort(a, 'R', 0, 0));  // row 0 is {1, 10}
    EXPECT_EQ(elems(byr), (std::vector<double>{10, 1, 30, 3, 20, 2}));
    auto idx = held(mk(1, 2, {2, 2}));
    auto rep = held(mtx_reorder(a, idx, 'C'));
    EXPECT_EQ(elems(rep), (std::vector<double>{2, 20, 2, 20}));
}

TEST(SortDeath, RepresentativeFailures) {
    auto a = held(alloc_mtx(2, 2));
    EXPECT_EXIT(isrt(a), ExitedWithCode(1), "^isrt: can only sort vectors ...\n$");
    EXPECT_EXIT(mtx_reorder(a, a, 'C'), ExitedWithCode(1),
                "^mtx_reorder: b must be row or column vector \n$");
    auto bad = held(mk(1, 1, {2}));
    EXPECT_EXIT(mtx_reorder(a, bad, 'C'), ExitedWithCode(1), "index out of range");
}
