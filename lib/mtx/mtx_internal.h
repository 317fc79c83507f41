// Helpers shared by the matrix library's sources; not part of its interface.
#ifndef MTX_INTERNAL_H
#define MTX_INTERNAL_H

#include <cstddef>
#include <cstdio>
#include <cstdlib>

#include "mtx.h"
#include "fail.h"

// Misuse of the library is fatal: the message (for standard error) and status
// 1 go to the fatal hook (fail.h).
[[noreturn]] inline void mtx_fail(const char *msg) { lib_fatal(1, msg); }

inline size_t mtx_count(const matrix *m) { return (size_t)m->nrows * (size_t)m->ncols; }

// out[i] = f(in[i]) over the flat block of `in`; `out` may be `in`.
template <typename F>
void mtx_each(const matrix *in, matrix *out, F f) {
    const double *pi = in->pix[0];
    double *po = out->pix[0];
    const size_t n = mtx_count(in);
    for (size_t i = 0; i < n; i++) po[i] = f(pi[i]);
}

inline bool mtx_is_vector(const matrix *m) { return m->nrows == 1 || m->ncols == 1; }

inline size_t mtx_vec_len(const matrix *m) { return m->nrows > m->ncols ? m->nrows : m->ncols; }

#endif
