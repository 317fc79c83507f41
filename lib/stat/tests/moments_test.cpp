#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "classes.h"
#include "classstat.h"
#include "imgconv.h"
#include "mres.h"
#include "simd.h"
#include "test_support.h"

namespace {

class Moments : public ::testing::Test {
protected:
    matrix *D = initdct(8);
    ScratchDir scratch{"stat_moments"};
    std::string dir = scratch.path();
    void TearDown() override { free_mtx(D); }
    std::string write(const std::string &name, const std::string &text) {
        std::string path = dir + "/" + name;
        FILE *f = fopen(path.c_str(), "w");
        fputs(text.c_str(), f);
        fclose(f);
        return path;
    }
    std::string image(const std::string &name, int h, int w, double value) {
        auto m = held(alloc_mtx(h, w));
        fill_mtx(m, value);
        std::string path = dir + "/" + name;
        EXPECT_EQ(mtx2im(m, path.c_str()), 1);
        return path;
    }
};

// mnts_DCT's sums as plain loops: per block the 8-term row and column sums
// from 0.0 in increasing index, then the powers, blocks in row-major order.
std::vector<double> scalar_moments(const matrix *lv, const matrix *D) {
    const int hs = std::max(lv->ncols / 250, 1), vs = std::max(lv->nrows / 250, 1);
    const int nx = decpts(lv->ncols, 8, hs), ny = decpts(lv->nrows, 8, vs);
    std::vector<double> s(4 * 64, 0.0), res(4 * 64);
    for (int r = 0; r < ny; r++)
        for (int c = 0; c < nx; c++) {
            double P[8][8], F[8][8];
            for (int m = 0; m < 8; m++)
                for (int v = 0; v < 8; v++) {
                    P[m][v] = 0.0;
                    for (int n = 0; n < 8; n++)
                        P[m][v] += lv->pix[r * vs + m][c * hs + n] * D->pix[n][v];
                }
            for (int u = 0; u < 8; u++)
                for (int v = 0; v < 8; v++) {
                    F[u][v] = 0.0;
                    for (int m = 0; m < 8; m++) F[u][v] += D->pix[m][u] * P[m][v];
                    const double x = F[u][v], x2 = x * x, p[4] = {x, x2, x * x2, x2 * x2};
                    for (int k = 0; k < 4; k++) s[k * 64 + u * 8 + v] += p[k];
                }
        }
    for (int k = 0; k < 64; k++)
        for (int m = 0; m < 4; m++)
            res[k * 4 + m] = s[m * 64 + zzr[k] * 8 + zzc[k]] / ((double)nx * ny);
    return res;
}

}  // namespace

// The vectorised sums are those plain loops bit for bit on every vector
// target, for grids with one block, with runs of block columns cut short,
// with steps above 1 and above the block size (rows left out).
TEST_F(Moments, EveryVectorTargetGivesTheScalarBits) {
    const int sizes[][2] = {{8, 8}, {13, 21}, {40, 300}, {260, 510}, {1000, 600}, {2300, 24}};
    unsigned seed = 30;
    for (auto &sz : sizes) {
        auto lv = held(random_matrix(sz[0], sz[1], seed++, -1.0, 1.0));
        const std::vector<double> ref = scalar_moments(lv, D);
        for (int level = SIMD_PLAIN; level <= simd_best_level(); level++) {
            set_simd_level(level);
            auto m = held(mnts_DCT(lv, D));
            EXPECT_TRUE(std::equal(ref.begin(), ref.end(), m->pix[0]))
                << sz[0] << "x" << sz[1] << " level " << level;
        }
    }
    set_simd_level(simd_best_level());
}

// The block-by-block route must agree with the ovlapDct route. Both form
// every coefficient from the same two 8-term sums and add the powers over
// the blocks in the same order, so only a different summation order inside
// the library's matrix product could separate them: a few ulp of each
// coefficient. The tolerance 1e-12 * s^(m+1), s = (4th moment)^(1/4) the
// coefficient's scale, leaves room for that and for N up to ~250,000 blocks,
// while a misplaced block, a wrong step or a swapped coefficient shows at
// the 1e-3 level.
TEST_F(Moments, FastRouteMatchesOvlapDctRoute) {
    const int sizes[][2] = {{8, 8}, {13, 21}, {96, 96}, {260, 510}, {1000, 600}, {2300, 24}};
    unsigned seed = 1;
    for (auto &sz : sizes) {
        auto lv = held(random_matrix(sz[0], sz[1], seed++));
        auto fast = held(mnts_DCT(lv, D)), ref = held(mnts_DCT_ovlap(lv, D));
        ASSERT_EQ(fast->nrows, 64);
        ASSERT_EQ(fast->ncols, 4);
        for (int k = 0; k < 64; k++) {
            double s = std::pow(ref->pix[k][3], 0.25);
            for (int m = 0; m < 4; m++)
                EXPECT_NEAR(fast->pix[k][m], ref->pix[k][m], 1e-12 * std::pow(s, m + 1))
                    << sz[0] << "x" << sz[1] << " k=" << k << " m=" << m;
        }
    }
}

TEST_F(Moments, ConstantLevelHasOnlyDc) {
    auto lv = held(alloc_mtx(40, 56));
    fill_mtx(lv, 0.3);
    auto m = held(mnts_DCT(lv, D));
    EXPECT_NEAR(m->pix[0][0], 8 * 0.3, 1e-12);
    EXPECT_NEAR(m->pix[0][3], std::pow(8 * 0.3, 4), 1e-10);
    // The DCT matrix uses pi = 3.1415927, so its AC columns sum to ~1e-8
    // rather than 0: a constant leaves AC means of that order.
    for (int k = 1; k < 64; k++)
        for (int p = 0; p < 4; p++) EXPECT_NEAR(m->pix[k][p], 0.0, 1e-6) << k;
}

TEST_F(Moments, BlockGridSizeAndSteps) {
    // One lit sample in the last block position only: the DC mean is
    // (1/8) / N, which reveals the number of block positions N.
    auto lv = held(calloc_mtx(12, 12));
    lv->pix[11][11] = 1.0;  // 5 x 5 positions with steps 1
    auto m = held(mnts_DCT(lv, D));
    EXPECT_NEAR(m->pix[0][0], 0.125 / 25, 1e-15);
    lv = calloc_mtx(1000, 600);  // steps 2 across, 4 down: 297 x 249 positions
    lv->pix[0][0] = 1.0;
    m = mnts_DCT(lv, D);
    EXPECT_NEAR(m->pix[0][0], 0.125 / (297.0 * 249.0), 1e-18);
}

TEST_F(Moments, ImageIsCroppedTopLeftOrSkipped) {
    auto g = held(mk_gaufilter());
    auto img = held(random_matrix(100, 100, 7));
    auto tl = held(alloc_mtx(96, 96));  // 100 x 100 keeps its top-left 96 x 96
    submtx(tl, img, 0, 1, 95, 0, 1, 95);
    auto a = held(calloc_vol(4, 64, 4)), b = held(calloc_vol(4, 64, 4));
    EXPECT_EQ(add_image_mnts_DCT(img, a, 4, g, D, 0), 1);
    add_image_mnts_DCT(tl, b, 4, g, D, 0);
    for (int L = 0; L < 4; L++)  // the crop is read in place: the same bits as its copy
        EXPECT_TRUE(
            std::equal(a->frame[L]->pix[0], a->frame[L]->pix[0] + 256, b->frame[L]->pix[0]));
    auto tall = held(random_matrix(60, 200, 8));
    auto z = held(calloc_vol(4, 64, 4));
    testing::internal::CaptureStdout();
    EXPECT_EQ(add_image_mnts_DCT(tall, z, 4, g, D, 0), 0);  // 56 x 200 < 64
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Image too small, Skip!\n");
    for (int L = 0; L < 4; L++) EXPECT_EQ(sum(z->frame[L]), 0.0);
}

TEST_F(Moments, ClassMomentsLeaveSkippedImagesOut) {
    std::string flat = image("flat.png", 64, 80, 0.6);
    std::string tiny = image("tiny.png", 12, 90, 0.2);  // 12 < 8 * 2
    auto back = held(im2mtx(flat.c_str(), "I"));
    double a = back->pix[0][0];
    const char *lists[2];
    std::string l0 = write("c0.txt", flat + "\n"),
                l1 = write("c1.txt", flat + "\n  " + tiny + "\n");
    lists[0] = l0.c_str(), lists[1] = l1.c_str();
    testing::internal::CaptureStdout();
    auto mnt = held(getAllmnts_DCT(lists, 2, 2, D));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Image too small, Skip!\n"), std::string::npos);
    ASSERT_EQ(mnt->nrows, 128);
    ASSERT_EQ(mnt->ncols, 8);
    for (int L = 0; L < 2; L++) {
        EXPECT_NEAR(mnt->pix[64 * L][0], 8 * a, 1e-12);
        EXPECT_NEAR(mnt->pix[64 * L][4], 8 * a, 1e-12);  // the skipped image does not count
        EXPECT_NEAR(mnt->pix[64 * L][5], 64 * a * a, 1e-11);
    }

    // Recomputing the rest keeps the loaded background columns.
    for (int f = 0; f < 128; f++)
        for (int m = 0; m < 8; m++) mnt->pix[f][m] = m < 4 ? 7.0 : -1.0;
    testing::internal::CaptureStdout();
    getTheRestmnts_DCT(lists, mnt, 2, 2, D);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(mnt->pix[64][3], 7.0);
    EXPECT_NEAR(mnt->pix[64][4], 8 * a, 1e-12);
    EXPECT_EXIT(getTheRestmnts_DCT(lists, mnt, 2, 3, D), testing::ExitedWithCode(1),
                "\n!!!FATAL : Allmnt file is not in the right dimension!!!\n");
}

TEST_F(Moments, UnreadableImageOrEmptyListEndsTheRun) {
    std::string flat = image("flat.png", 64, 64, 0.5);
    std::string bad = write("c0.txt", flat + "\n" + dir + "/missing.png\n");
    std::string empty = write("c1.txt", "  \n");
    std::string tiny = write("c2.txt", image("tiny.png", 12, 90, 0.2) + "\n");
    const char *lists[] = {bad.c_str()};
    EXPECT_EXIT(getAllmnts_DCT(lists, 1, 1, D), testing::ExitedWithCode(1),
                "can't read image .*missing.png");
    lists[0] = empty.c_str();
    EXPECT_EXIT(getAllmnts_DCT(lists, 1, 1, D), testing::ExitedWithCode(1), "c1.txt .*no image");
    EXPECT_EXIT(getAllmnts_DCT(lists, 1, 0, D), testing::ExitedWithCode(1), "depth 0");
    lists[0] = tiny.c_str();
    EXPECT_EXIT(getAllmnts_DCT(lists, 1, 2, D), testing::ExitedWithCode(1),
                "no image of class 0 \\(list .*c2.txt\\)");
}
