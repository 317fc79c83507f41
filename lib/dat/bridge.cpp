// Matrices as datfiles: one data set, one channel, dimensions rows then
// columns, elements row after row. These are the only datfile calls the
// programs make, so a failure here ends the process with a message.
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <sys/stat.h>

#include "dat.h"

int write_mtx(matrix *mtx, int type, const char *filename) {
    DATFILE *h = d_open(filename, "w");
    if (!h) {
        fprintf(stderr, "Cannot open file %s\n", filename);
        exit(1);
    }
    d_settype(h, type);
    int32_t dims[2] = {mtx->nrows, mtx->ncols};
    d_setdim(h, 1, 1, dims, 2);
    int64_t count = (int64_t)mtx->nrows * mtx->ncols;
    if (count > INT_MAX) _daterrh("write_mtx: matrix too large for %s\n", filename);
    _dwrite(h, mtx->pix[0], (int)count, 'F');
    return d_close(h);
}

// The header is written at close: a failed close is a lost datfile.
void mtx2dat(matrix *mtx, const char *filename) {
    if (write_mtx(mtx, 'F', filename) != 0) {
        fflush(stdout);
        fprintf(stderr, "Cannot write datfile %s\n", filename);
        exit(1);
    }
}

matrix *load_mtx(const char *filename) {
    DATFILE *h = d_open(filename, "r");
    if (!h) {
        printf("load_mtx: Cannot open file %s\n", filename);
        fflush(stdout);
        fputs("Aborting...\n", stderr);
        exit(1);
    }
    d_addr size;
    if (d_getsubdim(h, &size) != 2) {
        fputs("load_mtx: can only handle 2D matrices...\n", stderr);
        fprintf(stderr, "load_mtx: %s is not a two-dimensional datfile\n", h->db_name);
        exit(1);
    }
    // A damaged header can claim far more elements than "data" holds: say
    // so, naming the file, before trying to allocate room for them.
    int64_t rows = size.dim[0], cols = size.dim[1];
    if (rows <= 0 || cols <= 0) {
        fprintf(stderr, "load_mtx: %s has no elements (%lld by %lld)\n", h->db_name,
                (long long)rows, (long long)cols);
        exit(1);
    }
    int esize = 1;
    if (d_gettype(h, &esize) == 0) {
        fprintf(stderr, "load_mtx: %s has no known data type\n", h->db_name);
        exit(1);
    }
    struct stat st;
    if (fstat(fileno(h->db_fp), &st) == 0 && S_ISREG(st.st_mode) &&
        rows * cols > (int64_t)st.st_size / esize)
        _daterrh("_dread: early EOF on %s\n", h->db_name);
    // Zero-filled: a "variant" file converts to nothing, which must not
    // leave whatever the heap held in the matrix.
    matrix *m = calloc_mtx(size.dim[0], size.dim[1]);
    int64_t count = (int64_t)m->nrows * m->ncols;
    if (count > INT_MAX) _daterrh("load_mtx: matrix too large in %s\n", filename);
    _dread(h, m->pix[0], (int)count, 'F');
    d_close(h);
    return m;
}

matrix *dat2mtx(const char *filename) { return load_mtx(filename); }
