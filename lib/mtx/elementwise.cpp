// Element-by-element products and quotients of two matrices, and element
// functions. The output may be one of the inputs.
#include <cmath>

#include "mtx.h"
#include "mtx_internal.h"
#include "mtxown.h"

namespace {

bool known_bin(int code) { return (code & 0xff) == '*' || (code & 0xff) == '/'; }

const char *const kUnknownBin = "Unknown operation in mtx_elbmath...\n";

}  // namespace

void inp_mtx_elbmath(matrix *a, matrix *b, matrix *r, int code) {
    if (!same_size(a, b) || !same_size(b, r)) mtx_fail("Inconsistent sizes in inp_mtx_elbmath \n");
    if (!known_bin(code)) mtx_fail(kUnknownBin);
    const double *pa = a->pix[0], *pb = b->pix[0];
    double *pr = r->pix[0];
    const size_t n = mtx_count(a);
    if ((code & 0xff) == '*')
        for (size_t i = 0; i < n; i++) pr[i] = pa[i] * pb[i];
    else
        for (size_t i = 0; i < n; i++) pr[i] = pa[i] / pb[i];
}

matrix *mtx_elbmath(matrix *a, matrix *b, int code) {
    if (!same_size(a, b)) mtx_fail("Inconsistent sizes in mtx_elbmath \n");
    if (!known_bin(code)) mtx_fail(kUnknownBin);
    MatrixPtr r(alloc_mtx(a->nrows, a->ncols));
    inp_mtx_elbmath(a, b, r.get(), code);
    return r.release();
}

void inp_mtx_elfun(matrix *a, matrix *b, int code) {
    // b only has to hold a's elements, whatever its shape; a smaller b
    // would be written past its end, so it is refused.
    if (mtx_count(b) < mtx_count(a)) mtx_fail("inp_mtx_elfun: Incompatible dimensions...\n");
    switch (code & 0xff) {
        case 'S': mtx_each(a, b, [](double x) { return x > 0 ? 1.0 : x < 0 ? -1.0 : 0.0; }); break;
        case 'a': mtx_each(a, b, [](double x) { return fabs(x); }); break;
        case 'c': mtx_each(a, b, [](double x) { return cosh(x); }); break;
        case 's': mtx_each(a, b, [](double x) { return 1.0 / cosh(x); }); break;
        case 't': mtx_each(a, b, [](double x) { return tanh(x); }); break;
        case 'l': mtx_each(a, b, [](double x) { return log(x); }); break;
        default: mtx_fail("Unknown function in inp_mtx_elfun...\n");
    }
}

matrix *mtx_elfun(matrix *a, int code) {
    MatrixPtr b(calloc_mtx(a->nrows, a->ncols));  // not lost when the code is refused
    inp_mtx_elfun(a, b.get(), code);
    return b.release();
}
