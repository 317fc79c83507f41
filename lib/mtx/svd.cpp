// Singular value decomposition and the least-squares solver built on it.
//
// inp_svdcmp is the Golub-Reinsch algorithm: Householder reduction of a
// copy of A to bidiagonal form, accumulation of the right-hand and
// left-hand transformations (the copy becomes U), then implicitly shifted
// QR sweeps on the bidiagonal form. Negligibility tests compare against the
// norm estimate anorm by exact addition (|x| + anorm == anorm), which is
// scale-free. The singular values are made non-negative but not sorted.
//
// The solver drops singular values below max(abs, rel * largest) and
// back-substitutes through V diag(1/W) U', which makes it a pseudo-inverse
// for singular systems.
#include <cmath>
#include <cstring>

#include "mtx.h"
#include "mtx_internal.h"
#include "mtxown.h"
#include "fail.h"

double pythag(double a, double b) {
    const double absa = fabs(a), absb = fabs(b);
    if (absa > absb) {
        const double q = absb / absa;
        return absa * sqrt(1.0 + q * q);
    }
    if (absb != 0.0) {
        const double q = absa / absb;
        return absb * sqrt(1.0 + q * q);
    }
    return 0.0;
}

namespace {

inline double sign_of(double a, double b) { return b >= 0.0 ? fabs(a) : -fabs(a); }

}  // namespace

void inp_svdcmp(matrix *A, singvs *sv) {
    MatrixPtr ucopy(mtx_fun(A, 'R'));
    const int m = A->nrows, n = A->ncols;
    if (m < n) mtx_fail("svdcm: You must augment A with extra zero rows\n");
    if (sv->U->nrows != m || sv->U->ncols != n || mtx_count(sv->W) != (size_t)n ||
        sv->V->nrows != n || sv->V->ncols != n)
        mtx_fail("svdcmp: Incompatible dimensions...\n");
    MatrixPtr work(calloc_mtx(1, n));
    double **a = ucopy->pix, **v = sv->V->pix;
    double *w = sv->W->pix[0], *rv1 = work->pix[0];
    double g = 0.0, scale = 0.0, anorm = 0.0, s, f, h;
    int l = 0;

    // Householder reduction to bidiagonal form.
    for (int i = 0; i < n; i++) {
        l = i + 1;
        rv1[i] = scale * g;
        g = s = scale = 0.0;
        for (int k = i; k < m; k++) scale += fabs(a[k][i]);
        if (scale != 0.0) {
            for (int k = i; k < m; k++) {
                a[k][i] /= scale;
                s += a[k][i] * a[k][i];
            }
            f = a[i][i];
            g = -sign_of(sqrt(s), f);
            h = f * g - s;
            a[i][i] = f - g;
            for (int j = l; j < n; j++) {
                s = 0.0;
                for (int k = i; k < m; k++) s += a[k][i] * a[k][j];
                f = s / h;
                for (int k = i; k < m; k++) a[k][j] += f * a[k][i];
            }
            for (int k = i; k < m; k++) a[k][i] *= scale;
        }
        w[i] = scale * g;
        g = s = scale = 0.0;
        if (i != n - 1) {
            for (int k = l; k < n; k++) scale += fabs(a[i][k]);
            if (scale != 0.0) {
                for (int k = l; k < n; k++) {
                    a[i][k] /= scale;
                    s += a[i][k] * a[i][k];
                }
                f = a[i][l];
                g = -sign_of(sqrt(s), f);
                h = f * g - s;
                a[i][l] = f - g;
                for (int k = l; k < n; k++) rv1[k] = a[i][k] / h;
                for (int j = l; j < m; j++) {
                    s = 0.0;
                    for (int k = l; k < n; k++) s += a[j][k] * a[i][k];
                    for (int k = l; k < n; k++) a[j][k] += s * rv1[k];
                }
                for (int k = l; k < n; k++) a[i][k] *= scale;
            }
        }
        anorm = fmax(anorm, fabs(w[i]) + fabs(rv1[i]));
    }

    // Right-hand transformations into V.
    for (int i = n - 1; i >= 0; i--) {
        if (i < n - 1) {
            if (g != 0.0) {
                // Double division avoids a possible underflow.
                for (int j = l; j < n; j++) v[j][i] = (a[i][j] / a[i][l]) / g;
                for (int j = l; j < n; j++) {
                    s = 0.0;
                    for (int k = l; k < n; k++) s += a[i][k] * v[k][j];
                    for (int k = l; k < n; k++) v[k][j] += s * v[k][i];
                }
            }
            for (int j = l; j < n; j++) v[i][j] = v[j][i] = 0.0;
        }
        v[i][i] = 1.0;
        g = rv1[i];
        l = i;
    }

    // Left-hand transformations, in place in the copy.
    for (int i = n - 1; i >= 0; i--) {
        l = i + 1;
        g = w[i];
        for (int j = l; j < n; j++) a[i][j] = 0.0;
        if (g != 0.0) {
            g = 1.0 / g;
            for (int j = l; j < n; j++) {
                s = 0.0;
                for (int k = l; k < m; k++) s += a[k][i] * a[k][j];
                f = (s / a[i][i]) * g;
                for (int k = i; k < m; k++) a[k][j] += f * a[k][i];
            }
            for (int j = i; j < m; j++) a[j][i] *= g;
        } else {
            for (int j = i; j < m; j++) a[j][i] = 0.0;
        }
        a[i][i] += 1.0;
    }

    // Diagonalisation of the bidiagonal form.
    for (int k = n - 1; k >= 0; k--) {
        for (int its = 1; its <= 50; its++) {
            bool cancel = true;
            int nm = 0;
            for (l = k; l >= 0; l--) {
                nm = l - 1;
                // rv1[0] is always zero, so the scan stops at l = 0 at the latest.
                if (fabs(rv1[l]) + anorm == anorm) {
                    cancel = false;
                    break;
                }
                if (fabs(w[nm]) + anorm == anorm) break;
            }
            if (cancel) {
                double c = 0.0;
                s = 1.0;
                for (int i = l; i <= k; i++) {
                    f = s * rv1[i];
                    rv1[i] = c * rv1[i];
                    if (fabs(f) + anorm == anorm) break;
                    g = w[i];
                    h = pythag(f, g);
                    w[i] = h;
                    h = 1.0 / h;
                    c = g * h;
                    s = -f * h;
                    for (int j = 0; j < m; j++) {
                        const double y = a[j][nm], z = a[j][i];
                        a[j][nm] = y * c + z * s;
                        a[j][i] = z * c - y * s;
                    }
                }
            }
            double z = w[k];
            if (l == k) {
                if (z < 0.0) {
                    w[k] = -z;
                    for (int j = 0; j < n; j++) v[j][k] = -v[j][k];
                }
                break;
            }
            // The last sweep is still carried out; its W[k] stands.
            if (its == 50) lib_puts(2, "svdcomp: no convergence in 50 iterations \n");
            double x = w[l];
            nm = k - 1;
            double y = w[nm];
            g = rv1[nm];
            h = rv1[k];
            f = ((y - z) * (y + z) + (g - h) * (g + h)) / (2.0 * h * y);
            g = pythag(f, 1.0);
            f = ((x - z) * (x + z) + h * ((y / (f + sign_of(g, f))) - h)) / x;
            double c = 1.0;
            s = 1.0;
            for (int j = l; j <= nm; j++) {
                const int i = j + 1;
                g = rv1[i];
                y = w[i];
                h = s * g;
                g = c * g;
                z = pythag(f, h);
                rv1[j] = z;
                c = f / z;
                s = h / z;
                f = x * c + g * s;
                g = g * c - x * s;
                h = y * s;
                y *= c;
                for (int jj = 0; jj < n; jj++) {
                    const double xv = v[jj][j], zv = v[jj][i];
                    v[jj][j] = xv * c + zv * s;
                    v[jj][i] = zv * c - xv * s;
                }
                z = pythag(f, h);
                w[j] = z;
                if (z != 0.0) {
                    z = 1.0 / z;
                    c = f * z;
                    s = h * z;
                }
                f = c * g + s * y;
                x = c * y - s * g;
                for (int jj = 0; jj < m; jj++) {
                    const double ya = a[jj][j], za = a[jj][i];
                    a[jj][j] = ya * c + za * s;
                    a[jj][i] = za * c - ya * s;
                }
            }
            rv1[l] = 0.0;
            rv1[k] = f;
            w[k] = x;
        }
    }

    memcpy(sv->U->pix[0], ucopy->pix[0], mtx_count(ucopy.get()) * sizeof(double));
}

singvs *svdcmp(matrix *A) {
    SingvsPtr s(alloc_singvs(A->nrows, A->ncols));
    inp_svdcmp(A, s.get());
    return s.release();
}

void svdtresh(singvs *s, double abs_thresh, double rel_thresh, int verbose) {
    const int n = (int)mtx_count(s->W);
    double *w = s->W->pix[0];
    const double wmax = vmax(w, n);
    const double thresh = abs_thresh > rel_thresh * wmax ? abs_thresh : rel_thresh * wmax;
    bool dropped = false;
    for (int i = 0; i < n; i++)
        if (w[i] < thresh) {
            w[i] = 0.0;
            dropped = true;
        }
    if (verbose && dropped) lib_puts(1, "Warning: Singular matrix to defined precision\n");
}

void svbksb(singvs *s, matrix *x, matrix *b) {
    MatrixPtr ut(mtx_fun(s->U, 'T'));
    MatrixPtr utb(mtx_bmath(ut.get(), b, '*'));
    const int n = s->V->nrows;
    const double *w = s->W->pix[0];
    // Column i of V scaled by 1/W[i]; dropped values give a zero column.
    MatrixPtr vw(calloc_mtx(n, s->V->ncols));
    for (int i = 0; i < n; i++)
        for (int j = 0; j < s->V->ncols; j++)
            if (w[j] != 0.0) vw->pix[i][j] = s->V->pix[i][j] / w[j];
    inp_mtx_bmath(vw.get(), utb.get(), x, '*');
}

singvs *inp_lsys(matrix *A, matrix *x, matrix *b, double abs_thresh, double rel_thresh,
                 int verbose) {
    SingvsPtr s(svdcmp(A));
    svdtresh(s.get(), abs_thresh, rel_thresh, verbose);
    svbksb(s.get(), x, b);
    return s.release();
}

matrix *lsys(matrix *A, matrix *b, double abs_thresh, double rel_thresh, int verbose) {
    MatrixPtr x(calloc_mtx(A->ncols, b->ncols));
    free_singvs(inp_lsys(A, x.get(), b, abs_thresh, rel_thresh, verbose));
    return x.release();
}
