// Location search, scale map and location files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "files.h"
#include "lumivar.h"

namespace {

// The search as first described: every location rescans the whole map.
// Kept as the reference that the fast search must reproduce exactly.
matrix *literal_search(matrix *SM, matrix **channels, int *levels, int nft, int nowta) {
    matrix *SPs = calloc_mtx(kMaxSalPts, 4);
    int n = 0, r, c;
    double maxval = mtx_max_idx(SM, &r, &c);
    while (maxval > 0) {
        int idx = 0;
        double best = 0.0;
        for (int i = 0; i < nft; i++)
            if (channels[i]->pix[r][c] > best) {
                best = channels[i]->pix[r][c];
                idx = i;
            }
        SPs->pix[n][0] = r;
        SPs->pix[n][1] = c;
        SPs->pix[n][2] = levels[idx];
        SPs->pix[n][3] = maxval;
        if (nowta) {
            SM->pix[r][c] = 0;
        } else {
            int h = scale_radius(levels[idx]);
            for (int i = std::max(r - h, 0); i <= std::min(r + h, SM->nrows - 1); i++)
                for (int j = std::max(c - h, 0); j <= std::min(c + h, SM->ncols - 1); j++)
                    SM->pix[i][j] = 0;
        }
        n++;
        maxval = mtx_max_idx(SM, &r, &c);
        if (n == kMaxSalPts) break;
    }
    if (n == 0) n = 1;
    matrix *out = calloc_mtx(n, 4);
    for (int i = 0; i < n; i++)
        for (int j = 0; j < 4; j++) out->pix[i][j] = SPs->pix[i][j];
    free_mtx(SPs);
    return out;
}

matrix *copy(matrix *m) { return array2mtx(m->pix[0], m->nrows, m->ncols); }

bool same(matrix *a, matrix *b) {
    if (a->nrows != b->nrows || a->ncols != b->ncols) return false;
    for (long i = 0; i < (long)a->nrows * a->ncols; i++)
        if (a->pix[0][i] != b->pix[0][i]) return false;
    return true;
}

// One map plus its channels, all owned here.
struct Scene {
    matrix *SM;
    std::vector<matrix *> ch;
    std::vector<int> levels;
    Scene(int H, int W, std::vector<int> lv) : SM(calloc_mtx(H, W)), levels(lv) {
        for (size_t i = 0; i < lv.size(); i++) ch.push_back(calloc_mtx(H, W));
    }
    ~Scene() {
        free_mtx(SM);
        for (matrix *m : ch) free_mtx(m);
    }
    matrix *search(int nowta) { return SearchSalPts(SM, ch.data(), levels.data(), (int)ch.size(), nowta); }
};

std::string slurp(const std::string &path) {
    std::ifstream f(path);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

std::string temp_file() {
    char dir[] = "/tmp/lumivar_searchXXXXXX";
    EXPECT_NE(mkdtemp(dir), nullptr);
    return std::string(dir) + "/locations";
}

}  // namespace

TEST(MaxIdx, FirstOfEqualMaximaAndNullPointers) {
    double v[] = {1, 3, -2, 3, 0, 2};
    matrix *m = array2mtx(v, 2, 3);
    int r = -1, c = -1;
    EXPECT_EQ(mtx_max_idx(m, &r, &c), 3.0);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(c, 1);
    EXPECT_EQ(mtx_max_idx(m, nullptr, nullptr), 3.0);
    free_mtx(m);
}

TEST(Search, SinglePositiveValueOnLevelOne) {
    Scene s(40, 50, {0, 1});
    s.SM->pix[10][20] = 0.75;
    s.ch[1]->pix[10][20] = 0.5;
    s.ch[0]->pix[10][20] = 0.25;
    matrix *sp = s.search(0);
    ASSERT_EQ(sp->nrows, 1);
    EXPECT_EQ(sp->pix[0][0], 10);
    EXPECT_EQ(sp->pix[0][1], 20);
    EXPECT_EQ(sp->pix[0][2], 1);
    EXPECT_EQ(sp->pix[0][3], 0.75);

    std::string path = temp_file();
    ASSERT_EQ(savesallocations(sp, path.c_str()), 1);
    EXPECT_EQ(slurp(path), "10\t20\t8\t0.750000\n");
    free_mtx(sp);
}

TEST(Search, MapWithoutPositiveValueGivesOneZeroLocation) {
    for (double v : {0.0, -1.0}) {
        Scene s(9, 7, {2});
        fill_mtx(s.SM, v);
        matrix *sp = s.search(0);
        ASSERT_EQ(sp->nrows, 1);
        for (int j = 0; j < 4; j++) EXPECT_EQ(sp->pix[0][j], 0.0);
        std::string path = temp_file();
        savesallocations(sp, path.c_str());
        EXPECT_EQ(slurp(path), "0\t0\t4\t0.000000\n");
        free_mtx(sp);
    }
    // A not-a-number first element ends the search before it starts.
    Scene s(5, 5, {0});
    s.SM->pix[0][0] = NAN;
    s.SM->pix[3][3] = 1.0;
    matrix *sp = s.search(1);
    EXPECT_EQ(sp->nrows, 1);
    EXPECT_EQ(sp->pix[0][3], 0.0);
    free_mtx(sp);
}

TEST(Search, EqualMaximaInRowMajorOrderAndInhibition) {
    // Level 0: h = 4. (5,20) is 9 columns from (5,11): outside the square.
    Scene s(30, 40, {0});
    s.SM->pix[5][20] = 2.0;
    s.SM->pix[5][11] = 2.0;
    s.SM->pix[8][14] = 2.0;  // inside the square of (5,11)
    matrix *sp = s.search(0);
    ASSERT_EQ(sp->nrows, 2);
    EXPECT_EQ(sp->pix[0][1], 11);
    EXPECT_EQ(sp->pix[1][1], 20);
    free_mtx(sp);
}

TEST(Search, WinnerTakeAllClearsClippedSquares) {
    // Level 0 clears a 9x9 square, level 2 a 33x33 square, clipped at borders.
    for (int level : {0, 2}) {
        const int h = scale_radius(level);
        Scene s(60, 70, {level});
        fill_mtx(s.SM, 1.0);
        fill_mtx(s.ch[0], 1.0);
        s.SM->pix[2][3] = 5.0;
        matrix *sp = s.search(0);
        EXPECT_EQ(sp->pix[0][0], 2);
        EXPECT_EQ(sp->pix[0][1], 3);
        free_mtx(sp);
        // Everything inside the clipped square, and nothing else, was cleared
        // before the next location; the final map is checked on a fresh copy.
        Scene t(60, 70, {level});
        fill_mtx(t.ch[0], 1.0);
        t.SM->pix[2][3] = 5.0;
        t.SM->pix[59][69] = 1.0;
        sp = t.search(0);
        for (int i = 0; i < 60; i++)
            for (int j = 0; j < 70; j++) EXPECT_EQ(t.SM->pix[i][j], 0.0);
        ASSERT_EQ(sp->nrows, 2);
        free_mtx(sp);
        Scene u(60, 70, {level});
        fill_mtx(u.ch[0], 1.0);
        u.SM->pix[2][3] = 5.0;
        u.SM->pix[2 + h][3 + h] = 1.0;      // corner of the square: cleared
        u.SM->pix[2 + h + 1][3] = 1.0;      // just below it: kept
        sp = u.search(0);
        ASSERT_EQ(sp->nrows, 2);
        EXPECT_EQ(sp->pix[1][0], 2 + h + 1);
        free_mtx(sp);
    }
}

TEST(Search, NoWinnerTakeAllReturnsEveryPositivePixelInOrder) {
    Scene s(10, 10, {0});
    double vals[7] = {0.5, 0.9, 0.1, 0.9, 0.3, 0.7, 0.2};
    int pos[7] = {3, 44, 45, 12, 99, 0, 57};
    for (int i = 0; i < 7; i++) s.SM->pix[0][pos[i]] = vals[i];
    s.SM->pix[5][5] = -3.0;
    matrix *sp = s.search(1);
    ASSERT_EQ(sp->nrows, 7);
    const double order[7] = {0.9, 0.9, 0.7, 0.5, 0.3, 0.2, 0.1};
    for (int i = 0; i < 7; i++) EXPECT_EQ(sp->pix[i][3], order[i]);
    EXPECT_EQ(sp->pix[0][0], 1);  // pixel 12 before pixel 44
    EXPECT_EQ(sp->pix[0][1], 2);
    free_mtx(sp);
}

TEST(Search, MatchesLiteralSearchOnRandomMapsWithTies) {
    std::mt19937 rng(7);
    for (int trial = 0; trial < 40; trial++) {
        const int H = 5 + rng() % 60, W = 5 + rng() % 60, nft = 1 + rng() % 4;
        std::vector<int> levels(nft);
        for (int &l : levels) l = rng() % 3;
        Scene s(H, W, levels);
        // Few distinct values so that ties are common; some non-positive.
        for (long i = 0; i < (long)H * W; i++) {
            s.SM->pix[0][i] = (int)(rng() % 9) - 2;
            for (matrix *c : s.ch) c->pix[0][i] = (int)(rng() % 4);
        }
        for (int nowta = 0; nowta < 2; nowta++) {
            matrix *a = copy(s.SM), *b = copy(s.SM);
            matrix *ref = literal_search(a, s.ch.data(), levels.data(), nft, nowta);
            matrix *fast = SearchSalPts(b, s.ch.data(), levels.data(), nft, nowta);
            EXPECT_TRUE(same(ref, fast)) << "trial " << trial << " nowta " << nowta;
            EXPECT_TRUE(same(a, b)) << "final maps differ, trial " << trial;
            free_mtx(ref);
            free_mtx(fast);
            free_mtx(a);
            free_mtx(b);
        }
    }
}

TEST(Search, StopsAtTheLocationCap) {
    Scene s(800, 700, {0});
    for (long i = 0; i < 800L * 700; i++) s.SM->pix[0][i] = 1.0 + (i % 13);
    matrix *sp = s.search(1);
    EXPECT_EQ(sp->nrows, kMaxSalPts);
    // Values 13 down to 3 fill 473846 locations; the rest hold 2.
    EXPECT_EQ(sp->pix[kMaxSalPts - 1][3], 2.0);
    free_mtx(sp);
}

TEST(ScaleMap, RadiusOfTheStrictlyLargestChannel) {
    Scene s(2, 2, {1, 3, 0});
    s.ch[1]->pix[0][0] = 2.0;  // level 3 -> 32
    s.ch[2]->pix[0][0] = 2.0;  // equal: the first wins
    s.ch[2]->pix[0][1] = 1.0;  // level 0 -> 4
    s.ch[0]->pix[1][0] = -1.0; // nothing positive -> feature 0 (level 1 -> 8)
    matrix *scales = calloc_mtx(2, 2);
    GetScaleMap(scales, s.ch.data(), s.levels.data(), 3);
    EXPECT_EQ(scales->pix[0][0], 32);
    EXPECT_EQ(scales->pix[0][1], 4);
    EXPECT_EQ(scales->pix[1][0], 8);
    EXPECT_EQ(scales->pix[1][1], 8);
    free_mtx(scales);
}

TEST(LocationFile, OneLinePerLocationAndUncreatableFile) {
    double v[] = {3.9, 7.2, 2, 0.1234567, 0, 1, 4, 12.5};
    matrix *sp = array2mtx(v, 2, 4);
    std::string path = temp_file();
    ASSERT_EQ(savesallocations(sp, path.c_str()), 1);
    EXPECT_EQ(slurp(path), "3\t7\t16\t0.123457\n0\t1\t64\t12.500000\n");
    EXPECT_EQ(savesallocations(sp, "/nonexistent-dir/x_salloc"), 0);
    free_mtx(sp);
}
