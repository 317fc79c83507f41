// Gauss-Jordan elimination with full pivoting: a becomes its inverse and b
// the solution of a x = b.
//
// Rows are swapped physically so that every pivot lands on the diagonal;
// the column interchanges this implies are recorded per pass and undone on
// a, in reverse order, at the end. Among pivot candidates of equal
// magnitude the last one in row-major scan order wins.
#include <cmath>
#include <vector>

#include "mtx.h"
#include "mtx_internal.h"

namespace {

void swap_rows(matrix *m, int r1, int r2) {
    double *p = m->pix[r1], *q = m->pix[r2];
    for (int j = 0; j < m->ncols; j++) {
        const double t = p[j];
        p[j] = q[j];
        q[j] = t;
    }
}

}  // namespace

void gaussj(matrix *a, matrix *b) {
    const int n = a->nrows;
    if (a->ncols != n || b->nrows != n) mtx_fail("gaussj: Incompatible dimensions...\n");
    const int k = b->ncols;
    std::vector<int> indxc(n, 0), indxr(n, 0), ipiv(n, 0);
    for (int pass = 0; pass < n; pass++) {
        double big = 0.0;
        int irow = -1, icol = -1;
        for (int j = 0; j < n; j++) {
            if (ipiv[j] == 1) continue;
            for (int c = 0; c < n; c++) {
                if (ipiv[c] == 0) {
                    if (fabs(a->pix[j][c]) >= big) {
                        big = fabs(a->pix[j][c]);
                        irow = j;
                        icol = c;
                    }
                } else if (ipiv[c] > 1) {
                    mtx_fail("gaussj: Singular Matrix-1");
                }
            }
        }
        // No candidate at all (only NaN left): the pass would pivot an
        // already pivoted column again.
        if (icol < 0) mtx_fail("gaussj: Singular Matrix-1");
        ++ipiv[icol];
        if (irow != icol) {
            swap_rows(a, irow, icol);
            swap_rows(b, irow, icol);
        }
        indxr[pass] = irow;
        indxc[pass] = icol;
        double *prow = a->pix[icol], *brow = b->pix[icol];
        if (prow[icol] == 0.0) mtx_fail("gaussj: Singular Matrix-2\n");
        const double pivinv = 1.0 / prow[icol];
        prow[icol] = 1.0;
        for (int c = 0; c < n; c++) prow[c] *= pivinv;
        for (int c = 0; c < k; c++) brow[c] *= pivinv;
        for (int r = 0; r < n; r++) {
            if (r == icol) continue;
            double *ar = a->pix[r], *br = b->pix[r];
            const double dum = ar[icol];
            ar[icol] = 0.0;
            for (int c = 0; c < n; c++) ar[c] -= prow[c] * dum;
            for (int c = 0; c < k; c++) br[c] -= brow[c] * dum;
        }
    }
    for (int pass = n - 1; pass >= 0; pass--) {
        if (indxr[pass] == indxc[pass]) continue;
        for (int r = 0; r < n; r++) {
            double *row = a->pix[r];
            const double t = row[indxr[pass]];
            row[indxr[pass]] = row[indxc[pass]];
            row[indxc[pass]] = t;
        }
    }
}
