// GGD fits by moment matching, KL divergence, entropy and MD scores.
//
// A group of classes is represented by the equal-weight average of the
// classes' raw moments (the raw moments of their equal-prior mixture). The
// shape comes from the kurtosis about the mean through the kurtosis table,
// the scale from the variance and the shape. Degenerate fits (zero or
// undefined variance) end as alpha = 0, which the divergence and entropy
// treat as "no information" (0).
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "classstat.h"
#include "kurttable_long.h"
#include "fail.h"
#include "mtxown.h"

namespace {

// Column matrix of ftnum rows; freed on scope exit.
struct Col {
    MatrixPtr own;
    explicit Col(int n) : own(calloc_mtx(n, 1)) {}
    matrix *m() const { return own.get(); }
    double &operator[](int i) { return own->pix[i][0]; }
};

}  // namespace

void ggd_each_param(matrix *Allmnt, int i, int indicateBar, matrix *betas, matrix *alphas,
                    matrix *variance) {
    const int ftnum = Allmnt->nrows;
    const int K = Allmnt->ncols / 4;
    Col M[4] = {Col(ftnum), Col(ftnum), Col(ftnum), Col(ftnum)};
    if (i < K && indicateBar == 0) {
        lib_progress(2, "\nCalculating parameters for class %d .....", i);
        for (int m = 0; m < 4; m++)
            for (int f = 0; f < ftnum; f++) M[m][f] = Allmnt->pix[f][4 * i + m];
    } else {
        lib_progress(2, "\nCalculating parameters for global .....");
        // A plain division: with no class left (a single-class complement)
        // the moments become 0/0, an undefined fit rather than a zero one.
        const double div = indicateBar == 1 ? K - 1 : K;
        for (int m = 0; m < 4; m++) {
            for (int n = 0; n < K; n++) {
                if (indicateBar == 1 && n == i) continue;
                for (int f = 0; f < ftnum; f++) M[m][f] += Allmnt->pix[f][4 * n + m];
            }
            for (int f = 0; f < ftnum; f++) M[m][f] /= div;
        }
    }
    lib_progress(2, "Done");

    Col mu4(ftnum), kurt(ftnum);
    for (int f = 0; f < ftnum; f++) {
        const double m1 = M[0][f], m2 = M[1][f], m3 = M[2][f], m4 = M[3][f];
        variance->pix[f][0] = m2 - m1 * m1;
        mu4[f] = ((m4 - 4 * m1 * m3) + 6 * (m1 * m1) * m2) - 3 * (m1 * m1 * m1 * m1);
    }
    // The matrix division flags an exactly zero variance and yields 3e50,
    // which the table maps to the most peaked shape.
    inp_mtx_bmath(mu4.m(), variance, kurt.m(), '/');
    inp_mtx_bmath(kurt.m(), variance, kurt.m(), '/');
    ggdfit_beta_moment_mtx(kurt.m(), betas);
    ggdfit_alpha_moment_mtx(variance, betas, alphas);
}

void ggdfit_beta_moment_mtx(matrix *kurt, matrix *beta) {
    const long n = (long)kurt->nrows * kurt->ncols;
    const double *k = kurt->pix[0];
    double *b = beta->pix[0];
    for (long e = 0; e < n; e++) {
        // The smallest tabulated shape whose kurtosis does not exceed k;
        // NaN and values below the table fall through to the last shape.
        double shape = kurttable[kurttblen - 1];
        for (int i = 0; i < kurttblen; i++) {
            if (k[e] >= kurttable[kurttblen + i]) {
                shape = kurttable[i];
                break;
            }
        }
        b[e] = shape;
    }
}

void ggdfit_alpha_moment_mtx(matrix *var, matrix *beta, matrix *alpha) {
    const long n = (long)var->nrows * var->ncols;
    const double *v = var->pix[0], *b = beta->pix[0];
    double *a = alpha->pix[0];
    for (long e = 0; e < n; e++) {
        const double t = gamma_exp(1.0 / b[e]) * v[e] / gamma_exp(3.0 / b[e]);
        a[e] = t > 0 ? std::sqrt(t) : 0.0;
    }
}

double kl_ggd(double alpha1, double beta1, double alpha2, double beta2) {
    if (alpha1 * beta1 * alpha2 * beta2 == 0) return 0;
    const double r =
        (beta1 * alpha2 * gamma_exp(1 / beta2)) / (beta2 * alpha1 * gamma_exp(1 / beta1));
    if (!(r > 0)) return 0;
    return std::log(r) +
           std::pow(alpha1 / alpha2, beta2) * gamma_exp((beta2 + 1) / beta1) /
               gamma_exp(1 / beta1) -
           1 / beta1;
}

double ent_ggd(double alpha, double beta) {
    if (alpha * beta == 0) return 0;
    const double t = beta / (2 * alpha * gamma_exp(1 / beta));
    if (!(t > 0)) return 0;
    return 1 / beta - std::log(t);
}

void classStat_GGD(matrix *Allmnt, int classnum, matrix *classMD, matrix *StandVar,
                   matrix *Allalpha, matrix *Allbeta) {
    const int ftnum = Allmnt->nrows;
    Col gb(ftnum), ga(ftnum);
    ggd_each_param(Allmnt, classnum, 0, gb.m(), ga.m(), StandVar);
    Col cb(ftnum), ca(ftnum), rb(ftnum), ra(ftnum), scratch(ftnum);
    for (int i = 0; i < classnum; i++) {
        ggd_each_param(Allmnt, i, 0, cb.m(), ca.m(), scratch.m());
        ggd_each_param(Allmnt, i, 1, rb.m(), ra.m(), scratch.m());
        for (int f = 0; f < ftnum; f++) {
            Allalpha->pix[f][i] = ca[f];
            Allbeta->pix[f][i] = cb[f];
            classMD->pix[i][f] =
                kl_ggd(ca[f], cb[f], ga[f], gb[f]) + kl_ggd(ra[f], rb[f], ga[f], gb[f]);
        }
        lib_progress(2, "%d class is done", i);
    }
    lib_progress(2, "\nKL for each class is DONE\n");
}

matrix *entropy_GGD(matrix *Allmnt, int i, int indicateBar) {
    const int ftnum = Allmnt->nrows;
    Col b(ftnum), a(ftnum), v(ftnum);
    ggd_each_param(Allmnt, i, indicateBar, b.m(), a.m(), v.m());
    matrix *ent = alloc_mtx(1, ftnum);
    for (int f = 0; f < ftnum; f++) ent->pix[0][f] = ent_ggd(a[f], b[f]);
    return ent;
}

double *imgdenoise_GGD(matrix *Allmnt, int highfreq, matrix *StandVar) {
    const int ftnum = Allmnt->nrows;
    if (highfreq < 0 || highfreq >= StandVar->nrows * StandVar->ncols ||
        StandVar->nrows * StandVar->ncols < ftnum) {
        lib_fatalf(1, "imgdenoise_GGD: noise feature %d outside the %d feature variances\n",
                   highfreq, StandVar->nrows * StandVar->ncols);
    }
    const double *sv = StandVar->pix[0];
    const double s = sv[highfreq];
    double *th = (double *)calloc((size_t)ftnum, sizeof(double));
    check_alloc(th);
    for (int f = 0; f < ftnum; f++) {
        double d = sv[f] - s;
        if (!(d > 0)) d = 0;
        th[f] = s / (std::sqrt(d) + 1e-10);
    }
    return th;
}
