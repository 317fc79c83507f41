// Correlation and maximum search for the detector.
//
// filter2d keeps the per-window summation order (products added row by row
// from 0.0), so its values do not depend on how the loops are arranged: it
// computes neighbouring windows together, one per vector lane, so that their
// sums stay in registers while the window slides over the filter taps.
// Element-wise vector arithmetic keeps each lane's multiply and add separate
// (no fused multiply-add: the file is built with -ffp-contract=off), in the
// order of the scalar loop, so every build gives the same sums. The eight-wide
// vectors become one AVX-512 register, two AVX2 ones or four SSE2 ones,
// chosen at run time.
#include <cstring>

#include "lumivar.h"

namespace {

typedef double v8d __attribute__((vector_size(64)));
constexpr int kLanes = 8;
// Vectors of window sums held in registers at once.
constexpr int kVecs = 8;

// Windows j .. j + kLanes * V - 1 of filter rows starting at `rows`.
template <int V>
__attribute__((always_inline)) inline void window_sums(const double *const *rows, const matrix *filt,
                                                       int j, double *dst) {
    const int h = filt->nrows, w = filt->ncols;
    v8d acc[V] = {};
    for (int m = 0; m < h; m++) {
        const double *row = rows[m] + j;
        const double *f = filt->pix[m];
        for (int n = 0; n < w; n++) {
            const v8d c = {f[n], f[n], f[n], f[n], f[n], f[n], f[n], f[n]};
#pragma GCC unroll 8
            for (int q = 0; q < V; q++) {
                v8d x;
                memcpy(&x, row + n + q * kLanes, sizeof x);
                acc[q] += x * c;
            }
        }
    }
    memcpy(dst + j, acc, sizeof acc);
}

}  // namespace

__attribute__((target_clones("avx512f", "avx2", "default"))) void filter2d_row(const matrix *in,
                                                                               const matrix *filt,
                                                                               int r, double *dst) {
    const int N = in->nrows, M = in->ncols, h = filt->nrows, w = filt->ncols;
    const int oy = (h + 1) / 2 - 1, ox = (w + 1) / 2 - 1;
    const int i = r - oy;  // the window's top row
    if (N < h || M < w || i < 0 || i + h > N) {
        memset(dst, 0, sizeof(double) * M);
        return;
    }
    // Only the positions no window reaches are cleared; the rest is written.
    const int nj = M - w + 1;
    memset(dst, 0, sizeof(double) * ox);
    memset(dst + ox + nj, 0, sizeof(double) * (M - ox - nj));
    dst += ox;
    const double *const *rows = in->pix + i;
    int j = 0;
    for (; j + kLanes * kVecs <= nj; j += kLanes * kVecs) window_sums<kVecs>(rows, filt, j, dst);
    for (; j + kLanes <= nj; j += kLanes) window_sums<1>(rows, filt, j, dst);
    for (; j < nj; j++) {
        double acc = 0.0;
        for (int m = 0; m < h; m++) {
            const double *row = rows[m] + j;
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
