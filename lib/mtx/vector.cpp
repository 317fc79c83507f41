// Sums, extremes, norms and counts over vectors of doubles and over the
// element blocks of matrices.
#include <cmath>

#include "mtx.h"
#include "mtx_internal.h"

double vsum(const double *v, int n) {
    double s = 0.0;
    for (int i = 0; i < n; i++) s += v[i];
    return s;
}

double sum(matrix *m) {
    const double *p = m->pix[0];
    const size_t n = mtx_count(m);
    double s = 0.0;
    for (size_t i = 0; i < n; i++) s += p[i];
    return s;
}

double vmax(const double *v, int n) {
    double m = -3e50;
    for (int i = 0; i < n; i++)
        if (v[i] > m) m = v[i];
    return m;
}

double mtx_max(matrix *m) {
    const double *p = m->pix[0];
    const size_t n = mtx_count(m);
    double best = -3e50;
    for (size_t i = 0; i < n; i++)
        if (p[i] > best) best = p[i];
    return best;
}

double vmin(const double *v, int n) {
    double m = 3e50;
    for (int i = 0; i < n; i++)
        if (v[i] < m) m = v[i];
    return m;
}

int vmaxloc(const double *v, int n) {
    double m = -3e50;
    int loc = -1;
    for (int i = 0; i < n; i++)
        if (v[i] >= m) {
            m = v[i];
            loc = i;
        }
    return loc;
}

int vminloc(const double *v, int n) {
    double m = 3e50;
    int loc = -1;
    for (int i = 0; i < n; i++)
        if (v[i] <= m) {
            m = v[i];
            loc = i;
        }
    return loc;
}

double vnorm(const double *v, int n) { return sqrt(vdotp(v, v, n)); }

double vdotp(const double *a, const double *b, int n) {
    double s = 0.0;
    for (int i = 0; i < n; i++) s += a[i] * b[i];
    return s;
}

double vprod(const double *v, int n) {
    double p = 1.0;
    for (int i = 0; i < n; i++) p *= v[i];
    return p;
}

double vdistance(const double *a, const double *b, int n, int type) {
    double s = 0.0;
    switch (type) {
        case 1:
            for (int i = 0; i < n; i++) s += fabs(a[i] - b[i]);
            return s;
        case 2:
            for (int i = 0; i < n; i++) s += (a[i] - b[i]) * (a[i] - b[i]);
            return sqrt(s);
        default: mtx_fail("Unknown norm in vdistance\n");
    }
}

int isdiagonal(matrix *a) {
    if (a->nrows != a->ncols) return 0;
    for (int i = 0; i < a->nrows; i++)
        for (int j = 0; j < a->ncols; j++)
            if (i != j && a->pix[i][j] != 0.0) return 0;
    return 1;
}

double perc(matrix *a, double value, int mode) {
    const double *p = a->pix[0];
    const size_t n = mtx_count(a);
    size_t hits = 0;
    switch (mode & 0xff) {
        case '=':
            for (size_t i = 0; i < n; i++) hits += p[i] == value;
            break;
        case 'a':
            for (size_t i = 0; i < n; i++) hits += p[i] > value;
            break;
        case 'b':
            for (size_t i = 0; i < n; i++) hits += p[i] < value;
            break;
        default: mtx_fail("Unknown mode in perc\n");
    }
    return (double)hits / (double)n;
}
