// Small helpers for the matrix tests.
#ifndef MTX_TEST_UTIL_H
#define MTX_TEST_UTIL_H

#include <cmath>
#include <initializer_list>
#include <random>
#include <vector>

#include "mtx.h"
#include "test_support.h"

inline matrix *mk(int nrows, int ncols, std::initializer_list<double> values) {
    std::vector<double> v(values);
    v.resize((size_t)nrows * ncols, 0.0);
    return array2mtx(v.data(), nrows, ncols);
}

inline std::vector<double> elems(const matrix *m) {
    return std::vector<double>(m->pix[0], m->pix[0] + (size_t)m->nrows * m->ncols);
}

inline double max_diff(const matrix *a, const matrix *b) {
    double d = 0.0;
    for (int i = 0; i < a->nrows * a->ncols; i++)
        d = std::fmax(d, std::fabs(a->pix[0][i] - b->pix[0][i]));
    return d;
}

#endif
