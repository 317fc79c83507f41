// Correlation and maximum search for the detector.
//
// filter2d keeps the per-window summation order (products added row by row
// from 0.0), so its values do not depend on how the loops are arranged; it
// computes 32 neighbouring windows together so that their sums stay in
// vector registers while the window slides over the filter taps.
#include <cstring>

#include "lumivar.h"

namespace {

// Four window sums side by side. Element-wise vector arithmetic keeps each
// lane's multiply and add separate, in the order of the scalar loop.
typedef double v4d __attribute__((vector_size(32)));
constexpr int kLanes = 4;
// Vectors of window sums held in registers at once (32 outputs).
constexpr int kVecs = 8;
constexpr int kBlock = kLanes * kVecs;

}  // namespace

// The AVX2 build only widens the registers (no fused multiply-add), so both
// builds give the same sums.
__attribute__((target_clones("avx2", "default"))) void filter2d_row(const matrix *in,
                                                                    const matrix *filt, int r,
                                                                    double *dst) {
    const int N = in->nrows, M = in->ncols, h = filt->nrows, w = filt->ncols;
    const int oy = (h + 1) / 2 - 1, ox = (w + 1) / 2 - 1;
    const int i = r - oy;  // the window's top row
    memset(dst, 0, sizeof(double) * M);
    if (N < h || M < w || i < 0 || i + h > N) return;
    dst += ox;
    const int nj = M - w + 1;
    int j = 0;
    for (; j + kBlock <= nj; j += kBlock) {
        v4d acc[kVecs] = {};
        for (int m = 0; m < h; m++) {
            const double *row = in->pix[i + m] + j;
            const double *f = filt->pix[m];
            for (int n = 0; n < w; n++) {
                const v4d c = {f[n], f[n], f[n], f[n]};
#pragma GCC unroll 8
                for (int q = 0; q < kVecs; q++) {
                    v4d x;
                    memcpy(&x, row + n + q * kLanes, sizeof x);
                    acc[q] += x * c;
                }
            }
        }
        memcpy(dst + j, acc, sizeof acc);
    }
    for (; j < nj; j++) {
        double acc = 0.0;
        for (int m = 0; m < h; m++) {
            const double *row = in->pix[i + m] + j;
            const double *f = filt->pix[m];
            for (int n = 0; n < w; n++) acc += row[n] * f[n];
        }
        dst[j] = acc;
    }
}

matrix *filter2d(matrix *in, matrix *filt) {
    matrix *out = alloc_mtx(in->nrows, in->ncols);
    for (int r = 0; r < in->nrows; r++) filter2d_row(in, filt, r, out->pix[r]);
    return out;
}

double mtx_max_idx(matrix *m, int *row, int *col) {
    const double *p = m->pix[0];
    const long n = (long)m->nrows * m->ncols;
    double best = p[0];
    long at = 0;
    for (long i = 1; i < n; i++) {
        if (p[i] > best) {
            best = p[i];
            at = i;
        }
    }
    if (row) *row = (int)(at / m->ncols);
    if (col) *col = (int)(at % m->ncols);
    return best;
}
