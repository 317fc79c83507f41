// Two-operand matrix operations selected by a one-character code.
//
// Element-wise codes compare only element counts and run over the flat
// blocks, so shapes may differ. The matrix product accumulates every
// r[i][j] over k in increasing order from 0.0; the i-k-j loop keeps that
// order while walking rows of b and r contiguously.
#include <cstring>
#include <vector>

#include "mtx.h"
#include "mtx_internal.h"
#include "mtxown.h"
#include "fail.h"

namespace {

bool counts_equal(const matrix *a, const matrix *b, const matrix *r) {
    return mtx_count(a) == mtx_count(b) && mtx_count(b) == mtx_count(r);
}

void product(matrix *a, matrix *b, matrix *r) {
    if (a->ncols != b->nrows || r->nrows != a->nrows || r->ncols != b->ncols)
        mtx_fail("Matrix mult: Incompatible dimensions...\n");
    // The product cannot be formed in place: read from copies when r is an input.
    MatrixPtr copy_a((a == r || a->pix[0] == r->pix[0]) ? mtx_fun(a, 'R') : nullptr);
    MatrixPtr copy_b((b == r || b->pix[0] == r->pix[0]) ? mtx_fun(b, 'R') : nullptr);
    const matrix *ca = copy_a ? copy_a.get() : a;
    const matrix *cb = copy_b ? copy_b.get() : b;
    const int n = cb->ncols, inner = cb->nrows;
    for (int i = 0; i < r->nrows; i++) {
        double *ri = r->pix[i];
        const double *ai = ca->pix[i];
        for (int j = 0; j < n; j++) ri[j] = 0.0;
        for (int k = 0; k < inner; k++) {
            const double aik = ai[k];
            const double *bk = cb->pix[k];
            for (int j = 0; j < n; j++) ri[j] += aik * bk[j];
        }
    }
}

template <typename Op>
void flat(matrix *a, matrix *b, matrix *r, const char *msg, Op op) {
    if (!counts_equal(a, b, r)) mtx_fail(msg);
    const double *pa = a->pix[0], *pb = b->pix[0];
    double *pr = r->pix[0];
    const size_t n = mtx_count(r);
    for (size_t i = 0; i < n; i++) pr[i] = op(pa[i], pb[i]);
}

bool known(int code) {
    switch (code & 0xff) {
        case '*':
        case '+':
        case '-':
        case '.':
        case '/':
        case 'D':
        case 'M':
        case 'm':
        case 'c': return true;
        default: return false;
    }
}

const char *const kUnknown = "Unknown operation in mtx_bmath...\n";

}  // namespace

void inp_mtx_bmath(matrix *a, matrix *b, matrix *r, int code) {
    switch (code & 0xff) {
        case '*': product(a, b, r); break;
        case '+':
            flat(a, b, r, "Matrix addition: Incompatible dimensions...",
                 [](double x, double y) { return x + y; });
            break;
        case '-':
            flat(a, b, r, "Matrix subtraction: Incompatible dimensions...",
                 [](double x, double y) { return x - y; });
            break;
        case '.':
            flat(a, b, r, "Matrix product: Incompatible dimensions...",
                 [](double x, double y) { return x * y; });
            break;
        case '/':
            flat(a, b, r, "Matrix element division: Incompatible dimensions...\n",
                 [](double x, double y) {
                     if (y == 0.0) {
                         lib_puts(1, "inp_mtx_bmath: Division by zero \n");
                         return 3e50;
                     }
                     return x / y;
                 });
            break;
        case 'D': {
            if (a->ncols != b->nrows || r->nrows != a->nrows || r->ncols != b->ncols)
                mtx_fail("Matrix division: Incompatible dimensions...\n");
            MatrixPtr inv(mtx_fun(b, 'V'));
            product(a, inv.get(), r);
            break;
        }
        case 'M':
            // Equal or unordered (NaN) pairs take b's element.
            flat(a, b, r, "Matrix maximum: Incompatible dimensions...\n",
                 [](double x, double y) { return x > y ? x : y; });
            break;
        case 'm':
            flat(a, b, r, "Matrix minimum: Incompatible dimensions...\n",
                 [](double x, double y) { return x < y ? x : y; });
            break;
        case 'c': {
            if (a->nrows != b->nrows || r->nrows != a->nrows || r->ncols != a->ncols + b->ncols)
                mtx_fail("Matrix col append: Incompatible dimensions...\n");
            const size_t wa = (size_t)a->ncols * sizeof(double);
            const size_t wb = (size_t)b->ncols * sizeof(double);
            for (int i = 0; i < r->nrows; i++) {
                memcpy(r->pix[i], a->pix[i], wa);
                memcpy(r->pix[i] + a->ncols, b->pix[i], wb);
            }
            break;
        }
        default: mtx_fail(kUnknown);
    }
}

matrix *mtx_bmath(matrix *a, matrix *b, int code) {
    if (!known(code)) mtx_fail(kUnknown);
    const int ncols = (code & 0xff) == 'c' ? a->ncols + b->ncols : b->ncols;
    MatrixPtr r(alloc_mtx(a->nrows, ncols));  // not lost when the product is refused
    inp_mtx_bmath(a, b, r.get(), code);
    return r.release();
}
