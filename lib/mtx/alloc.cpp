// Raw two-dimensional arrays, matrices and their containers.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "mtx.h"
#include "mtx_internal.h"
#include "mtxsize.h"
#include "fail.h"

namespace {

const char *const kNonPositive = "alloc_pix: cannot allocate array of non-positive size\n";

[[noreturn]] void fail(const char *msg) { mtx_fail(msg); }

size_t element_size(int code) {
    switch (code & 0xff) {
        case 'F': return sizeof(double);
        case 'f': return sizeof(float);
        case 'D': return sizeof(int);
        case 'u': return sizeof(unsigned char);
        default: return 0;
    }
}

// The element count is formed with an overflow check so that rows * cols
// cannot wrap into a small positive number; a count too large for memory
// ends like any other failed allocation.
size_t checked_count(int64_t nrows, int64_t ncols) {
    if (nrows <= 0 || ncols <= 0) fail(kNonPositive);
    int64_t n;
    if (!checked_size({nrows, ncols}, (int64_t)(SIZE_MAX / sizeof(double)), &n)) lib_fatal_nomem(0);
    return (size_t)n;
}

void **make_pix(int nrows, int ncols, int code, bool zero, const char *unknown_msg) {
    size_t count = checked_count(nrows, ncols);
    size_t esize = element_size(code);
    if (esize == 0) fail(unknown_msg);
    void **rows = (void **)malloc((size_t)nrows * sizeof(void *));
    if (!rows) lib_fatal_nomem((size_t)nrows * sizeof(void *));
    char *block = (char *)(zero ? calloc(count, esize) : malloc(count * esize));
    if (!block) {
        // A caller that survives the failure (one image of many) must not
        // lose the row table with it.
        free(rows);
        lib_fatal_nomem(count * esize);
    }
    for (int r = 0; r < nrows; r++) rows[r] = block + (size_t)r * ncols * esize;
    return rows;
}

matrix *make_mtx(int nrows, int ncols, bool zero) {
    double **pix = (double **)(zero ? calloc_pix(nrows, ncols, 'F') : alloc_pix(nrows, ncols, 'F'));
    matrix *m = (matrix *)calloc(1, sizeof(matrix));
    if (!m) free_pix((void **)pix);
    check_alloc(m);
    m->pix = pix;
    m->nrows = nrows;
    m->ncols = ncols;
    return m;
}

pyramid *make_pyr(int depth, int nrows, int ncols, bool zero) {
    if (depth <= 0) fail(kNonPositive);
    pyramid *p = (pyramid *)calloc(1, sizeof(pyramid));
    check_alloc(p);
    p->level = (matrix **)malloc((size_t)depth * sizeof(matrix *));
    check_alloc(p->level);
    p->depth = depth;
    for (int i = 0; i < depth; i++) {
        try {
            p->level[i] = make_mtx(nrows, ncols, zero);
        } catch (...) {  // a failure reported in process: the levels made so far go too
            p->depth = i;
            free_pyr(p);
            throw;
        }
        nrows /= 2;
        ncols /= 2;
    }
    return p;
}

volume *make_vol(int nframes, int nrows, int ncols, bool zero) {
    if (nframes <= 0) fail(kNonPositive);
    volume *v = (volume *)calloc(1, sizeof(volume));
    check_alloc(v);
    v->frame = (matrix **)malloc((size_t)nframes * sizeof(matrix *));
    check_alloc(v->frame);
    v->nframes = nframes;
    for (int i = 0; i < nframes; i++) {
        try {
            v->frame[i] = make_mtx(nrows, ncols, zero);
        } catch (...) {
            v->nframes = i;
            free_vol(v);
            throw;
        }
    }
    return v;
}

image *make_img(int nrows, int ncols, bool zero) {
    image *im = (image *)calloc(1, sizeof(image));
    check_alloc(im);
    im->pix = (int **)(zero ? calloc_pix(nrows, ncols, 'D') : alloc_pix(nrows, ncols, 'D'));
    im->nrows = nrows;
    im->ncols = ncols;
    return im;
}

}  // namespace

bool checked_size(std::initializer_list<int64_t> factors, int64_t limit, int64_t *n) {
    int64_t product = 1;
    for (int64_t f : factors)
        if (__builtin_mul_overflow(product, f, &product)) return false;
    if (product > limit) return false;
    *n = product;
    return true;
}

void check_alloc(const void *p) {
    if (p == nullptr) lib_fatal_nomem(0);
}

void **alloc_pix(int nrows, int ncols, int code) {
    return make_pix(nrows, ncols, code, false, "Error: Unknown type in alloc_pix... \n");
}

void **calloc_pix(int nrows, int ncols, int code) {
    return make_pix(nrows, ncols, code, true, "Error: Unknown type in calloc_pix... \n");
}

void free_pix(void **pix) {
    if (pix == nullptr) return;
    free(pix[0]);
    free(pix);
}

void ***calloc_3d_array(int depth, int nrows, int ncols, int code) {
    if ((code & 0xff) != 'F') fail("Error: Unknown type in calloc_3d... \n");
    size_t plane = checked_count(nrows, ncols);
    size_t rows = checked_count(depth, nrows);
    checked_count((int64_t)depth * nrows, ncols);
    double ***slices = (double ***)malloc((size_t)depth * sizeof(double **));
    check_alloc(slices);
    double **rowptr = (double **)malloc(rows * sizeof(double *));
    check_alloc(rowptr);
    double *block = (double *)calloc(plane * (size_t)depth, sizeof(double));
    check_alloc(block);
    for (size_t r = 0; r < rows; r++) rowptr[r] = block + r * (size_t)ncols;
    for (int i = 0; i < depth; i++) slices[i] = rowptr + (size_t)i * nrows;
    return (void ***)slices;
}

matrix *alloc_mtx(int nrows, int ncols) { return make_mtx(nrows, ncols, false); }
matrix *calloc_mtx(int nrows, int ncols) { return make_mtx(nrows, ncols, true); }

void free_mtx(matrix *m) {
    if (m == nullptr) return;
    free_pix((void **)m->pix);
    free(m);
}

pyramid *alloc_pyr(int depth, int nrows, int ncols) { return make_pyr(depth, nrows, ncols, false); }
pyramid *calloc_pyr(int depth, int nrows, int ncols) { return make_pyr(depth, nrows, ncols, true); }

void free_pyr(pyramid *p) {
    if (p == nullptr) return;
    for (int i = 0; i < p->depth; i++) free_mtx(p->level[i]);
    free(p->level);
    free(p);
}

volume *alloc_vol(int nframes, int nrows, int ncols) {
    return make_vol(nframes, nrows, ncols, false);
}
volume *calloc_vol(int nframes, int nrows, int ncols) {
    return make_vol(nframes, nrows, ncols, true);
}

void free_vol(volume *v) {
    if (v == nullptr) return;
    for (int i = 0; i < v->nframes; i++) free_mtx(v->frame[i]);
    free(v->frame);
    free(v);
}

singvs *alloc_singvs(int m, int n) {
    singvs *s = (singvs *)calloc(1, sizeof(singvs));
    check_alloc(s);
    s->U = calloc_mtx(m, n);
    s->W = calloc_mtx(n, 1);
    s->V = calloc_mtx(n, n);
    return s;
}

void free_singvs(singvs *s) {
    if (s == nullptr) return;
    free_mtx(s->U);
    free_mtx(s->W);
    free_mtx(s->V);
    free(s);
}

eigvs *alloc_eigvs(int n) {
    eigvs *e = (eigvs *)calloc(1, sizeof(eigvs));
    check_alloc(e);
    e->L = calloc_mtx(n, 1);
    e->V = calloc_mtx(n, n);
    return e;
}

void free_eigvs(eigvs *e) {
    if (e == nullptr) return;
    free_mtx(e->L);
    free_mtx(e->V);
    free(e);
}

matrix3d *calloc_3d(int depth, int nrows, int ncols) {
    matrix3d *m = (matrix3d *)calloc(1, sizeof(matrix3d));
    check_alloc(m);
    m->pix = (double ***)calloc_3d_array(depth, nrows, ncols, 'F');
    m->depth = depth;
    m->nrows = nrows;
    m->ncols = ncols;
    return m;
}

void free_3d(matrix3d *m) {
    if (m == nullptr) return;
    free(m->pix[0][0]);
    free(m->pix[0]);
    free(m->pix);
    free(m);
}

image *alloc_img(int nrows, int ncols) { return make_img(nrows, ncols, false); }
image *calloc_img(int nrows, int ncols) { return make_img(nrows, ncols, true); }

void free_img(image *im) {
    if (im == nullptr) return;
    free_pix((void **)im->pix);
    free(im);
}

int same_size(matrix *a, matrix *b) { return a->nrows == b->nrows && a->ncols == b->ncols ? 1 : 0; }

matrix *ident(int n) {
    matrix *m = calloc_mtx(n, n);
    for (int i = 0; i < n; i++) m->pix[i][i] = 1.0;
    return m;
}

matrix *ones(int nrows, int ncols) {
    matrix *m = alloc_mtx(nrows, ncols);
    fill_mtx(m, 1.0);
    return m;
}

void fill_mtx(matrix *m, double value) {
    double *p = m->pix[0];
    size_t n = (size_t)m->nrows * m->ncols;
    for (size_t i = 0; i < n; i++) p[i] = value;
}

matrix *array2mtx(const double *data, int nrows, int ncols) {
    matrix *m = alloc_mtx(nrows, ncols);
    memcpy(m->pix[0], data, (size_t)nrows * ncols * sizeof(double));
    return m;
}

matrix *array2D2mtx(double **rows, int nrows, int ncols) {
    matrix *m = alloc_mtx(nrows, ncols);
    for (int r = 0; r < nrows; r++) memcpy(m->pix[r], rows[r], (size_t)ncols * sizeof(double));
    return m;
}

void prt_mtx(matrix *m) {
    for (int i = 0; i < m->nrows; i++) {
        for (int j = 0; j < m->ncols; j++) lib_printf(1, "%lf ", m->pix[i][j]);
        lib_printf(1, "\n");
    }
}
