// Location search, scale map and location files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "files.h"
#include "lumivar.h"
#include "reference_search.h"
#include "test_support.h"

namespace {

bool same(matrix *a, matrix *b) {
    return a->nrows == b->nrows && a->ncols == b->ncols &&
           std::equal(a->pix[0], a->pix[0] + (long)a->nrows * a->ncols, b->pix[0]);
}

// A map plus its channels, all owned here.
struct Scene {
    HeldMatrix SM;
    std::vector<matrix *> ch;  // as the search takes them; owned by `owned`
    std::vector<HeldMatrix> owned;
    std::vector<int> levels;
    Scene(int H, int W, std::vector<int> lv) : SM(calloc_mtx(H, W)), levels(lv) {
        for (size_t i = 0; i < lv.size(); i++) {
            owned.push_back(held(calloc_mtx(H, W)));
            ch.push_back(owned.back());
        }
    }
    matrix *search(int nowta) {
        return SearchSalPts(SM, ch.data(), levels.data(), (int)ch.size(), nowta);
    }
};

std::string written(matrix *sp) {
    ScratchDir dir("lumivar_search");
    const std::string path = dir.path("locations");
    EXPECT_EQ(savesallocations(sp, path.c_str()), 1);
    return slurp(path);
}

}  // namespace

TEST(Search, SinglePositiveValueAndItsLocationFile) {
    Scene s(40, 50, {0, 1});
    s.SM->pix[10][20] = 0.75;
    s.ch[1]->pix[10][20] = 0.5;  // level 1 dominates
    s.ch[0]->pix[10][20] = 0.25;
    auto sp = held(s.search(0));
    EXPECT_EQ(written(sp), "10\t20\t8\t0.750000\n");
    double v[] = {3.9, 7.2, 2, 0.1234567, 0, 1, 4, 12.5};
    sp = array2mtx(v, 2, 4);
    EXPECT_EQ(written(sp), "3\t7\t16\t0.123457\n0\t1\t64\t12.500000\n");
    EXPECT_EQ(savesallocations(sp, "/nonexistent-dir/x_salloc"), 0);
}

TEST(Search, MapWithoutPositiveValueGivesOneZeroLocation) {
    for (double v : {0.0, -1.0}) {
        Scene s(9, 7, {2});
        fill_mtx(s.SM, v);
        auto sp = held(s.search(0));
        EXPECT_EQ(written(sp), "0\t0\t4\t0.000000\n");
    }
    Scene s(5, 5, {0});  // a not-a-number start ends the search at once
    s.SM->pix[0][0] = NAN;
    s.SM->pix[3][3] = 1.0;
    auto sp = held(s.search(1));
    EXPECT_EQ(written(sp), "0\t0\t4\t0.000000\n");
}

TEST(Search, EqualMaximaAndClippedSquares) {
    Scene s(30, 40, {0});  // level 0: h = 4
    s.SM->pix[5][20] = s.SM->pix[5][11] = s.SM->pix[8][14] = 2.0;
    auto sp = held(s.search(0));  // (8,14) lies in the square of (5,11)
    EXPECT_EQ(written(sp), "5\t11\t4\t2.000000\n5\t20\t4\t2.000000\n");
    for (int level : {0, 2}) {  // 9x9 and 33x33 squares, clipped at the corner
        const int h = scale_radius(level);
        Scene t(60, 70, {level});
        fill_mtx(t.ch[0], 1.0);
        t.SM->pix[2][3] = 5.0;
        t.SM->pix[2 + h][3 + h] = 1.0;  // inside: cleared
        t.SM->pix[2 + h + 1][3] = 1.0;  // just below: kept
        sp = t.search(0);
        ASSERT_EQ(sp->nrows, 2);
        EXPECT_EQ(sp->pix[1][0], 2 + h + 1);
    }
}

TEST(Search, NoWinnerTakeAllReturnsEveryPositivePixelInOrder) {
    Scene s(10, 10, {0});
    const double vals[7] = {0.5, 0.9, 0.1, 0.9, 0.3, 0.7, 0.2};
    const int pos[7] = {3, 44, 45, 12, 99, 0, 57};
    for (int i = 0; i < 7; i++) s.SM->pix[0][pos[i]] = vals[i];
    s.SM->pix[5][5] = -3.0;
    auto sp = held(s.search(1));
    ASSERT_EQ(sp->nrows, 7);
    const double order[7] = {0.9, 0.9, 0.7, 0.5, 0.3, 0.2, 0.1};
    for (int i = 0; i < 7; i++) EXPECT_EQ(sp->pix[i][3], order[i]);
    EXPECT_EQ(sp->pix[0][0] * 10 + sp->pix[0][1], 12);  // pixel 12 before 44
}

TEST(Search, MatchesRescanningSearchOnRandomMapsWithTies) {
    std::mt19937 rng(7);
    for (int trial = 0; trial < 40; trial++) {
        const int H = 5 + rng() % 60, W = 5 + rng() % 60, nft = 1 + rng() % 4;
        std::vector<int> levels(nft);
        for (int &l : levels) l = rng() % 3;
        Scene s(H, W, levels);
        for (long i = 0; i < (long)H * W; i++) {  // few values: many ties
            s.SM->pix[0][i] = (int)(rng() % 9) - 2;
            for (matrix *c : s.ch) c->pix[0][i] = (int)(rng() % 4);
        }
        for (int nowta = 0; nowta < 2; nowta++) {
            auto a = held(array2mtx(s.SM->pix[0], H, W)), b = held(array2mtx(s.SM->pix[0], H, W));
            auto ref = held(rescanning_search(a, s.ch.data(), levels.data(), nft, nowta));
            auto fast = held(SearchSalPts(b, s.ch.data(), levels.data(), nft, nowta));
            EXPECT_TRUE(same(ref, fast)) << "trial " << trial << " nowta " << nowta;
            EXPECT_TRUE(same(a, b)) << "final maps differ, trial " << trial;
            // The program's mode, which need not leave the cleared map.
            DominantLevels dom((long)H * W, levels[0]);
            for (int i = 0; i < nft; i++) dom.add(s.ch[i], levels[i]);
            auto c = held(array2mtx(s.SM->pix[0], H, W));
            auto quick = held(search_locations(c, dom.levels(), nowta, nullptr, false));
            EXPECT_TRUE(same(ref, quick)) << "trial " << trial << " nowta " << nowta;
        }
    }
}

TEST(Search, StopsAtTheLocationCap) {
    Scene s(800, 700, {0});
    for (long i = 0; i < 800L * 700; i++) s.SM->pix[0][i] = 1.0 + (i % 13);
    auto copy = held(array2mtx(s.SM->pix[0], 800, 700));
    auto sp = held(s.search(1));
    EXPECT_EQ(sp->nrows, kMaxSalPts);
    EXPECT_EQ(sp->pix[kMaxSalPts - 1][3], 2.0);  // 13 down to 3 fill 473846
    // The program is told that the list was cut, and when it was not.
    const std::vector<unsigned char> levels(800 * 700, 0);
    bool cut = false;
    held(search_locations(copy, levels.data(), 1, &cut));
    EXPECT_TRUE(cut);
    fill_mtx(copy, 0.0);
    copy->pix[5][5] = 1.0;
    held(search_locations(copy, levels.data(), 0, &cut));
    EXPECT_FALSE(cut);
}

TEST(ScaleMap, RadiusOfTheStrictlyLargestChannel) {
    Scene s(2, 2, {1, 3, 0});
    s.ch[1]->pix[0][0] = s.ch[2]->pix[0][0] = 2.0;  // equal: the first (32)
    s.ch[2]->pix[0][1] = 1.0;                       // level 0 -> 4
    s.ch[0]->pix[1][0] = -1.0;                      // none positive -> feature 0
    auto scales = held(calloc_mtx(2, 2));
    GetScaleMap(scales, s.ch.data(), s.levels.data(), 3);
    const double expect[4] = {32, 4, 8, 8};
    for (int i = 0; i < 4; i++) EXPECT_EQ(scales->pix[0][i], expect[i]);
}
