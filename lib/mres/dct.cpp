// Block DCT: the DCT matrix, block transforms, zig-zag read-out and the
// basis-function bank.
//
// The block transform F = D' X D and the basis functions B_k(m,n) =
// D(m,u) D(n,v) are two forms of one feature: the trainer uses the first,
// the detector correlates images with the second. Both use the same
// constants (pi as 3.1415927, 1/sqrt(2) as 0.707106781186547) and every sum
// runs in increasing index from 0.0, because stored results are compared
// across runs.
//
// Hot paths (ovlapDct, dct, idct) work on flat sz*sz buffers allocated once
// per call; the public in-place transforms share the same kernels, so a
// block gives bit-identical coefficients whichever entry point computes it.
#include "mres.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>
#include "fail.h"
#include "mtxown.h"
#include "mtxsize.h"

const int zzr[64] = {0, 0, 1, 2, 1, 0, 0, 1, 2, 3, 4, 3, 2, 1, 0, 0, 1, 2, 3, 4, 5, 6,
                     5, 4, 3, 2, 1, 0, 0, 1, 2, 3, 4, 5, 6, 7, 7, 6, 5, 4, 3, 2, 1, 2,
                     3, 4, 5, 6, 7, 7, 6, 5, 4, 3, 4, 5, 6, 7, 7, 6, 5, 6, 7, 7};
const int zzc[64] = {0, 1, 0, 0, 1, 2, 3, 2, 1, 0, 0, 1, 2, 3, 4, 5, 4, 3, 2, 1, 0, 0,
                     1, 2, 3, 4, 5, 6, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6, 7, 7,
                     6, 5, 4, 3, 2, 3, 4, 5, 6, 7, 7, 6, 5, 4, 5, 6, 7, 7, 6, 7};
const int zz4r[16] = {0, 0, 1, 2, 1, 0, 0, 1, 2, 3, 3, 2, 1, 2, 3, 3};
const int zz4c[16] = {0, 1, 0, 0, 1, 2, 3, 2, 1, 0, 1, 2, 3, 3, 2, 3};
const int zz2r[4] = {0, 0, 1, 1};
const int zz2c[4] = {0, 1, 0, 1};

namespace {

const double PI_C = 3.1415927;
const double RSQRT2 = 0.707106781186547;
const char *const kMultMismatch = "Matrix mult: Incompatible dimensions...\n";

[[noreturn]] void fail(const char *msg) { lib_fatal(1, msg); }

// Zig-zag tables for a block size; false for sizes without a table.
bool zz_tables(int sz, const int **r, const int **c) {
    switch (sz) {
        case 8:
            *r = zzr;
            *c = zzc;
            return true;
        case 4:
            *r = zz4r;
            *c = zz4c;
            return true;
        case 2:
            *r = zz2r;
            *c = zz2c;
            return true;
        default: return false;
    }
}

// The DCT matrix must be sz x sz; the block kernels read it flat.
void check_dct_matrix(const matrix *D, int sz, const char *msg) {
    if (D == nullptr || sz <= 0 || D->nrows != sz || D->ncols != sz) fail(msg);
}

// x <- D' x D for an n x n row-major block; p is n*n scratch.
// First P = X D, then X(j,i) = sum_k P(k,i) D(k,j). Each element sums in
// increasing k from 0.0; the loops run k outside a row of independent
// accumulators, which vectorises without reordering any sum.
void bkdct_flat(double *x, const double *d, double *p, int n) {
    for (int i = 0; i < n; i++) {
        double *pr = p + i * n;
        for (int j = 0; j < n; j++) pr[j] = 0.0;
        for (int k = 0; k < n; k++) {
            const double xik = x[i * n + k];
            const double *dr = d + k * n;
            for (int j = 0; j < n; j++) pr[j] += xik * dr[j];
        }
    }
    for (int j = 0; j < n; j++) {
        double *xr = x + j * n;
        for (int i = 0; i < n; i++) xr[i] = 0.0;
        for (int k = 0; k < n; k++) {
            const double dkj = d[k * n + j];
            const double *pr = p + k * n;
            for (int i = 0; i < n; i++) xr[i] += pr[i] * dkj;
        }
    }
}

// The same transform for 8x8 blocks, the trainer's hot path: the
// accumulators of one output row stay in registers.
void bkdct8(double *__restrict x, const double *__restrict d, double *__restrict p) {
    for (int i = 0; i < 8; i++) {
        double acc[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
        for (int k = 0; k < 8; k++) {
            const double xik = x[i * 8 + k];
#pragma GCC unroll 8
            for (int j = 0; j < 8; j++) acc[j] += xik * d[k * 8 + j];
        }
        for (int j = 0; j < 8; j++) p[i * 8 + j] = acc[j];
    }
    for (int j = 0; j < 8; j++) {
        double acc[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
        for (int k = 0; k < 8; k++) {
            const double dkj = d[k * 8 + j];
#pragma GCC unroll 8
            for (int i = 0; i < 8; i++) acc[i] += p[k * 8 + i] * dkj;
        }
        for (int i = 0; i < 8; i++) x[j * 8 + i] = acc[i];
    }
}

void bkdct_any(double *x, const double *d, double *p, int n) {
    if (n == 8)
        bkdct8(x, d, p);
    else
        bkdct_flat(x, d, p, n);
}

// x <- D x D': first P = D X, then X(i,j) = sum_k P(i,k) D(j,k).
void bkidct_flat(double *x, const double *d, double *p, int n) {
    for (int i = 0; i < n; i++)
        for (int j = 0; j < n; j++) {
            double s = 0.0;
            for (int k = 0; k < n; k++) s += d[i * n + k] * x[k * n + j];
            p[i * n + j] = s;
        }
    for (int i = 0; i < n; i++)
        for (int j = 0; j < n; j++) {
            double s = 0.0;
            for (int k = 0; k < n; k++) s += p[i * n + k] * d[j * n + k];
            x[i * n + j] = s;
        }
}

void copy_block_in(double *w, const matrix *img, int y0, int x0, int sz) {
    for (int m = 0; m < sz; m++)
        memcpy(w + (size_t)m * sz, img->pix[y0 + m] + x0, (size_t)sz * sizeof(double));
}

void copy_block_out(matrix *img, const double *w, int y0, int x0, int sz) {
    for (int m = 0; m < sz; m++)
        memcpy(img->pix[y0 + m] + x0, w + (size_t)m * sz, (size_t)sz * sizeof(double));
}

matrix *alloc_rows(int64_t nrows, int sz, const char *msg) {
    int64_t cols = (int64_t)sz * sz;
    int64_t n;
    if (!checked_size({nrows, cols}, INT32_MAX, &n)) fail(msg);
    return calloc_mtx((int)nrows, (int)cols);
}

// One basis function element; (m, n) may be fractional (rotated samples).
double basis_elem(int sz, int u, int v, double m, double n) {
    double scale = 2.0 / sz;
    if (u == 0) scale = scale * RSQRT2;
    double a = cos(((2 * m + 1) * u) * PI_C / (2 * sz));
    double b = cos(((2 * n + 1) * v) * PI_C / (2 * sz));
    if (v == 0) return ((scale * RSQRT2) * a) * b;
    return (scale * a) * b;
}

void check_basis_size(int sz, const char *msg) {
    if (sz <= 0 || sz % 2 != 0 || sz > 256) fail(msg);
}

// Frequency pair of basis column k.
void basis_pair(int sz, int k, int *u, int *v) {
    const int *tr, *tc;
    if (zz_tables(sz, &tr, &tc)) {
        *u = tr[k];
        *v = tc[k];
    } else {
        *u = k / sz;
        *v = k % sz;
    }
}

}  // namespace

matrix *initdct(int sz) {
    if (sz % 2 != 0) fail("initdct: sz must be even\n");
    matrix *d = alloc_mtx(sz, sz);
    double a = sqrt(2.0 / sz);
    for (int i = 0; i < sz; i++)
        for (int j = 0; j < sz; j++) {
            double c = cos(j * (2 * i + 1) * PI_C / (2 * sz));
            d->pix[i][j] = j > 0 ? c * a : c * (a * RSQRT2);
        }
    return d;
}

void inp_bkdct(matrix *blk, matrix *D) {
    int n = blk->nrows;
    // The first step is the matrix product X D, refused as the product
    // refuses it when D's rows do not match the block's columns.
    if (D != nullptr && D->nrows != blk->ncols) fail(kMultMismatch);
    if (blk->ncols != n) fail("inp_bkdct: block must be square\n");
    check_dct_matrix(D, n, "inp_bkdct: block and DCT matrix differ in size\n");
    std::vector<double> p((size_t)n * n);
    bkdct_any(blk->pix[0], D->pix[0], p.data(), n);
}

void inp_bkidct(matrix *blk, matrix *D) {
    int n = blk->nrows;
    if (blk->ncols != n) fail("inp_bkidct: block must be square\n");
    check_dct_matrix(D, n, "inp_bkidct: block and DCT matrix differ in size\n");
    std::vector<double> p((size_t)n * n);
    bkidct_flat(blk->pix[0], D->pix[0], p.data(), n);
}

void zzscan(matrix *blk, double *dest) {
    const int *tr, *tc;
    int n = blk->nrows;
    if (blk->ncols != n || !zz_tables(n, &tr, &tc)) fail("zzscan: Unsuported block size \n");
    for (int k = 0; k < n * n; k++) dest[k] = blk->pix[tr[k]][tc[k]];
}

void unzzscan(matrix *blk, const double *src) {
    const int *tr, *tc;
    int n = blk->nrows;
    if (blk->ncols != n || !zz_tables(n, &tr, &tc)) fail("unzzscan: Unsuported block size \n");
    for (int k = 0; k < n * n; k++) blk->pix[tr[k]][tc[k]] = src[k];
}

int decpts(int n, int sz, int step) {
    if (step <= 0) fail("decpts: step must be positive\n");
    int e = n - sz + 1;
    if (e <= 0) return 0;
    return e / step + (e % step > 0 ? 1 : 0);
}

matrix *ovlapDct(matrix *img, int sz, matrix *D, int hstep, int vstep) {
    const int *tr, *tc;
    // Every block goes through inp_bkdct, so a D of the wrong height fails
    // as its product does, before the read-out's size check.
    if (D != nullptr && D->nrows != sz) fail(kMultMismatch);
    if (!zz_tables(sz, &tr, &tc)) fail("zzscan: Unsuported block size \n");
    check_dct_matrix(D, sz, "ovlapDct: DCT matrix must be sz by sz\n");
    if (hstep <= 0 || vstep <= 0) fail("ovlapDct: steps must be positive\n");
    const int H = img->nrows, W = img->ncols;
    const int nr = decpts(H, sz, vstep), nc = decpts(W, sz, hstep);
    if (nr == 0 || nc == 0) {
        lib_fatalf(1, "ovlapDct: image (%d, %d) is smaller than one block (%d)\n", H, W, sz);
    }
    matrix *res = alloc_rows((int64_t)nr * nc, sz, "ovlapDct: result too large\n");

    const int nn = sz * sz;
    double w[64], p[64];
    const double *d = D->pix[0];
    double *row = res->pix[0];
    for (int y0 = 0; y0 <= H - sz; y0 += vstep)
        for (int x0 = 0; x0 <= W - sz; x0 += hstep) {
            copy_block_in(w, img, y0, x0, sz);
            bkdct_any(w, d, p, sz);
            for (int k = 0; k < nn; k++) row[k] = w[tr[k] * sz + tc[k]];
            row += nn;
        }
    return res;
}

matrix *dct(matrix *img, int sz, matrix *D) {
    const int *tr, *tc;
    if (!zz_tables(sz, &tr, &tc)) fail("zzscan: Unsuported block size \n");
    check_dct_matrix(D, sz, "dct: DCT matrix must be sz by sz\n");
    const int H = img->nrows, W = img->ncols;
    const int nbr = H / sz, nbc = W / sz;
    const int r0 = (H % sz) / 2, c0 = (W % sz) / 2;
    if (r0 != 0 || c0 != 0) {
        lib_printf(1, "Warning: Image size (%d, %d) not multiple of block size (%d) \n", H, W, sz);
        lib_printf(1, "         Image will be cropped \n");
    }
    if (nbr == 0 || nbc == 0) {
        lib_fatalf(1, "dct: image (%d, %d) is smaller than one block (%d)\n", H, W, sz);
    }
    matrix *res = alloc_rows((int64_t)nbr * nbc, sz, "dct: result too large\n");

    const int nn = sz * sz;
    double w[64], p[64];
    const double *d = D->pix[0];
    double *row = res->pix[0];
    for (int by = 0; by < nbr; by++)
        for (int bx = 0; bx < nbc; bx++) {
            copy_block_in(w, img, r0 + by * sz, c0 + bx * sz, sz);
            bkdct_any(w, d, p, sz);
            for (int k = 0; k < nn; k++) row[k] = w[tr[k] * sz + tc[k]];
            row += nn;
        }
    return res;
}

matrix *idct(matrix *coefs, int sz, matrix *D, int nrows, int ncols) {
    const int *tr, *tc;
    if (!zz_tables(sz, &tr, &tc)) fail("unzzscan: Unsuported block size \n");
    check_dct_matrix(D, sz, "idct: DCT matrix must be sz by sz\n");
    if (nrows < sz || ncols < sz) fail("idct: image smaller than one block\n");
    const int nbr = nrows / sz, nbc = ncols / sz;
    if ((int64_t)coefs->nrows != (int64_t)nbr * nbc || coefs->ncols != sz * sz)
        fail("idct: coefficient matrix does not match the image size\n");
    const int r0 = (nrows % sz) / 2, c0 = (ncols % sz) / 2;
    matrix *img = calloc_mtx(nrows, ncols);

    const int nn = sz * sz;
    double w[64], p[64];
    const double *d = D->pix[0];
    for (int by = 0; by < nbr; by++)
        for (int bx = 0; bx < nbc; bx++) {
            const double *row = coefs->pix[by * nbc + bx];
            for (int k = 0; k < nn; k++) w[tr[k] * sz + tc[k]] = row[k];
            bkidct_flat(w, d, p, sz);
            copy_block_out(img, w, r0 + by * sz, c0 + bx * sz, sz);
        }
    return img;
}

matrix *sparseDct(matrix *img, matrix *pos, int sz, matrix *D) {
    const int *tr = nullptr, *tc = nullptr;
    if (D != nullptr) {
        if (!zz_tables(sz, &tr, &tc)) fail("zzscan: Unsuported block size \n");
        check_dct_matrix(D, sz, "sparseDct: DCT matrix must be sz by sz\n");
    } else if (sz <= 0) {
        fail("sparseDct: block size must be positive\n");
    }
    if (pos->ncols != 2) fail("sparseDct: positions must have two columns\n");
    const int H = img->nrows, W = img->ncols;
    // Not lost when a later block is refused.
    MatrixPtr res(alloc_rows(pos->nrows, sz, "sparseDct: result too large\n"));

    const int nn = sz * sz;
    std::vector<double> w((size_t)nn), p((size_t)nn);
    for (int r = 0; r < pos->nrows; r++) {
        double py = pos->pix[r][0], px = pos->pix[r][1];
        if (!(py >= 0 && px >= 0 && py <= H - sz && px <= W - sz)) {
            lib_fatalf(1, "sparseDct: block at (%g, %g) lies outside the image\n", py, px);
        }
        const int y0 = (int)py, x0 = (int)px;
        double *row = res->pix[r];
        if (D == nullptr) {
            copy_block_in(row, img, y0, x0, sz);
            continue;
        }
        copy_block_in(w.data(), img, y0, x0, sz);
        bkdct_any(w.data(), D->pix[0], p.data(), sz);
        for (int k = 0; k < nn; k++) row[k] = w[(size_t)(tr[k] * sz + tc[k])];
    }
    return res.release();
}

matrix *mkDCTBasis(int sz) {
    check_basis_size(sz, "mkDCTBasis: sz must be even and <= 256\n");
    const int nn = sz * sz;
    matrix *res = alloc_mtx(nn, nn);
    // The cosines depend on (sample, frequency) only; tabulate them once.
    std::vector<double> cs((size_t)nn);
    for (int f = 0; f < sz; f++)
        for (int m = 0; m < sz; m++)
            cs[(size_t)f * sz + m] = cos(((2 * m + 1) * f) * PI_C / (2 * sz));
    for (int k = 0; k < nn; k++) {
        int u, v;
        basis_pair(sz, k, &u, &v);
        double scale = 2.0 / sz;
        if (u == 0) scale = scale * RSQRT2;
        const double *ca = &cs[(size_t)u * sz];
        const double *cb = &cs[(size_t)v * sz];
        for (int m = 0; m < sz; m++)
            for (int n = 0; n < sz; n++) {
                double e = v == 0 ? ((scale * RSQRT2) * ca[m]) * cb[n] : (scale * ca[m]) * cb[n];
                res->pix[m * sz + n][k] = e;
            }
    }
    return res;
}

matrix *mkRDCTBasis(int sz, double angle) {
    check_basis_size(sz, "mkRDCTBasis: sz must be even and <= 256\n");
    const int nn = sz * sz;
    matrix *res = alloc_mtx(nn, nn);
    const double c = (sz - 1) / 2.0, ct = cos(angle), st = sin(angle);
    for (int k = 0; k < nn; k++) {
        int u, v;
        basis_pair(sz, k, &u, &v);
        for (int m = 0; m < sz; m++)
            for (int n = 0; n < sz; n++) {
                // Rows grow downwards, so a visually counter-clockwise turn
                // maps (dy, dx) to (dy cos - dx sin, dx cos + dy sin).
                double dy = m - c, dx = n - c;
                double mr = c + (dy * ct - dx * st);
                double nr = c + (dx * ct + dy * st);
                res->pix[m * sz + n][k] = basis_elem(sz, u, v, mr, nr);
            }
    }
    return res;
}
