// A matrix written as a datfile by a program that must survive a failed
// write: the library's fatal handler is turned into an exception for the
// calling thread only, and the half-written datfile is closed and left to
// the caller (who writes to a temporary name and removes it).
#include <climits>
#include <cstdint>
#include <cstdio>
#include <mutex>

#include "dat.h"

namespace {

// The table of open datfiles is shared by the whole process.
std::mutex dat_table;

struct Recoverable {
    Recoverable() { d_recoverable++; }
    ~Recoverable() { d_recoverable--; }
};

}  // namespace

int mtx2dat_try(matrix *mtx, const char *filename) {
    std::lock_guard<std::mutex> hold(dat_table);
    Recoverable scope;
    DATFILE *h = nullptr;
    try {
        h = d_open(filename, "w");
        if (!h) return 0;
        d_settype(h, 'F');
        int32_t dims[2] = {mtx->nrows, mtx->ncols};
        d_setdim(h, 1, 1, dims, 2);
        int64_t count = (int64_t)mtx->nrows * mtx->ncols;
        if (count > INT_MAX) _daterrh("mtx2dat: matrix too large for %s\n", filename);
        _dwrite(h, mtx->pix[0], (int)count, 'F');
        DATFILE *closing = h;
        h = nullptr;
        if (d_close(closing) != 0) throw d_error{};
        return 1;
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
