// Correlation and maximum search for the detector.
//
// filter2d keeps the per-window summation order (products added row by row
// from 0.0), so its values do not depend on how the loops are arranged; the
// loops run over a whole output row at a time so that the inner loop is a
// plain vectorisable multiply-add over neighbouring windows.
#include <vector>

#include "lumivar.h"

matrix *filter2d(matrix *in, matrix *filt) {
    const int N = in->nrows, M = in->ncols, h = filt->nrows, w = filt->ncols;
    matrix *out = calloc_mtx(N, M);
    if (N < h || M < w) return out;
    const int oy = (h + 1) / 2 - 1, ox = (w + 1) / 2 - 1;
    const int nj = M - w + 1;
    std::vector<double> acc((size_t)nj);
    double *a = acc.data();
    for (int i = 0; i + h <= N; i++) {
        for (int j = 0; j < nj; j++) a[j] = 0.0;
        for (int m = 0; m < h; m++) {
            const double *row = in->pix[i + m];
            const double *f = filt->pix[m];
            for (int n = 0; n < w; n++) {
                const double c = f[n];
                const double *src = row + n;
                for (int j = 0; j < nj; j++) a[j] += src[j] * c;
            }
        }
        double *dst = out->pix[i + oy] + ox;
        for (int j = 0; j < nj; j++) dst[j] = a[j];
    }
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
