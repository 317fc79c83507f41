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
__attribute__((always_inline)) inline void window_sums(const double *const *rows,
                                                       const matrix *filt, int j, double *dst) {
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

namespace {

// Several output rows at once for 8 x 8 filters: each input row is loaded
// once for all the output rows whose windows hold it (row t of the batch
// uses it with filter row a - t), so loads stop bounding the speed. Every
// window still receives its products in its own order: filter rows
// ascending, taps ascending within a row.
template <int R, int V>
__attribute__((always_inline)) inline void rows_block(const double *const *rows,
                                                      const double *const *f, int j,
                                                      double *const *dst) {
    v8d acc[R][V] = {};
    for (int a = 0; a < 8 + R - 1; a++) {
        const double *row = rows[a] + j;
        for (int n = 0; n < 8; n++) {
            v8d x[V];
#pragma GCC unroll 8
            for (int q = 0; q < V; q++) memcpy(&x[q], row + n + q * kLanes, sizeof x[q]);
#pragma GCC unroll 8
            for (int t = 0; t < R; t++) {
                const int m = a - t;
                if (m < 0 || m >= 8) continue;
                const double fm = f[m][n];
                const v8d c = {fm, fm, fm, fm, fm, fm, fm, fm};
#pragma GCC unroll 8
                for (int q = 0; q < V; q++) acc[t][q] += x[q] * c;
            }
        }
    }
#pragma GCC unroll 8
    for (int t = 0; t < R; t++) memcpy(dst[t] + j, acc[t], sizeof acc[t]);
}

constexpr int kBatch = 4;

__attribute__((target("avx512f"))) void batch_avx512(const double *const *rows,
                                                     const double *const *f, int nj,
                                                     double *const *dst) {
    int j = 0;
    for (; j + 4 * kLanes <= nj; j += 4 * kLanes) rows_block<kBatch, 4>(rows, f, j, dst);
    for (; j + kLanes <= nj; j += kLanes) rows_block<kBatch, 1>(rows, f, j, dst);
    for (; j < nj; j++)
        for (int t = 0; t < kBatch; t++) {
            double acc = 0.0;
            for (int m = 0; m < 8; m++)
                for (int n = 0; n < 8; n++) acc += rows[t + m][j + n] * f[m][n];
            dst[t][j] = acc;
        }
}

}  // namespace

int filter2d_batch() {
    static const bool wide = __builtin_cpu_supports("avx512f");
    return wide ? kBatch : 1;
}

void filter2d_rows(const matrix *in, const matrix *filt, int r, int count, double *const *dst) {
    const int N = in->nrows, M = in->ncols, h = filt->nrows, w = filt->ncols;
    const int i = r - ((h + 1) / 2 - 1);  // the first window's top row
    if (count != kBatch || filter2d_batch() != kBatch || h != 8 || w != 8 || M < w || i < 0 ||
        i + h + count - 1 > N) {
        for (int t = 0; t < count; t++) filter2d_row(in, filt, r + t, dst[t]);
        return;
    }
    const int ox = (w + 1) / 2 - 1, nj = M - w + 1;
    double *out[kBatch];
    for (int t = 0; t < kBatch; t++) {
        memset(dst[t], 0, sizeof(double) * ox);
        memset(dst[t] + ox + nj, 0, sizeof(double) * (M - ox - nj));
        out[t] = dst[t] + ox;
    }
    batch_avx512(in->pix + i, filt->pix, nj, out);
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
