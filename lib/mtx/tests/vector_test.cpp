#include <gtest/gtest.h>

#include "mtx.h"
#include "test_util.h"

using ::testing::ExitedWithCode;

TEST(Vector, ExtremesAndTheirPositions) {
    const double low[2] = {-4e50, -5e50};
    EXPECT_EQ(vmax(low, 0), -3e50);
    EXPECT_EQ(vmax(low, 2), -3e50);
    EXPECT_EQ(vmaxloc(low, 2), -1);
    const double v[5] = {1, 7, 3, 7, -2};
    EXPECT_EQ(vmax(v, 5), 7);
    EXPECT_EQ(vmaxloc(v, 5), 3);  // the last of equal values
    EXPECT_EQ(vmin(v, 5), -2);
    EXPECT_EQ(vminloc(v, 5), 4);
    EXPECT_EQ(vmin(v, 0), 3e50);
    auto m = held(mk(2, 2, {1, 9, -3, 2}));
    EXPECT_EQ(mtx_max(m), 9);
    EXPECT_EQ(sum(m), 9);
    EXPECT_EQ(vsum(v, 5), 16);
}

TEST(Vector, PercentagesAndDiagonality) {
    auto m = held(mk(2, 2, {1, 0, 0, 2}));
    EXPECT_EQ(perc(m, 0.0, '='), 0.5);
    EXPECT_EQ(perc(m, 0.5, 'a'), 0.5);
    EXPECT_EQ(perc(m, 2.0, 'b'), 0.75);
    EXPECT_EQ(isdiagonal(m), 1);
    m->pix[1][0] = 1e-300;
    EXPECT_EQ(isdiagonal(m), 0);
    auto r = held(mk(1, 2, {1, 0}));
    EXPECT_EQ(isdiagonal(r), 0);
}

TEST(VectorDeath, UnknownModes) {
    const double a[1] = {1};
    EXPECT_EXIT(vdistance(a, a, 1, 3), ExitedWithCode(1), "^Unknown norm in vdistance\n$");
    auto m = held(mk(1, 1, {1}));
    EXPECT_EXIT(perc(m, 1.0, 'x'), ExitedWithCode(1), "^Unknown mode in perc\n$");
}
