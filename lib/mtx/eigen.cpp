// Eigen-decomposition of symmetric matrices by cyclic Jacobi rotations, and
// what is built on it: sorting, the regularised normal-equation solver,
// determinant, trace and matrix square root.
//
// jacobi works on the upper triangle of a and keeps the diagonal in two
// parts: the eigenvalue estimates L and the sum of the updates of the
// current sweep (z), folded into L at the end of every sweep, which limits
// rounding. Early sweeps rotate only large elements; later sweeps zero
// elements that are negligible against both of their diagonal elements.
#include <cmath>
#include <vector>

#include "mtx.h"
#include "mtx_internal.h"
#include "mtxown.h"

namespace {

void check_eigvs(const matrix *a, const eigvs *e, const char *msg) {
    const int n = a->nrows;
    if (a->ncols != n || mtx_count(e->L) != (size_t)n || e->V->nrows != n || e->V->ncols != n)
        mtx_fail(msg);
}

inline void rotate(double **m, int i, int j, int k, int l, double s, double tau) {
    const double g = m[i][j], h = m[k][l];
    m[i][j] = g - s * (h + g * tau);
    m[k][l] = h + s * (g - h * tau);
}

}  // namespace

int jacobi(matrix *mat, eigvs *e) {
    check_eigvs(mat, e, "Jacobi: Incompatible dimensions...\n");
    const int n = mat->nrows;
    double **a = mat->pix, **v = e->V->pix;
    double *d = e->L->pix[0];
    fill_mtx(e->V, 0.0);
    for (int i = 0; i < n; i++) v[i][i] = 1.0;
    std::vector<double> b(n), z(n, 0.0);
    for (int i = 0; i < n; i++) b[i] = d[i] = a[i][i];
    int nrot = 0;
    for (int sweep = 1; sweep <= 50; sweep++) {
        double sm = 0.0;
        for (int p = 0; p < n - 1; p++)
            for (int q = p + 1; q < n; q++) sm += fabs(a[p][q]);
        if (sm < 1e-10) return nrot;
        const double tresh = sweep < 4 ? 0.2 * sm / ((double)n * n) : 0.0;
        for (int p = 0; p < n - 1; p++) {
            for (int q = p + 1; q < n; q++) {
                const double g = 100.0 * fabs(a[p][q]);
                if (sweep > 4 && fabs(d[p]) + g == fabs(d[p]) && fabs(d[q]) + g == fabs(d[q])) {
                    a[p][q] = 0.0;
                } else if (fabs(a[p][q]) > tresh) {
                    double h = d[q] - d[p], t;
                    if (fabs(h) + g == fabs(h)) {
                        t = a[p][q] / h;
                    } else {
                        const double theta = 0.5 * h / a[p][q];
                        t = 1.0 / (fabs(theta) + sqrt(1.0 + theta * theta));
                        if (theta < 0.0) t = -t;
                    }
                    const double c = 1.0 / sqrt(1.0 + t * t), s = t * c, tau = s / (1.0 + c);
                    h = t * a[p][q];
                    z[p] -= h;
                    z[q] += h;
                    d[p] -= h;
                    d[q] += h;
                    a[p][q] = 0.0;
                    for (int j = 0; j < p; j++) rotate(a, j, p, j, q, s, tau);
                    for (int j = p + 1; j < q; j++) rotate(a, p, j, j, q, s, tau);
                    for (int j = q + 1; j < n; j++) rotate(a, p, j, q, j, s, tau);
                    for (int j = 0; j < n; j++) rotate(v, j, p, j, q, s, tau);
                    ++nrot;
                }
            }
        }
        for (int p = 0; p < n; p++) {
            b[p] += z[p];
            d[p] = b[p];
            z[p] = 0.0;
        }
    }
    mtx_fail("Jacobi: too many iterations...\n");
}

void eig(matrix *a, eigvs *e, int method) {
    if ((method & 0xff) != 'J') mtx_fail("Eig: Unknown computation method ... \n");
    check_eigvs(a, e, "Eig: Incompatible dimensions...\n");
    MatrixPtr work(mtx_fun(a, 'R'));
    jacobi(work.get(), e);
}

void eigsrt(eigvs *e) {
    const int n = (int)mtx_count(e->L);
    double *d = e->L->pix[0];
    double **v = e->V->pix;
    for (int i = 0; i < n; i++) {
        int best = i;
        for (int j = i + 1; j < n; j++)
            if (d[j] >= d[best]) best = j;
        if (best == i) continue;
        const double t = d[i];
        d[i] = d[best];
        d[best] = t;
        for (int r = 0; r < e->V->nrows; r++) {
            const double tv = v[r][i];
            v[r][i] = v[r][best];
            v[r][best] = tv;
        }
    }
}

matrix *normeq(matrix *a, matrix *b, double thresh) {
    const int n = a->nrows;
    EigvsPtr e(alloc_eigvs(n));
    eig(a, e.get(), 'J');
    eigsrt(e.get());
    // V D scaled column by column, then (V D) V' b.
    MatrixPtr vd(calloc_mtx(n, n));
    for (int i = 0; i < n; i++)
        for (int j = 0; j < n; j++)
            if (e->L->pix[j][0] > thresh) vd->pix[i][j] = e->V->pix[i][j] / e->L->pix[j][0];
    MatrixPtr vt(mtx_fun(e->V, 'T'));
    MatrixPtr vtb(mtx_bmath(vt.get(), b, '*'));
    return mtx_bmath(vd.get(), vtb.get(), '*');
}

double Determ(matrix *a) {
    if (mtx_is_vector(a)) return vprod(a->pix[0], (int)mtx_vec_len(a));
    if (a->nrows != a->ncols) mtx_fail("Can only compute the determinant of a square matrix \n");
    EigvsPtr e(alloc_eigvs(a->nrows));
    eig(a, e.get(), 'J');
    return vprod(e->L->pix[0], a->nrows);
}

double Trace(matrix *a) {
    if (mtx_is_vector(a)) return vsum(a->pix[0], (int)mtx_vec_len(a));
    if (a->nrows != a->ncols) mtx_fail("Can only compute the trace of a square matrix \n");
    double t = 0.0;
    for (int i = 0; i < a->nrows; i++) t += a->pix[i][i];
    return t;
}

matrix *mtx_sqrt(matrix *a) {
    if (a->nrows != a->ncols) mtx_fail("mtx_sqrt error: input matrix is not square\n");
    const int n = a->nrows;
    EigvsPtr e(alloc_eigvs(n));
    eig(a, e.get(), 'J');
    MatrixPtr vs(alloc_mtx(n, n));
    for (int i = 0; i < n; i++)
        for (int j = 0; j < n; j++) vs->pix[i][j] = e->V->pix[i][j] * sqrt(e->L->pix[j][0]);
    return mtx_bmath(vs.get(), e->V, 'D');
}
