// Sorting vectors largest first, and reordering the rows or columns of a
// matrix by such a sort.
//
// isrt is a selection sort that lets the later of equal values win, so it
// is not stable; mtx_sort and mtx_best inherit that tie rule.
#include <cmath>
#include <cstring>

#include "mtx.h"
#include "mtx_internal.h"
#include "mtxown.h"

matrix *isrt(matrix *v) {
    if ((v->nrows < v->ncols ? v->nrows : v->ncols) > 1)
        mtx_fail("isrt: can only sort vectors ...\n");
    const int n = (int)mtx_vec_len(v);
    matrix *pos = calloc_mtx(v->nrows, v->ncols);
    double *p = pos->pix[0], *x = v->pix[0];
    for (int k = 0; k < n; k++) p[k] = k;
    for (int i = 0; i < n; i++) {
        int best = i;
        for (int j = i + 1; j < n; j++)
            if (x[j] >= x[best]) best = j;
        if (best != i) {
            double t = x[i];
            x[i] = x[best];
            x[best] = t;
            t = p[i];
            p[i] = p[best];
            p[best] = t;
        }
    }
    return pos;
}

matrix *mtx_reorder(matrix *a, matrix *idx, int code) {
    if (!mtx_is_vector(idx)) mtx_fail("mtx_reorder: b must be row or column vector \n");
    code &= 0xff;
    if (code != 'C' && code != 'R') mtx_fail("mtx_reorder: Unknown mode...\n");
    const int n = (int)mtx_vec_len(idx);
    const int limit = code == 'C' ? a->nrows : a->ncols;
    const double *p = idx->pix[0];
    for (int k = 0; k < n; k++)
        if (!(p[k] >= 0 && p[k] < limit) || p[k] != floor(p[k]))
            mtx_fail("mtx_reorder: index out of range \n");
    matrix *r;
    if (code == 'C') {
        r = alloc_mtx(n, a->ncols);
        for (int k = 0; k < n; k++)
            memcpy(r->pix[k], a->pix[(int)p[k]], (size_t)a->ncols * sizeof(double));
    } else {
        r = alloc_mtx(a->nrows, n);
        for (int i = 0; i < a->nrows; i++)
            for (int k = 0; k < n; k++) r->pix[i][k] = a->pix[i][(int)p[k]];
    }
    return r;
}

namespace {

// Positions of the sorted key: column `key` for 'C', row `key` for 'R'.
matrix *sorted_positions(matrix *a, int code, int key, int ascending) {
    code &= 0xff;
    MatrixPtr k;
    if (code == 'C') {
        if (key < 0 || key >= a->ncols) mtx_fail("mtx_sort: Invalid key\n");
        k.reset(alloc_mtx(a->nrows, 1));
        for (int i = 0; i < a->nrows; i++) k->pix[i][0] = a->pix[i][key];
    } else if (code == 'R') {
        if (key < 0 || key >= a->nrows) mtx_fail("mtx_sort: Invalid key\n");
        k.reset(alloc_mtx(1, a->ncols));
        memcpy(k->pix[0], a->pix[key], (size_t)a->ncols * sizeof(double));
    } else {
        mtx_fail("mtx_sort: Unknown mode...\n");
    }
    // Smallest first is largest first of the negated key.
    if (ascending) inp_mtxsc_bmathd(k.get(), -1.0, k.get(), '*');
    return isrt(k.get());
}

}  // namespace

matrix *mtx_sort(matrix *a, int code, int key, int ascending) {
    MatrixPtr pos(sorted_positions(a, code, key, ascending));
    return mtx_reorder(a, pos.get(), code);
}

matrix *mtx_best(matrix *a, int code, int key, int n, int ascending) {
    MatrixPtr pos(sorted_positions(a, code, key, ascending));
    if (n < 1 || (size_t)n > mtx_vec_len(pos.get()))
        mtx_fail("mtx_best: Invalid number of elements\n");
    MatrixPtr head(top(pos.get(), n));
    return mtx_reorder(a, head.get(), code);
}
