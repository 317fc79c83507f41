#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "mres.h"
#include "test_support.h"

namespace {

// Zig-zag positions by the anti-diagonal rule: odd diagonals run with the
// row increasing, even ones with the row decreasing.
void zigzag_by_rule(int n, std::vector<int> &r, std::vector<int> &c) {
    for (int d = 0; d <= 2 * (n - 1); d++)
        for (int t = 0; t <= d; t++) {
            int u = d % 2 ? t : d - t;
            if (u < n && d - u < n) {
                r.push_back(u);
                c.push_back(d - u);
            }
        }
}

}  // namespace

TEST(ZigZag, TablesFollowTheAntiDiagonalRule) {
    const int *tr[3] = {zz2r, zz4r, zzr}, *tc[3] = {zz2c, zz4c, zzc};
    for (int t = 0; t < 3; t++) {
        int n = 2 << t;
        std::vector<int> r, c;
        zigzag_by_rule(n, r, c);
        ASSERT_EQ((int)r.size(), n * n);
        for (int k = 0; k < n * n; k++) {
            EXPECT_EQ(tr[t][k], r[k]) << "size " << n << " k " << k;
            EXPECT_EQ(tc[t][k], c[k]) << "size " << n << " k " << k;
        }
    }
    EXPECT_EQ(zzr[10], 4);
    EXPECT_EQ(zzc[10], 0);
}

TEST(Decpts, CountsPositionsThatFit) {
    EXPECT_EQ(decpts(16, 8, 8), 2);
    EXPECT_EQ(decpts(17, 8, 8), 2);
    EXPECT_EQ(decpts(16, 8, 1), 9);
    EXPECT_EQ(decpts(8, 8, 3), 1);
    EXPECT_EQ(decpts(7, 8, 1), 0);
    EXPECT_EQ(decpts(0, 8, 4), 0);
}

TEST(Initdct, OrthonormalUpToItsConstants) {
    auto d = held(initdct(8));
    for (int a = 0; a < 8; a++)
        for (int b = 0; b < 8; b++) {
            double s = 0.0;
            for (int i = 0; i < 8; i++) s += d->pix[i][a] * d->pix[i][b];
            EXPECT_NEAR(s, a == b ? 1.0 : 0.0, 1e-6);  // pi is 3.1415927
        }
    EXPECT_NEAR(d->pix[5][0], 0.5 * 0.707106781186547, 1e-15);
    EXPECT_EQ(d->pix[0][1], cos(1 * 3.1415927 / 16) * 0.5);
}

TEST(BlockDct, ConstantBlockIsPureDc) {
    auto d = held(initdct(8));
    auto b = held(alloc_mtx(8, 8));
    fill_mtx(b, 0.6);
    inp_bkdct(b, d);
    EXPECT_NEAR(b->pix[0][0], 8 * 0.6, 1e-6);
    for (int i = 1; i < 64; i++) EXPECT_NEAR(b->pix[0][i], 0.0, 1e-6);
    inp_bkidct(b, d);
    for (int i = 0; i < 64; i++) EXPECT_NEAR(b->pix[0][i], 0.6, 1e-6);
}

TEST(OvlapDct, BlocksInRowMajorGridOrder) {
    // Each 8x8 tile of a 16x24 image is constant (y0 + x0 / 10) / 100, so
    // the DC coefficient of every row names the block it came from.
    auto img = held(alloc_mtx(16, 24));
    for (int i = 0; i < 16; i++)
        for (int j = 0; j < 24; j++) img->pix[i][j] = ((i / 8) * 8 + (j / 8) * 8 / 10.0) / 100;
    auto d = held(initdct(8));
    auto r = held(ovlapDct(img, 8, d, 8, 8));
    ASSERT_EQ(r->nrows, 6);
    ASSERT_EQ(r->ncols, 64);
    const int offs[6][2] = {{0, 0}, {0, 8}, {0, 16}, {8, 0}, {8, 8}, {8, 16}};
    for (int k = 0; k < 6; k++) {
        EXPECT_NEAR(r->pix[k][0], 8 * (offs[k][0] + offs[k][1] / 10.0) / 100, 1e-6) << k;
        for (int c = 1; c < 64; c++) EXPECT_NEAR(r->pix[k][c], 0.0, 1e-6);
    }
}

TEST(OvlapDct, RowsEqualTheInPlaceTransformBitForBit) {
    auto img = held(random_matrix(13, 11, 2, -1.0, 1.0));
    auto d = held(initdct(8));
    auto r = held(ovlapDct(img, 8, d, 2, 3));
    ASSERT_EQ(r->nrows, decpts(13, 8, 3) * decpts(11, 8, 2));  // 2 * 2
    auto blk = held(alloc_mtx(8, 8));
    double z[64];
    int row = 0;
    for (int y0 = 0; y0 <= 5; y0 += 3)
        for (int x0 = 0; x0 <= 3; x0 += 2, row++) {
            submtx(blk, img, y0, 1, y0 + 7, x0, 1, x0 + 7);
            inp_bkdct(blk, d);
            zzscan(blk, z);
            for (int k = 0; k < 64; k++) EXPECT_EQ(r->pix[row][k], z[k]);
        }
}

TEST(Basis, CorrelatingWithColumnKGivesCoefficientK) {
    // The detector's filter bank and the trainer's block transform must
    // agree on every feature.
    auto img = held(random_matrix(20, 23, 3, -1.0, 1.0));
    auto d = held(initdct(8));
    auto basis = held(mkDCTBasis(8));
    auto r = held(ovlapDct(img, 8, d, 1, 1));
    const int nc = decpts(23, 8, 1);
    ASSERT_EQ(r->nrows, decpts(20, 8, 1) * nc);
    for (int row = 0; row < r->nrows; row++) {
        int y0 = row / nc, x0 = row % nc;
        for (int k = 0; k < 64; k++) {
            double s = 0.0;
            for (int m = 0; m < 8; m++)
                for (int n = 0; n < 8; n++)
                    s += basis->pix[m * 8 + n][k] * img->pix[y0 + m][x0 + n];
            ASSERT_NEAR(s, r->pix[row][k], 1e-12) << "block " << row << " k " << k;
        }
    }
}

TEST(Basis, ColumnsAreOuterProductsOfDctColumns) {
    for (int sz : {8, 6, 4}) {
        auto d = held(initdct(sz));
        auto b = held(mkDCTBasis(sz));
        ASSERT_EQ(b->nrows, sz * sz);
        for (int k = 0; k < sz * sz; k++) {
            int u = k / sz, v = k % sz;  // row-major pairs for sizes without a table
            if (sz == 8) u = zzr[k], v = zzc[k];
            if (sz == 4) u = zz4r[k], v = zz4c[k];
            for (int m = 0; m < sz; m++)
                for (int n = 0; n < sz; n++)
                    ASSERT_NEAR(b->pix[m * sz + n][k], d->pix[m][u] * d->pix[n][v], 1e-15)
                        << "sz " << sz << " k " << k;
        }
    }
    auto b = held(mkDCTBasis(8));
    for (int i = 0; i < 64; i++) EXPECT_NEAR(b->pix[i][0], 0.125, 1e-15);
}

TEST(Basis, RotationTurnsHorizontalIntoVertical) {
    auto b = held(mkDCTBasis(8));
    auto r0 = held(mkRDCTBasis(8, 0.0));
    for (int i = 0; i < 64 * 64; i++) ASSERT_EQ(r0->pix[0][i], b->pix[0][i]);
    auto r90 = held(mkRDCTBasis(8, M_PI / 2));
    for (int i = 0; i < 64; i++) EXPECT_NEAR(r90->pix[i][1], b->pix[i][2], 1e-12);
}

TEST(GridTransforms, DctIdctRoundTripOnTheCentredGrid) {
    auto img = held(random_matrix(19, 21, 4, -1.0, 1.0));
    auto d = held(initdct(4));
    testing::internal::CaptureStdout();
    auto c = held(dct(img, 4, d));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out,
              "Warning: Image size (19, 21) not multiple of block size (4) \n"
              "         Image will be cropped \n");
    ASSERT_EQ(c->nrows, 4 * 5);
    auto back = held(idct(c, 4, d, 19, 21));
    for (int i = 0; i < 19; i++)
        for (int j = 0; j < 21; j++) {
            bool inside = i >= 1 && i < 17 && j >= 0 && j < 20;  // margins (1, 0)
            EXPECT_NEAR(back->pix[i][j], inside ? img->pix[i][j] : 0.0, 1e-6);
        }
}

TEST(GridTransforms, SparseDctTakesListedCorners) {
    auto img = held(random_matrix(12, 12, 5, -1.0, 1.0));
    const double p[4] = {3, 1, 0, 4};  // (row, column) pairs
    auto pos = held(array2mtx(p, 2, 2));
    auto raw = held(sparseDct(img, pos, 8, nullptr));
    EXPECT_EQ(raw->pix[0][0], img->pix[3][1]);
    EXPECT_EQ(raw->pix[1][63], img->pix[7][11]);
    auto d = held(initdct(8));
    auto co = held(sparseDct(img, pos, 8, d));
    auto all = held(ovlapDct(img, 8, d, 1, 1));
    for (int k = 0; k < 64; k++) {
        EXPECT_EQ(co->pix[0][k], all->pix[3 * 5 + 1][k]);
        EXPECT_EQ(co->pix[1][k], all->pix[4][k]);
    }
}

TEST(DctDeath, MisuseEndsWithMessage) {
    EXPECT_EXIT(mkDCTBasis(7), testing::ExitedWithCode(1),
                "^mkDCTBasis: sz must be even and <= 256\n$");
    EXPECT_EXIT(mkDCTBasis(258), testing::ExitedWithCode(1),
                "^mkDCTBasis: sz must be even and <= 256\n$");
    EXPECT_EXIT(initdct(7), testing::ExitedWithCode(1), "^initdct: sz must be even\n$");
    auto b = held(calloc_mtx(3, 3));
    double v[9];
    EXPECT_EXIT(zzscan(b, v), testing::ExitedWithCode(1), "^zzscan: Unsuported block size \n$");
    EXPECT_EXIT(unzzscan(b, v), testing::ExitedWithCode(1), "^unzzscan: Unsuported block size \n$");
    // An image smaller than one block is refused rather than read past.
    auto small = held(calloc_mtx(7, 20));
    auto d = held(initdct(8));
    EXPECT_EXIT(ovlapDct(small, 8, d, 1, 1), testing::ExitedWithCode(1),
                "^ovlapDct: image \\(7, 20\\) is smaller than one block \\(8\\)\n$");
    const double p[2] = {5, 0};
    auto pos = held(array2mtx(p, 1, 2));
    EXPECT_EXIT(sparseDct(small, pos, 8, d), testing::ExitedWithCode(1), "lies outside the image");
    // A DCT matrix that does not fit the block fails in the product X D.
    auto blk4 = held(calloc_mtx(4, 4));
    EXPECT_EXIT(inp_bkdct(blk4, d), testing::ExitedWithCode(1),
                "^Matrix mult: Incompatible dimensions...\n$");
    auto d4 = held(initdct(4));
    auto img = held(calloc_mtx(16, 16));
    EXPECT_EXIT(ovlapDct(img, 8, d4, 8, 8), testing::ExitedWithCode(1),
                "^Matrix mult: Incompatible dimensions...\n$");
}
