// Matrices as datfiles: one data set, one channel, dimensions rows then
// columns, elements row after row. These are the only datfile calls the
// programs make, so a failure here ends the process with a message.
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include <sys/stat.h>

#include "dat.h"
#include "fail.h"
#include "mtxown.h"

namespace {

// The one body of write_mtx and mtx2dat_try: false when the datfile cannot
// be opened, else true with d_close's status in *status. A failure on the
// way leaves the handle in *open (null once closing has begun), for a
// caller that survives the failure to close.
bool write_datfile(matrix *mtx, int type, const char *filename, const char *who, DATFILE **open,
                   int *status) {
    DATFILE *h = d_open(filename, "w");
    if (!h) return false;
    *open = h;
    d_settype(h, type);
    int32_t dims[2] = {mtx->nrows, mtx->ncols};
    d_setdim(h, 1, 1, dims, 2);
    int64_t count = (int64_t)mtx->nrows * mtx->ncols;
    if (count > INT_MAX) _daterrh("%s: matrix too large for %s\n", who, filename);
    _dwrite(h, mtx->pix[0], (int)count, 'F');
    *open = nullptr;
    *status = d_close(h);
    return true;
}

// The table of open datfiles is shared by the whole process.
std::mutex dat_table;

struct Recoverable {
    Recoverable() { d_recoverable++; }
    ~Recoverable() { d_recoverable--; }
};

}  // namespace

int write_mtx(matrix *mtx, int type, const char *filename) {
    DATFILE *h = nullptr;
    int status = 0;
    if (!write_datfile(mtx, type, filename, "write_mtx", &h, &status))
        lib_fatalf(1, "Cannot open file %s\n", filename);
    return status;
}

// A program that must survive a failed write: the library's fatal handler
// is turned into an exception for the calling thread only, and the
// half-written datfile is closed and left to the caller (who writes to a
// temporary name and removes it).
int mtx2dat_try(matrix *mtx, const char *filename) {
    std::lock_guard<std::mutex> hold(dat_table);
    Recoverable scope;
    DATFILE *h = nullptr;
    try {
        int status = 0;
        return write_datfile(mtx, 'F', filename, "mtx2dat", &h, &status) && status == 0;
    } catch (const d_error &) {
        if (h) {
            try {
                d_close(h);
            } catch (const d_error &) {
            }
        }
        return 0;
    }
}

// The header is written at close: a failed close is a lost datfile.
void mtx2dat(matrix *mtx, const char *filename) {
    if (write_mtx(mtx, 'F', filename) != 0) {
        lib_fatalf(1, "Cannot write datfile %s\n", filename);
    }
}

namespace {

// Closes a read handle however the reading ends (a failure reported in
// process unwinds through here).
struct ReadHandle {
    DATFILE *h;
    ~ReadHandle() {
        if (h) d_close(h);
    }
};

}  // namespace

namespace {

// load_mtx; with `check`, a header that is not want_rows x want_cols is
// refused: null, its sizes in *found_rows and *found_cols.
matrix *load_checked(const char *filename, bool check, int want_rows, int want_cols,
                     int *found_rows, int *found_cols) {
    DATFILE *h = d_open(filename, "r");
    if (!h) {
        lib_fatal(1, "Aborting...\n", std::string("load_mtx: Cannot open file ") + filename + "\n");
    }
    ReadHandle owner{h};
    d_addr size;
    if (d_getsubdim(h, &size) != 2) {
        lib_fatal(1, std::string("load_mtx: can only handle 2D matrices...\n") +
                         "load_mtx: " + h->db_name + " is not a two-dimensional datfile\n");
    }
    // A damaged header can claim far more elements than "data" holds: say
    // so, naming the file, before trying to allocate room for them.
    int64_t rows = size.dim[0], cols = size.dim[1];
    if (rows <= 0 || cols <= 0) {
        lib_fatalf(1, "load_mtx: %s has no elements (%lld by %lld)\n", h->db_name, (long long)rows,
                   (long long)cols);
    }
    int esize = 1;
    if (d_gettype(h, &esize) == 0) {
        lib_fatalf(1, "load_mtx: %s has no known data type\n", h->db_name);
    }
    struct stat st;
    if (fstat(fileno(h->db_fp), &st) == 0 && S_ISREG(st.st_mode) &&
        rows * cols > (int64_t)st.st_size / esize)
        _daterrh("_dread: early EOF on %s\n", h->db_name);
    // A sparse data file can hold whatever a header claims; only the
    // reader's own expectation keeps it from costing that much memory.
    if (check && (rows != want_rows || cols != want_cols)) {
        *found_rows = (int)rows;
        *found_cols = (int)cols;
        return nullptr;
    }
    const int64_t count = rows * cols;
    if (count > INT_MAX) _daterrh("load_mtx: matrix too large in %s\n", filename);
    // Zero-filled: a "variant" file converts to nothing, which must not
    // leave whatever the heap held in the matrix.
    MatrixPtr m(calloc_mtx(size.dim[0], size.dim[1]));
    _dread(h, m->pix[0], (int)count, 'F');
    owner.h = nullptr;
    d_close(h);
    return m.release();
}

}  // namespace

matrix *load_mtx(const char *filename) {
    return load_checked(filename, false, 0, 0, nullptr, nullptr);
}

matrix *dat2mtx(const char *filename) { return load_mtx(filename); }

matrix *dat2mtx_shape(const char *filename, int rows, int cols, int *found_rows, int *found_cols) {
    int r = rows, c = cols;
    matrix *m = load_checked(filename, true, rows, cols, &r, &c);
    if (found_rows) *found_rows = r;
    if (found_cols) *found_cols = c;
    return m;
}
