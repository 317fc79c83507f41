// Reading a datfile: the input is a descriptor, a NUL byte, then the bytes
// of "data". Optional keys fuzz_start, fuzz_end and fuzz_step (up to twelve
// integers each, data set first) choose a selection.
//
// A datfile that cannot be read ends the process by design (status 1 after
// a message), so the target decides first, from the header text alone and
// independently of the library, whether the read may succeed: sizes known
// and positive, a known element type, a selection inside the sizes, and
// enough bytes of data. Only then does it read, and it checks every element
// against its own decoding of the raw bytes; the bridge dat2mtx is called
// when the datfile holds a two-dimensional matrix. Inputs that must be
// refused stop after the open, so a refusal is never taken for a crash,
// while an accepted input that the library still refused would end the run
// and show up as a finding.
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "dat.h"
#include "fuzz_support.h"

namespace {

const int kLevels = 12;  // data set, channel, ten dimensions

// Up to max integers of a key value, each read like "%ld" would read it.
std::vector<long> longs_of(const char *v, int max) {
    std::vector<long> out;
    if (!v) return out;
    const char *p = v;
    while ((int)out.size() < max) {
        char *end;
        errno = 0;
        long x = strtol(p, &end, 10);
        if (end == p) break;
        out.push_back(x);
        p = end;
    }
    return out;
}

int32_t clamp32(long x) {
    return x > INT32_MAX ? INT32_MAX : x < INT32_MIN ? INT32_MIN : (int32_t)x;
}

struct Type {
    int code;
    int size;
};

Type type_of(const char *name) {
    static const struct {
        const char *name;
        int code, size;
    } table[] = {{"ascii", 'a', 1},         {"variant", 'v', 1},      {"signed_1", 'c', 1},
                 {"signed_2", 'd', 2},      {"signed_4", 'D', 4},     {"unsigned_1", 'b', 1},
                 {"unsigned_2", 'u', 2},    {"unsigned_4", 'U', 4},   {"float", 'f', 4},
                 {"double", 'F', 8},        {"complex", 'z', 8},      {"double_complex", 'Z', 16},
                 {"fixed_point_2", 'x', 2}, {"fixed_point_4", 'X', 4}};
    if (name)
        for (auto &t : table)
            if (strcmp(t.name, name) == 0) return {t.code, t.size};
    return {0, 0};
}

// One element of the file in the machine's byte order.
void to_machine(unsigned char *e, const unsigned char *raw, Type t, bool swap) {
    memcpy(e, raw, t.size);
    if (!swap || t.size == 1) return;
    int part = (t.code == 'z' || t.code == 'Z') ? t.size / 2 : t.size;
    for (int off = 0; off < t.size; off += part)
        for (int i = 0, j = part - 1; i < j; i++, j--) std::swap(e[off + i], e[off + j]);
}

template <class T>
T load(const unsigned char *p) {
    T v;
    memcpy(&v, p, sizeof v);
    return v;
}

double as_double(const unsigned char *e, int code) {
    switch (code) {
        case 'a':
        case 'c': return load<int8_t>(e);
        case 'b': return load<uint8_t>(e);
        case 'd': return load<int16_t>(e);
        case 'u': return load<uint16_t>(e);
        case 'D': return load<int32_t>(e);
        case 'U': return load<uint32_t>(e);
        case 'f':
        case 'z': return load<float>(e);
        case 'F':
        case 'Z': return load<double>(e);
        case 'x': return load<int16_t>(e) / 256.0;
        case 'X': return load<int32_t>(e) / 65536.0;
    }
    return 0;
}

bool same(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace

void fuzz_dat_read(const uint8_t *data, size_t size) {
    const uint8_t *nul = (const uint8_t *)memchr(data, 0, size);
    size_t hlen = nul ? (size_t)(nul - data) : size;
    const uint8_t *bytes = nul ? nul + 1 : data + size;
    size_t blen = (size_t)(data + size - bytes);

    const std::string &dir = fuzz_scratch("read");
    fuzz_write_file(dir + "/descriptor", data, hlen);
    fuzz_write_file(dir + "/data", bytes, blen);

    DATFILE *h = d_open(dir.c_str(), "r");
    FUZZ_CHECK(h != nullptr);

    // The sizes as the header states them; each level must hold 1 or more.
    std::vector<long> dims = longs_of(d_getkey(h, "_dimensions"), 10);
    std::vector<long> sets = longs_of(d_getkey(h, "_data_sets"), 1);
    std::vector<long> chans = longs_of(d_getkey(h, "_channels"), 1);
    int n = (int)dims.size();
    long full[kLevels] = {sets.empty() ? 1 : sets[0], chans.empty() ? 1 : chans[0]};
    for (int i = 0; i < n; i++) full[2 + i] = dims[i];

    // The library reports the same sizes; one beyond 32 bits must not wrap
    // into a different, plausible one.
    d_addr got;
    FUZZ_CHECK(d_getsubdim(h, &got) == n);
    FUZZ_CHECK(got.dset == clamp32(full[0]) && got.chan == clamp32(full[1]));
    for (int i = 0; i < n; i++) FUZZ_CHECK(got.dim[i] == clamp32(full[2 + i]));

    Type t = type_of(d_getkey(h, "_data_type"));
    FUZZ_CHECK(d_gettype(h, nullptr) == t.code);
    const char *bo = d_getkey(h, "_byte_order");
    bool swap = bo && ((strcmp(bo, "msb") == 0 && mach_get_byte_order() == LSB) ||
                       (strcmp(bo, "lsb") == 0 && mach_get_byte_order() == MSB));
    if (n == 0 || t.code == 0) {
        d_close(h);
        return;
    }
    int nlev = n + 2;

    // The selection, level 0 being the last dimension.
    std::vector<long> st = longs_of(d_getkey(h, "fuzz_start"), kLevels);
    std::vector<long> en = longs_of(d_getkey(h, "fuzz_end"), kLevels);
    std::vector<long> sp = longs_of(d_getkey(h, "fuzz_step"), kLevels);
    bool given = !st.empty() || !en.empty() || !sp.empty();
    d_addr start{}, end{}, step{};
    int32_t *a_start = &start.dset, *a_end = &end.dset, *a_step = &step.dset;
    long s[kLevels], e[kLevels], k[kLevels], cnt[kLevels], unit[kLevels];
    bool ok = true;
    long u = t.size;
    for (int f = 0; f < nlev; f++) {
        int j = nlev - 1 - f;
        long sz = full[j];
        s[f] = j < (int)st.size() ? st[j] : 0;
        e[f] = j < (int)en.size() ? en[j] : sz;
        k[f] = j < (int)sp.size() ? sp[j] : 1;
        a_start[j] = clamp32(s[f]);
        a_end[j] = clamp32(e[f]);
        a_step[j] = clamp32(k[f]);
        if (k[f] < 1 || s[f] < 0 || s[f] >= e[f] || e[f] > sz || sz > INT32_MAX) ok = false;
        // Refused on purpose: a level-0 step wider than the transfer buffer,
        // and byte offsets beyond 32 bits.
        if (f == 0 && k[f] > 1024 / t.size) ok = false;
        if (!ok || k[f] > INT32_MAX / u || sz > INT32_MAX / u) {
            ok = false;
            break;
        }
        unit[f] = u;
        cnt[f] = (e[f] - s[f] + k[f] - 1) / k[f];
        u *= sz;
    }
    // The last selected element must lie inside the data.
    if (ok) {
        long last = 0;
        for (int f = 0; f < nlev; f++) last += (s[f] + (cnt[f] - 1) * k[f]) * unit[f];
        ok = last + t.size <= (long)blen;
    }
    if (!ok) {
        d_close(h);
        return;
    }

    // Every selected element's byte offset, in file order.
    std::vector<long> offs;
    std::vector<long> pos(nlev, 0);
    for (;;) {
        long o = 0;
        for (int f = 0; f < nlev; f++) o += (s[f] + pos[f] * k[f]) * unit[f];
        offs.push_back(o);
        int f = 0;
        while (f < nlev && ++pos[f] == cnt[f]) pos[f++] = 0;
        if (f == nlev) break;
    }
    long total = (long)offs.size();

    const d_addr *ps = given ? &start : nullptr, *pe = given ? &end : nullptr,
                 *pk = given ? &step : nullptr;
    d_submatrix(h, ps, pe, pk);
    FUZZ_CHECK(d_getsubdim(h, &got) == n);
    for (int f = 0; f < nlev; f++) FUZZ_CHECK((&got.dset)[nlev - 1 - f] == cnt[f]);

    // As doubles, with room past the end that must stay untouched.
    std::vector<double> vals(total + 4, -12345.0);
    FUZZ_CHECK(_dread(h, vals.data(), (int)total + 4, 'F') == total);
    unsigned char elem[16];
    for (long i = 0; i < total; i++) {
        to_machine(elem, bytes + offs[i], t, swap);
        // Untyped bytes convert to nothing: the caller's memory stays as it was.
        FUZZ_CHECK(same(vals[i], t.code == 'v' ? -12345.0 : as_double(elem, t.code)));
    }
    for (int i = 0; i < 4; i++) FUZZ_CHECK(vals[total + i] == -12345.0);
    FUZZ_CHECK(_dread(h, vals.data(), 1, 'F') == 0);

    // Again from the start in the file's own type: one row, then the rest.
    FUZZ_CHECK(d_seek(h, nullptr, 0) == (int)(offs[0] / t.size));
    std::vector<unsigned char> raw((size_t)(total + 1) * t.size, 0xa5);
    int row = _dread(h, raw.data(), -1, 0);
    FUZZ_CHECK(row == cnt[0]);
    FUZZ_CHECK(_dread(h, raw.data() + (size_t)row * t.size, (int)total, 0) == total - row);
    for (long i = 0; i < total; i++) {
        to_machine(elem, bytes + offs[i], t, swap);
        FUZZ_CHECK(memcmp(raw.data() + (size_t)i * t.size, elem, t.size) == 0);
    }
    FUZZ_CHECK(raw[(size_t)total * t.size] == 0xa5);

    // The end of the selection reads nothing.
    d_seek(h, nullptr, 2);
    FUZZ_CHECK(_dread(h, raw.data(), 1, 0) == 0);
    FUZZ_CHECK(d_close(h) == 0);

    // The bridge reads the first rows x columns elements of a 2-d datfile.
    if (n == 2 && !given && full[2] * full[3] <= INT_MAX) {
        matrix *m = dat2mtx(dir.c_str());
        FUZZ_CHECK(m->nrows == full[2] && m->ncols == full[3]);
        // The matrix of an untyped file is all zeros, never stale memory.
        for (long i = 0; i < full[2] * full[3]; i++) {
            to_machine(elem, bytes + i * t.size, t, swap);
            FUZZ_CHECK(same(m->pix[0][i], t.code == 'v' ? 0.0 : as_double(elem, t.code)));
        }
        free_mtx(m);
    }
}
