// Per-class raw moments of the 8x8 block-DCT coefficients of every pyramid
// level.
//
// The per-level moments are computed block by block (blockmoments.inc). A
// row pass transforms the 8-sample rows of every block column once per
// image row (P = X * D) and keeps only the last eight image rows in a ring
// buffer; the column pass (F = D' * P) then yields one block's 64
// coefficients, whose first four powers go straight into 64 x 4 running
// sums. Nothing of size N x 64 is formed. Every sum runs in the same order
// as the block transform and the per-coefficient sums of the ovlapDct
// route (products summed from 0.0 in increasing index, blocks in row-major
// order), so the two routes agree to within floating-point rounding;
// mnts_DCT_ovlap keeps that route for comparison. The sums are vectorised
// across the eight DCT columns only, lane by lane the scalar order, so
// they are the same bits on every vector target.
//
// The pyramid of an image is built from the cropped image read in place:
// level 0 is never copied.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "classstat.h"
#include "mtxown.h"
#include "fail.h"
#include "mres.h"
#include "simd.h"

// The one body, compiled for each vector target.
namespace mnt {
#define SIMD_BODY "blockmoments.inc"
#include "simd_variants.inc"
}  // namespace mnt

namespace {

constexpr int BS = 8;  // block size
constexpr int NC = BS * BS;

void check_level(const matrix *level, const matrix *dctarr) {
    if (dctarr == nullptr || dctarr->nrows != BS || dctarr->ncols != BS)
        lib_fatal(1, "mnts_DCT: the DCT matrix must be 8x8\n");
    if (level == nullptr || level->nrows < BS || level->ncols < BS)
        lib_fatal(1, "mnts_DCT: level smaller than one 8x8 block\n");
}

int block_step(int side) { return std::max(side / 250, 1); }

// Adds src (64 x 4) into dst element by element.
void add_into(matrix *dst, const matrix *src) {
    const double *s = src->pix[0];
    double *d = dst->pix[0];
    for (int i = 0; i < NC * 4; i++) d[i] += s[i];
}

}  // namespace

int image_mnts_DCT(matrix *img, volume *acc, int pyddepth, matrix *gaufilt, matrix *dctarr,
                   int slow) {
    // Sides are multiples of mod = 2^(depth-1) so that every level halves
    // exactly. Worked in 64 bits; depths beyond any real image just skip.
    int64_t H = img->nrows, W = img->ncols;
    bool small = pyddepth - 1 > 40;
    int64_t mod = small ? 1 : (int64_t)1 << (pyddepth - 1);
    int64_t h = H - H % mod, w = W - W % mod;
    if (small || std::min(h, w) < 8 * mod) return 0;
    // Level 0 is the top-left h x w of the image itself, read through its
    // rows (a view, not a copy); the coarser levels are new.
    matrix crop = {img->pix, (int)h, (int)w};
    std::vector<MatrixPtr> coarse;
    const matrix *level = &crop;
    for (int L = 0; L < pyddepth; L++) {
        if (L > 0) {
            coarse.emplace_back(alloc_mtx(level->nrows / 2, level->ncols / 2));
            gpyr_level(level, coarse.back().get(), gaufilt, gaufilt, 'w');
            level = coarse.back().get();
        }
        matrix *lv = const_cast<matrix *>(level);
        MatrixPtr m(slow ? mnts_DCT_ovlap(lv, dctarr) : mnts_DCT(lv, dctarr));
        add_into(acc->frame[L], m.get());
    }
    return 1;
}

void check_mnts_depth(int pyddepth) {
    if (pyddepth < 1 || pyddepth > INT_MAX / NC) {
        lib_fatalf(1, "Error: pyramid depth %d is out of range (at least 1)\n", pyddepth);
    }
}

void add_mnts_volume(volume *acc, const volume *add) {
    for (int L = 0; L < acc->nframes; L++) add_into(acc->frame[L], add->frame[L]);
}

void set_class_mnts(volume *acc, int used, int j, matrix *Allmnt) {
    for (int L = 0; L < acc->nframes; L++) {
        matrix *fr = acc->frame[L];
        double *v = fr->pix[0];
        for (int e = 0; e < NC * 4; e++) v[e] /= used;
        coords a0 = {0, 0}, one = {1, 1}, a1 = {3, NC - 1};
        coords b0 = {4 * j, NC * L}, b1 = {4 * j + 3, NC * L + NC - 1};
        move(fr, Allmnt, a0, one, a1, b0, one, b1, 0);
    }
}

int add_image_mnts_DCT(matrix *img, volume *acc, int pyddepth, matrix *gaufilt, matrix *dctarr,
                       int slow) {
    if (image_mnts_DCT(img, acc, pyddepth, gaufilt, dctarr, slow)) return 1;
    lib_notice(1, "Image too small, Skip!\n");
    return 0;
}

matrix *mnts_DCT(matrix *level, matrix *dctarr) {
    check_level(level, dctarr);
    const int H = level->nrows, W = level->ncols;
    const int hs = block_step(W), vs = block_step(H);
    const int nx = decpts(W, BS, hs), ny = decpts(H, BS, vs);

    double D[NC];
    for (int i = 0; i < BS; i++)
        for (int j = 0; j < BS; j++) D[i * BS + j] = dctarr->pix[i][j];

    // ring[(y % 8)][c][v]: row y of block column c times D.
    const size_t ring_bytes = (size_t)BS * nx * BS * sizeof(double);
    std::unique_ptr<double, FreeDeleter> ring(
        (double *)aligned_alloc(64, (ring_bytes + 63) / 64 * 64));
    check_alloc(ring.get());
    // Running sums of x, x^2, x^3, x^4 per coefficient in (u, v) layout.
    double s[4 * NC];
    auto sums = simd_pick(mnt::simd_plain::block_sums, mnt::simd_avx2::block_sums,
                          mnt::simd_avx512::block_sums);
    sums(level->pix, nx, ny, hs, vs, D, ring.get(), s);

    const double N = (double)nx * (double)ny;
    matrix *res = alloc_mtx(NC, 4);
    for (int k = 0; k < NC; k++) {
        const int uv = zzr[k] * BS + zzc[k];
        for (int m = 0; m < 4; m++) res->pix[k][m] = s[m * NC + uv] / N;
    }
    return res;
}

matrix *mnts_DCT_ovlap(matrix *level, matrix *dctarr) {
    check_level(level, dctarr);
    const int hs = block_step(level->ncols), vs = block_step(level->nrows);
    MatrixPtr T;
    {
        MatrixPtr R(ovlapDct(level, BS, dctarr, hs, vs));
        T.reset(mtx_fun(R.get(), 'T'));
    }
    MatrixPtr S(mtx_bmath(T.get(), T.get(), '.'));
    MatrixPtr U(mtx_bmath(T.get(), S.get(), '.'));
    MatrixPtr Q(mtx_bmath(S.get(), S.get(), '.'));
    const int N = T->ncols;
    matrix *res = alloc_mtx(NC, 4);
    const matrix *pw[4] = {T.get(), S.get(), U.get(), Q.get()};
    for (int k = 0; k < NC; k++)
        for (int m = 0; m < 4; m++) res->pix[k][m] = vsum(pw[m]->pix[k], N) / N;
    return res;
}

void check_moment_shape(const matrix *Allmnt, const char *path, int pyddepth, int classnum) {
    if ((int64_t)Allmnt->nrows == (int64_t)NC * pyddepth &&
        (int64_t)Allmnt->ncols == 4 * (int64_t)classnum)
        return;
    std::string msg = "\n!!!FATAL : Allmnt file is not in the right dimension!!!\n";
    if (path) {
        char buf[512];
        snprintf(buf, sizeof buf, " is %d x %d; depth %d and %d classes need %lld x %lld\n",
                 Allmnt->nrows, Allmnt->ncols, pyddepth, classnum, (long long)NC * pyddepth,
                 4LL * classnum);
        msg += path;
        msg += buf;
    }
    lib_fatal(1, msg);
}
