// Element functions of the detector's channel maps, in place over the
// contiguous block.
#include <cmath>

#include "files.h"

void sigmoidF(matrix *m) {
    double *p = m->pix[0];
    long n = (long)m->nrows * m->ncols;
    for (long i = 0; i < n; i++) p[i] = 1.0 / (exp(-p[i]) + 1.0);
}

void mtxLog(matrix *m) { inp_mtx_elfun(m, m, 'l'); }
