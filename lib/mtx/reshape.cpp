// Reshaping helpers: crossover of row ranges, matrices to columns and back,
// diagonal matrices, and the integer image difference.
#include <cstring>

#include "mtx.h"
#include "mtx_internal.h"
#include "mtxown.h"

void inp_mtx_xover(matrix *a, matrix *b, int row) {
    if (a->nrows != b->nrows || a->ncols != b->ncols)
        mtx_fail("mtx_xover: Incompatible dimensions...\n");
    if (row < 0 || row > a->nrows) mtx_fail("mtx_xover: Invalid crossover row\n");
    // Rows are contiguous, so the tails are two flat ranges.
    double *pa = a->pix[0] + (size_t)row * a->ncols;
    double *pb = b->pix[0] + (size_t)row * b->ncols;
    const size_t n = (size_t)(a->nrows - row) * a->ncols;
    for (size_t i = 0; i < n; i++) {
        const double t = pa[i];
        pa[i] = pb[i];
        pb[i] = t;
    }
}

volume *mtx_xover(matrix *a, matrix *b, int row) {
    if (a->nrows != b->nrows || a->ncols != b->ncols)
        mtx_fail("mtx_xover: Incompatible dimensions...\n");
    VolumePtr v(alloc_vol(2, a->nrows, a->ncols));
    inp_mtx_fun(a, v->frame[0], 'R');
    inp_mtx_fun(b, v->frame[1], 'R');
    inp_mtx_xover(v->frame[0], v->frame[1], row);  // may refuse the row
    return v.release();
}

matrix *vectorize(volume *v) {
    const matrix *f0 = v->frame[0];
    for (int k = 1; k < v->nframes; k++)
        if (v->frame[k]->nrows != f0->nrows || v->frame[k]->ncols != f0->ncols)
            mtx_fail("vectorize: Incompatible dimensions...\n");
    const size_t len = mtx_count(f0);
    if (len > (size_t)0x7fffffff) mtx_fail("Unable to allocate memory\n");
    matrix *r = alloc_mtx((int)len, v->nframes);
    for (int k = 0; k < v->nframes; k++) {
        const double *src = v->frame[k]->pix[0];
        for (size_t i = 0; i < len; i++) r->pix[i][k] = src[i];
    }
    return r;
}

volume *unvectorize(matrix *a, int nrows, int ncols) {
    if (nrows < 1 || ncols < 1 || (size_t)nrows * (size_t)ncols != (size_t)a->nrows)
        mtx_fail("unvectorize: Incompatible dimensions...\n");
    volume *v = alloc_vol(a->ncols, nrows, ncols);
    for (int k = 0; k < a->ncols; k++) {
        double *dst = v->frame[k]->pix[0];
        for (int i = 0; i < a->nrows; i++) dst[i] = a->pix[i][k];
    }
    return v;
}

matrix *mtx_mkdiag(matrix *v) {
    if (!mtx_is_vector(v)) mtx_fail("mtx_mkdiag: can only use vectors ...\n");
    const int n = (int)mtx_vec_len(v);
    matrix *d = calloc_mtx(n, n);
    for (int i = 0; i < n; i++) d->pix[i][i] = v->pix[0][i];
    return d;
}

void subtract(image *a, image *b) {
    if (a->nrows != b->nrows || a->ncols != b->ncols)
        mtx_fail("Error in subtract: Images have different dimensions");
    int *pa = a->pix[0];
    const int *pb = b->pix[0];
    const size_t n = (size_t)a->nrows * a->ncols;
    // Unsigned arithmetic wraps like two's complement instead of overflowing.
    for (size_t i = 0; i < n; i++) pa[i] = (int)((unsigned)pa[i] - (unsigned)pb[i]);
}
