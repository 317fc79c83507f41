// Operations between every element of a matrix and one scalar.
#include <cmath>

#include "mtx.h"
#include "mtx_internal.h"
#include "mtxown.h"

namespace {

const char *const kUnknown = "Unknown operation in mtx_bmath...\n";

bool known(int code) {
    switch (code & 0xff) {
        case '*':
        case '+':
        case '-':
        case '/':
        case '=':
        case 'T':
        case 't':
        case 'e': return true;
        default: return false;
    }
}

}  // namespace

void inp_mtxsc_bmathd(matrix *a, double s, matrix *r, int code) {
    if (r->nrows != a->nrows || r->ncols != a->ncols)
        mtx_fail("mtxsc_bmathd: Incompatible dimensions...\n");
    switch (code & 0xff) {
        case '*': mtx_each(a, r, [s](double x) { return s * x; }); break;
        case '+': mtx_each(a, r, [s](double x) { return s + x; }); break;
        case '-': mtx_each(a, r, [s](double x) { return x - s; }); break;
        case '/': mtx_each(a, r, [s](double x) { return x / s; }); break;
        case '=': mtx_each(a, r, [s](double x) { return x == s ? 1.0 : 0.0; }); break;
        case 'T': mtx_each(a, r, [s](double x) { return x > s ? 1.0 : 0.0; }); break;
        case 't': mtx_each(a, r, [s](double x) { return x < s ? 1.0 : 0.0; }); break;
        case 'e': mtx_each(a, r, [s](double x) { return pow(x, s); }); break;
        default: mtx_fail(kUnknown);
    }
}

matrix *mtxsc_bmathd(matrix *a, double s, int code) {
    if (!known(code)) mtx_fail(kUnknown);
    MatrixPtr r(alloc_mtx(a->nrows, a->ncols));
    inp_mtxsc_bmathd(a, s, r.get(), code);
    return r.release();
}

matrix *mtxsc_bmath(matrix *a, int s, int code) {
    // The integer form has no power code.
    if ((code & 0xff) == 'e') mtx_fail(kUnknown);
    return mtxsc_bmathd(a, (double)s, code);
}
