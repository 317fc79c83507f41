// Placeholder bridge until the transfer code lands.
#include <cstdio>
#include <cstdlib>

#include "dat.h"

int write_mtx(matrix *, int, const char *) {
    fputs("write_mtx: not available yet\n", stderr);
    exit(1);
}
void mtx2dat(matrix *mtx, const char *filename) { write_mtx(mtx, 'F', filename); }
matrix *load_mtx(const char *) {
    fputs("load_mtx: not available yet\n", stderr);
    exit(1);
}
matrix *dat2mtx(const char *filename) { return load_mtx(filename); }
