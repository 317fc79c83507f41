// Element transfer between memory and a datfile's "data".
//
// A selection is, per level (0 = last dimension ... nlev-1 = data sets), a
// start, an end and a step. The walk keeps the file position in step with
// pos[]: after the last selected element of level f the file stands
// cnt[f] * stride[f] bytes past the start of that run, and skip[f] moves it
// to the next selected run of level f + 1. Unconverted, unswapped step-1
// transfers go straight between the caller's memory and the file; all other
// transfers go through fixed 1024-byte stack buffers, which is why a
// level-0 step wider than 1024 bytes is refused when selecting.
//
// Byte offsets are 32-bit in the transfer state, so selections whose
// offsets would not fit are refused too.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <unistd.h>

#include "dat.h"
#include "fail.h"
#include "mtxown.h"

namespace {

const int BUFSZ = 1024;

// Transfer states by descriptor number; grown on demand.
std::vector<d_info *> g_states;

int32_t addr_at(const d_addr *a, int j) {
    if (j == 0) return a->dset;
    if (j == 1) return a->chan;
    return a->dim[j - 2];
}

void addr_set(d_addr *a, int j, int32_t v) {
    if (j == 0)
        a->dset = v;
    else if (j == 1)
        a->chan = v;
    else
        a->dim[j - 2] = v;
}

int data_fd(DATFILE *h, const char *caller) {
    if (!h->db_fp) _daterrh("%s: no data file for %s\n", caller, h->db_name);
    return fileno(h->db_fp);
}

d_info *state_of(DATFILE *h, const char *caller) {
    int fd = data_fd(h, caller);
    if (!d_state(fd)) d_submatrix(h, nullptr, nullptr, nullptr);
    return d_state(fd);
}

// Reads up to len bytes, retrying short reads; returns the count or -1.
ssize_t read_full(int fd, void *buf, size_t len) {
    size_t got = 0;
    while (got < len) {
        ssize_t r = read(fd, (char *)buf + got, len - got);
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (r == 0) break;
        got += (size_t)r;
    }
    return (ssize_t)got;
}

bool write_full(int fd, const void *buf, size_t len) {
    size_t put = 0;
    while (put < len) {
        ssize_t r = write(fd, (const char *)buf + put, len - put);
        if (r < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (r == 0) {
            errno = ENOSPC;
            return false;
        }
        put += (size_t)r;
    }
    return true;
}

// Steps the walk past k elements of level 0, carrying into the levels above.
void advance(d_info *s, int fd, int k) {
    s->pos[0] += k;
    if (s->pos[0] < s->cnt[0]) return;
    for (int f = 0; f < s->nlev; f++) {
        if (s->pos[f] < s->cnt[f]) return;
        s->pos[f] = 0;
        if (f == s->nlev - 1) {
            s->done = 1;
            return;
        }
        lseek(fd, s->skip[f], SEEK_CUR);
        s->pos[f + 1]++;
    }
}

bool needs_swap(DATFILE *h) {
    int bo = d_get_byte_order(h);
    return bo != -1 && bo != mach_get_byte_order();
}

}  // namespace

int d_submatrix(DATFILE *h, const d_addr *start, const d_addr *end, const d_addr *step) {
    int fd = data_fd(h, "d_submatrix");
    d_info *s = d_state(fd);
    if (!s) {
        std::unique_ptr<d_info, FreeDeleter> state((d_info *)calloc(1, sizeof(d_info)));
        if (!state || !d_set_state(fd, state.get()))
            _daterrh("d_submatrix: out of core for %s\n", h->db_name);
        s = state.release();
    }
    d_addr full;
    int n = d_getdim(h, &full.dset, &full.chan, full.dim, 10);
    int nlev = n + 2;
    if (nlev <= 2) _daterrh("d_submatrix: dimensions of %s unknown\n", h->db_name);

    int type = d_gettype(h, nullptr);
    int shift = _dsize(type);
    s->type = (unsigned char)type;
    s->shift = (unsigned char)shift;
    s->nlev = (unsigned char)nlev;
    s->done = 0;

    int64_t elsize = (int64_t)1 << shift;
    int64_t unit = elsize, base = 0;
    for (int f = 0; f < nlev; f++) {
        int j = nlev - 1 - f;
        int64_t size = addr_at(&full, j);
        int64_t b = start ? addr_at(start, j) : 0;
        int64_t e = end ? addr_at(end, j) : size;
        int64_t t = step ? addr_at(step, j) : 1;
        bool bad = t < 1 || b < 0 || b >= e || e > size;
        if (f == 0 && !bad && t * elsize > BUFSZ) bad = true;
        if (!bad && (unit * size > INT32_MAX || t * unit > INT32_MAX)) bad = true;
        if (bad) _daterrh("d_submatrix: arguments out of range for %s\n", h->db_name);
        s->stride[f] = (int32_t)(t * unit);
        s->cnt[f] = (int32_t)((e - b + t - 1) / t);
        s->pos[f] = 0;
        if (f == 0)
            s->hstep = (int32_t)t;
        else
            s->skip[f - 1] = (int32_t)(s->stride[f] - (int64_t)s->stride[f - 1] * s->cnt[f - 1]);
        base += b * unit;
        unit *= size;
    }
    s->base = (int32_t)base;
    lseek(fd, s->base, SEEK_SET);
    return (int)(base / elsize);
}

int d_seek(DATFILE *h, const d_addr *offset, int whence) {
    d_info *s = state_of(h, "d_seek");
    int fd = fileno(h->db_fp);
    int nlev = s->nlev;
    // Any target farther out than this cannot come back within the
    // selection through the remaining 32-bit offsets.
    const __int128 far = (__int128)1 << 40;
    __int128 a = (whence == 2 || (whence == 1 && s->done)) ? 1 : 0;
    for (int i = 0; i < nlev; i++) {
        int f = nlev - 1 - i;
        a = a * s->cnt[f];
        if (offset) a += addr_at(offset, i);
        if (whence == 1 && !s->done) a += s->pos[f];
        if (a > far || a < -far) _daterrh("d_seek: seek out of bounds on %s\n", h->db_name);
    }
    if (a < 0) _daterrh("d_seek: seek out of bounds on %s\n", h->db_name);
    int64_t o = 0;
    for (int f = 0; f < nlev; f++) {
        s->pos[f] = (int32_t)(a % s->cnt[f]);
        o += (int64_t)s->pos[f] * s->stride[f];
        a /= s->cnt[f];
    }
    s->done = a != 0;
    off_t where;
    if (a == 0)
        where = lseek(fd, s->base + o, SEEK_SET);
    else if (a == 1 && o == 0)
        where = lseek(fd, s->base + (int64_t)s->cnt[nlev - 1] * s->stride[nlev - 1], SEEK_SET);
    else
        _daterrh("d_seek: seek out of bounds on %s\n", h->db_name);
    return (int)(where >> s->shift);
}

namespace {

// What one transfer call works with: the file's element size and type, the
// caller's, and whether the bytes can move straight between file and caller.
struct Transfer {
    d_info *s;
    int fd;
    bool swap;
    int ftype, type;
    int size, csize;
    bool direct;
};

Transfer begin_transfer(DATFILE *h, int type, const char *caller) {
    Transfer t;
    t.s = state_of(h, caller);
    t.fd = fileno(h->db_fp);
    t.swap = needs_swap(h);
    t.ftype = t.s->type;
    t.type = type == 0 ? t.ftype : type;
    bool convert = t.type != t.ftype;
    t.size = 1 << t.s->shift;
    t.csize = convert ? 1 << _dsize(t.type) : t.size;
    t.direct = t.s->hstep == 1 && !convert && !t.swap;
    return t;
}

}  // namespace

int _dread(DATFILE *h, void *buf, int n, int type) {
    Transfer t = begin_transfer(h, type, "_dread");
    d_info *s = t.s;
    int fd = t.fd, ftype = t.ftype, size = t.size, csize = t.csize;
    bool swap = t.swap, direct = t.direct;
    type = t.type;
    if (n < 0) n = s->cnt[0];

    unsigned char *out = (unsigned char *)buf;
    alignas(16) unsigned char buffer[BUFSZ];
    int total = 0;
    while (n > 0 && !s->done) {
        int k = n < s->cnt[0] - s->pos[0] ? n : s->cnt[0] - s->pos[0];
        if (!direct) {
            int fit = BUFSZ / (s->hstep * size);
            if (k > fit) k = fit;
        }
        size_t span = direct ? (size_t)k * size : ((size_t)(k - 1) * s->hstep + 1) * size;
        ssize_t r = read_full(fd, direct ? (void *)out : (void *)buffer, span);
        if (r < 0) {
            lib_perror(h->db_name);
            _daterrh("_dread: read error\n");
        }
        if ((size_t)r < span) _daterrh("_dread: early EOF on %s\n", h->db_name);
        if (!direct) {
            if (s->hstep > 1) {
                lseek(fd, (off_t)(s->hstep - 1) * size, SEEK_CUR);
                subsample(buffer, buffer, size, s->hstep, k);
            }
            if (swap) convert_endian(buffer, ftype, k);
            convert_datatype(out, type, buffer, ftype, k);
        }
        out += (size_t)k * csize;
        total += k;
        n -= k;
        advance(s, fd, k);
    }
    return total;
}

int _dwrite(DATFILE *h, const void *buf, int n, int type) {
    Transfer t = begin_transfer(h, type, "_dwrite");
    d_info *s = t.s;
    int fd = t.fd, ftype = t.ftype, size = t.size, csize = t.csize;
    bool swap = t.swap, direct = t.direct;
    type = t.type;
    if (n < 0) n = s->cnt[0];

    const unsigned char *in = (const unsigned char *)buf;
    alignas(16) unsigned char big[BUFSZ] = {};
    alignas(16) unsigned char small[BUFSZ / 2] = {};
    int total = 0;
    while (n > 0) {
        if (s->done) _daterrh("_dwrite: write out of bounds on %s\n", h->db_name);
        int k = n < s->cnt[0] - s->pos[0] ? n : s->cnt[0] - s->pos[0];
        const void *from = in;
        size_t span = (size_t)k * size;
        if (!direct) {
            int fit = BUFSZ / (s->hstep * size);
            if (k > fit) k = fit;
            unsigned char *target = s->hstep == 1 ? big : small;
            convert_datatype(target, ftype, in, type, k);
            if (swap) convert_endian(target, ftype, k);
            span = ((size_t)(k - 1) * s->hstep + 1) * size;
            if (s->hstep > 1) {
                // Keep the unselected elements between the selected ones.
                ssize_t r = read_full(fd, big, span);
                if (r < 0) {
                    lib_perror(h->db_name);
                    _daterrh("_dwrite: read failed for horizontal step\n");
                }
                lseek(fd, -(off_t)r, SEEK_CUR);
                memset(big + r, 0, span - (size_t)r);
                for (int m = 0; m < k; m++)
                    memcpy(big + (size_t)m * s->hstep * size, small + (size_t)m * size, size);
            }
            from = big;
        }
        if (!write_full(fd, from, span)) {
            lib_perror(h->db_name);
            _daterrh("_dwrite: write error\n");
        }
        if (!direct && s->hstep > 1) lseek(fd, (off_t)(s->hstep - 1) * size, SEEK_CUR);
        in += (size_t)k * csize;
        total += k;
        n -= k;
        advance(s, fd, k);
    }
    return total;
}

int d_getsubdim(DATFILE *h, d_addr *size) {
    d_info *s = h->db_fp ? d_state(fileno(h->db_fp)) : nullptr;
    if (!s) return d_getdim(h, &size->dset, &size->chan, size->dim, 10);
    for (int f = 0; f < s->nlev; f++) addr_set(size, s->nlev - 1 - f, s->cnt[f]);
    return s->nlev - 2;
}

d_info *d_state(int fd) { return fd >= 0 && (size_t)fd < g_states.size() ? g_states[fd] : nullptr; }

bool d_set_state(int fd, d_info *s) {
    if (fd < 0) return false;
    if ((size_t)fd >= g_states.size()) {
        if (!s) return true;
        try {
            g_states.resize((size_t)fd + 1, nullptr);
        } catch (const std::bad_alloc &) {
            return false;
        }
    }
    g_states[fd] = s;
    return true;
}

void _dclrinfo(int fd) {
    free(d_state(fd));
    d_set_state(fd, nullptr);
}
