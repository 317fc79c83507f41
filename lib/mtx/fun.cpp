// Whole-matrix functions selected by a one-character code: upper-case codes
// work down the columns, lower-case ones along the rows.
//
// Codes that move elements between positions ('F', 'f', 'G', 'g', 'T') read
// from a private copy when the output is the input, so b = f(b) is safe for
// every code.
#include <cmath>
#include <cstring>

#include "mtx.h"
#include "mtx_internal.h"
#include "mtxown.h"
#include "fail.h"

namespace {

void need_same(const matrix *a, const matrix *b, const char *msg) {
    if (a->nrows != b->nrows || a->ncols != b->ncols) mtx_fail(msg);
}

bool shares_block(const matrix *a, const matrix *b) { return a == b || a->pix[0] == b->pix[0]; }

matrix *copy_of(matrix *a) {
    matrix *c = alloc_mtx(a->nrows, a->ncols);
    memcpy(c->pix[0], a->pix[0], mtx_count(a) * sizeof(double));
    return c;
}

// Element order and messages of the normalisations: the divisor is summed
// first, then every element is divided, or, for a zero sum, the line is
// printed once per element and the values stay as they are.
void normalize_cols(matrix *a, matrix *b) {
    for (int j = 0; j < a->ncols; j++) {
        double s = 0.0;
        for (int i = 0; i < a->nrows; i++) s += a->pix[i][j];
        for (int i = 0; i < a->nrows; i++) {
            if (s == 0.0) {
                lib_puts(1, "inp_mtx_fun: sum is zero in col-normalization\n");
                b->pix[i][j] = a->pix[i][j];
            } else {
                b->pix[i][j] = a->pix[i][j] / s;
            }
        }
    }
}

void normalize_rows(matrix *a, matrix *b) {
    for (int i = 0; i < a->nrows; i++) {
        const double s = vsum(a->pix[i], a->ncols);
        for (int j = 0; j < a->ncols; j++) {
            if (s == 0.0) {
                lib_puts(1, "inp_mtx_fun: sum is zero in row-normalization\n");
                b->pix[i][j] = a->pix[i][j];
            } else {
                b->pix[i][j] = a->pix[i][j] / s;
            }
        }
    }
}

void moving(matrix *a, matrix *b, int code) {
    const int m = a->nrows, n = a->ncols;
    switch (code) {
        case 'F':
            for (int i = 0; i < m; i++)
                memcpy(b->pix[m - 1 - i], a->pix[i], (size_t)n * sizeof(double));
            break;
        case 'f':
            for (int i = 0; i < m; i++)
                for (int j = 0; j < n; j++) b->pix[i][n - 1 - j] = a->pix[i][j];
            break;
        case 'G':
            for (int j = 0; j < n; j++) b->pix[0][j] = 0.0;
            for (int i = 1; i < m; i++)
                for (int j = 0; j < n; j++) b->pix[i][j] = a->pix[i][j] - a->pix[i - 1][j];
            break;
        case 'g':
            for (int i = 0; i < m; i++) {
                b->pix[i][0] = 0.0;
                for (int j = 1; j < n; j++) b->pix[i][j] = a->pix[i][j] - a->pix[i][j - 1];
            }
            break;
        case 'T':
            for (int i = 0; i < m; i++)
                for (int j = 0; j < n; j++) b->pix[j][i] = a->pix[i][j];
            break;
    }
}

bool known(int code) { return code != 0 && strchr("CcDEsFfGgIVNnRTi", code) != nullptr; }

const char *const kUnknown = "Unknown function in mtx_fun...\n";

}  // namespace

void inp_mtx_fun(matrix *a, matrix *b, int code) {
    code &= 0xff;
    switch (code) {
        case 'C':
            need_same(a, b, "Col-wise cumulative sum: Incompatible dimensions...\n");
            memmove(b->pix[0], a->pix[0], (size_t)a->ncols * sizeof(double));
            for (int i = 1; i < a->nrows; i++)
                for (int j = 0; j < a->ncols; j++) b->pix[i][j] = b->pix[i - 1][j] + a->pix[i][j];
            break;
        case 'c':
            need_same(a, b, "Row-wise cumulative sum: Incompatible dimensions...\n");
            for (int i = 0; i < a->nrows; i++) {
                double s = 0.0;
                for (int j = 0; j < a->ncols; j++) b->pix[i][j] = s += a->pix[i][j];
            }
            break;
        case 'D': {
            const int n = a->nrows < a->ncols ? a->nrows : a->ncols;
            if (!((b->nrows == 1 && b->ncols == n) || (b->nrows == n && b->ncols == 1)))
                mtx_fail("Matrix Diagonal: Incompatible dimensions...\n");
            for (int i = 0; i < n; i++) b->pix[0][i] = a->pix[i][i];
            break;
        }
        case 'E':
            need_same(a, b, "Matrix exponential: Incompatible dimensions...\n");
            mtx_each(a, b, [](double x) { return exp(x); });
            break;
        case 's':
            need_same(a, b, "Matrix square root: Incompatible dimensions...\n");
            mtx_each(a, b, [](double x) { return sqrt(x); });
            break;
        case 'F':
        case 'f':
        case 'G':
        case 'g':
        case 'T': {
            if (code == 'T') {
                if (b->nrows != a->ncols || b->ncols != a->nrows)
                    mtx_fail("Matrix transp: Incompatible dimensions...\n");
            } else if (code == 'F' || code == 'f') {
                need_same(a, b, "Row-wise flip: Incompatible dimensions...\n");
            } else {
                need_same(a, b, "Row-wise diferencing: Incompatible dimensions...\n");
            }
            MatrixPtr copy(shares_block(a, b) ? copy_of(a) : nullptr);
            moving(copy ? copy.get() : a, b, code);
            break;
        }
        case 'I': {
            lib_puts(1, "Warning: inp_mtx_fun - mode I made obsolete by mode V\n");
            need_same(a, b, "Matrix inversion: Incompatible dimensions...\n");
            if (!shares_block(a, b)) memcpy(b->pix[0], a->pix[0], mtx_count(a) * sizeof(double));
            MatrixPtr id(ident(a->nrows));
            gaussj(b, id.get());
            break;
        }
        case 'V': {
            need_same(a, b, "Matrix inversion: Incompatible dimensions...\n");
            // The decomposition copies a before b is written, so b may be a.
            MatrixPtr id(ident(a->ncols));
            free_singvs(inp_lsys(a, b, id.get(), 1e-6, 1e-12, 0));
            break;
        }
        case 'N':
            need_same(a, b, "Col-wise normalization: Incompatible dimensions...\n");
            normalize_cols(a, b);
            break;
        case 'n':
            need_same(a, b, "Row-wise normalization: Incompatible dimensions...\n");
            normalize_rows(a, b);
            break;
        case 'R':
            need_same(a, b, "Matrix replicate: Incompatible dimensions...\n");
            if (!shares_block(a, b)) memcpy(b->pix[0], a->pix[0], mtx_count(a) * sizeof(double));
            break;
        case 'i': {
            need_same(a, b, "Matrix element inversion: Incompatible dimensions...\n");
            const double *pa = a->pix[0];
            double *pb = b->pix[0];
            const size_t n = mtx_count(a);
            for (size_t i = 0; i < n; i++) {
                if (pa[i] == 0.0) mtx_fail("Matrix element inversion: Zero element...\n");
                pb[i] = 1.0 / pa[i];
            }
            break;
        }
        default: mtx_fail(kUnknown);
    }
}

matrix *mtx_fun(matrix *a, int code) {
    code &= 0xff;
    if (!known(code)) mtx_fail(kUnknown);
    MatrixPtr b(code == 'D'   ? alloc_mtx(a->nrows < a->ncols ? a->nrows : a->ncols, 1)
                : code == 'T' ? alloc_mtx(a->ncols, a->nrows)
                              : alloc_mtx(a->nrows, a->ncols));
    inp_mtx_fun(a, b.get(), code);  // b is not lost when a fails a condition of the code
    return b.release();
}
