#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "classstat.h"

namespace {

// Inputs of one selection run over ftnum features and K classes. Every class
// is N(0, 1) in every feature unless changed; shapes 0.65 (the limit, valid).
struct Sel {
    int ftnum, K;
    matrix *mnt, *beta, *sv, *md, *sortMDs, *sortCosts, *sortidx;
    int *finuse = nullptr;
    std::string out, err;
    Sel(int ftnum_, int K_) : ftnum(ftnum_), K(K_) {
        mnt = calloc_mtx(ftnum, 4 * K);
        for (int f = 0; f < ftnum; f++)
            for (int j = 0; j < K; j++) set(f, j, 1);
        beta = calloc_mtx(ftnum, K);
        fill_mtx(beta, 0.65);
        sv = calloc_mtx(ftnum, 1);
        fill_mtx(sv, 1.0);
        md = calloc_mtx(K, ftnum);
        for (int j = 0; j < K; j++)  // distinct, decreasing with f
            for (int f = 0; f < ftnum; f++) md->pix[j][f] = 1 - f / 1000.0;
        sortMDs = calloc_mtx(K, ftnum);
        sortCosts = calloc_mtx(K, ftnum);
        sortidx = calloc_mtx(K, ftnum);
    }
    ~Sel() {
        for (matrix *m : {mnt, beta, sv, md, sortMDs, sortCosts, sortidx}) free_mtx(m);
        free(finuse);
    }
    void set(int f, int j, double var) {  // zero-mean Gaussian moments
        double v[4] = {0, var, 0, 3 * var * var};
        for (int m = 0; m < 4; m++) mnt->pix[f][4 * j + m] = v[m];
    }
    void run(int exBfea, int ishue, int isdenoise) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        finuse = SalientFeatures_Qor_GGD(mnt, beta, K, exBfea, sv, md, ishue, sortMDs, sortCosts,
                                         sortidx, isdenoise);
        err = testing::internal::GetCapturedStderr();
        out = testing::internal::GetCapturedStdout();
    }
    std::vector<int> idx(int j, int n) {
        std::vector<int> r;
        for (int p = 0; p < n; p++) r.push_back((int)sortidx->pix[j][p]);
        return r;
    }
};

}  // namespace

TEST(Select, TiesFollowSelectionSortOrder) {
    Sel a(64, 1);
    a.md->pix[0][0] = 4.5;  // DC: invalid, so it moves behind the valid part
    a.md->pix[0][1] = 5, a.md->pix[0][2] = 7, a.md->pix[0][3] = 7;
    a.run(0, 0, 0);
    EXPECT_EQ(a.idx(0, 4), (std::vector<int>{3, 2, 1, 4}));
    EXPECT_EQ(a.sortidx->pix[0][63], 0);
    EXPECT_NE(a.err.find("\nFirst MD idx is 3\n"), std::string::npos);
    EXPECT_EQ(a.out, "class # 0...Done.\n");

    Sel b(64, 1);
    b.md->pix[0][1] = 7, b.md->pix[0][2] = 5, b.md->pix[0][3] = 7;
    b.run(0, 0, 0);
    EXPECT_EQ(b.idx(0, 3), (std::vector<int>{3, 1, 2}));
}

TEST(Select, ValidThenInvalidWithCosts) {
    Sel s(64, 2);
    s.md->pix[0][1] = 5, s.md->pix[0][2] = 7, s.md->pix[0][3] = 7;
    s.beta->pix[3][1] = 0.64;  // too peaked in class 1: invalid for every class
    s.run(0, 0, 0);
    EXPECT_EQ(s.finuse[0], 62);
    EXPECT_EQ(s.finuse[1], 62);
    EXPECT_NE(s.err.find("\nFirst MD idx is 3 valid features are 62\n"), std::string::npos);
    EXPECT_EQ(s.idx(0, 3), (std::vector<int>{2, 1, 4}));
    EXPECT_EQ(s.sortidx->pix[0][61], 63);
    EXPECT_EQ(s.sortidx->pix[0][62], 3);  // invalid part keeps the sort order
    EXPECT_EQ(s.sortidx->pix[0][63], 0);
    EXPECT_EQ(s.sortMDs->pix[0][62], 7);
    EXPECT_DOUBLE_EQ(s.sortCosts->pix[0][0], 7 / 0.937);
    EXPECT_EQ(s.sortCosts->pix[0][61], 1.0);
    for (int k = 1; k < 62; k++) EXPECT_LE(s.sortCosts->pix[0][k], s.sortCosts->pix[0][k - 1]);
    EXPECT_EQ(s.sortCosts->pix[0][62], 0.0);
    EXPECT_EQ(s.sortCosts->pix[0][63], 0.0);
}

TEST(Select, DcRuleDependsOnHue) {
    Sel plain(128, 2), hue(128, 2);
    plain.run(0, 0, 0);
    hue.run(0, 1, 0);
    EXPECT_EQ(plain.finuse[0], 126);  // features 0 and 64
    EXPECT_EQ(hue.finuse[0], 127);    // one level only: feature 64 stays
    EXPECT_EQ(hue.finuse[1], 127);
    EXPECT_EQ(hue.sortidx->pix[0][127], 0);
}

TEST(Select, EntropyRuleKeepsFeaturesWhereClassIsLessPredictable) {
    Sel s(64, 2);
    for (int f = 1; f < 64; f += 2) s.set(f, 1, 4.0);  // class 1 wider in odd features
    s.run(1, 0, 0);
    EXPECT_EQ(s.finuse[0], 0);   // never wider; equal entropies are invalid
    EXPECT_EQ(s.finuse[1], 32);  // exactly the odd features
    for (int p = 0; p < 32; p++) EXPECT_EQ((int)s.sortidx->pix[1][p] % 2, 1);
    for (int k = 0; k < 64; k++) EXPECT_EQ(s.sortCosts->pix[0][k], 0.0);
}

TEST(Select, VarianceRuleAgainstHighestFrequency) {
    Sel s(64, 1);
    s.sv->pix[10][0] = 5.0;  // noise variance 1 (feature 63): threshold 1/2
    s.run(0, 0, 1);
    EXPECT_EQ(s.finuse[0], 1);
    EXPECT_EQ(s.sortidx->pix[0][0], 10);
    EXPECT_EQ(s.out, "class # 0...denoising...\nDone.\n");
}
