// The reserved keys: dimensions, data type and byte order.
#include <cstdint>
#include <cstring>
#include <string>

#include "dat.h"
#include "fail.h"

const d_stype stype[] = {
    {"ascii", 'a', 1},         {"variant", 'v', 1},       {"signed_1", 'c', 1},
    {"signed_2", 'd', 2},      {"signed_4", 'D', 4},      {"unsigned_1", 'b', 1},
    {"unsigned_2", 'u', 2},    {"unsigned_4", 'U', 4},    {"float", 'f', 4},
    {"double", 'F', 8},        {"complex", 'z', 8},       {"double_complex", 'Z', 16},
    {"fixed_point_2", 'x', 2}, {"fixed_point_4", 'X', 4}, {nullptr, 0, 0},
};

const d_bo bo_list[] = {{"msb", MSB}, {"lsb", LSB}, {nullptr, -1}};

namespace {

// A size beyond 32 bits is held at the nearest limit, not wrapped: a damaged
// header must be refused as too large, never read as a smaller, plausible size.
int32_t saturate(long v) {
    return v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : (int32_t)v;
}

}  // namespace

int d_getdim(DATFILE *h, int32_t *sets, int32_t *channels, int32_t *dims, int maxdims) {
    long l;
    if (sets) {
        const char *v = d_getkey(h, "_data_sets");
        *sets = (v && sscanf(v, "%ld", &l) == 1) ? saturate(l) : 1;
    }
    if (channels) {
        const char *v = d_getkey(h, "_channels");
        *channels = (v && sscanf(v, "%ld", &l) == 1) ? saturate(l) : 1;
    }
    long d[10];
    int n = 0;
    const char *v = d_getkey(h, "_dimensions");
    if (v) {
        n = sscanf(v, "%ld %ld %ld %ld %ld %ld %ld %ld %ld %ld", &d[0], &d[1], &d[2], &d[3], &d[4],
                   &d[5], &d[6], &d[7], &d[8], &d[9]);
        if (n < 0) n = 0;
    }
    if (dims && maxdims > 0) {
        int first = n > maxdims ? n - maxdims : 0;
        for (int i = first; i < n; i++) dims[i - first] = saturate(d[i]);
    }
    return n;
}

int d_setdim(DATFILE *h, int32_t sets, int32_t channels, const int32_t *dims, int ndims) {
    int r = 0;
    char num[32];
    if (sets > 0) {
        snprintf(num, sizeof num, "%ld", (long)sets);
        if (d_setkey(h, "_data_sets", num) < 0) r = -1;
    }
    if (channels > 0) {
        snprintf(num, sizeof num, "%ld", (long)channels);
        if (d_setkey(h, "_channels", num) < 0) r = -1;
    }
    if (ndims > 0) {
        if (ndims > 10) ndims = 10;
        std::string v;
        for (int i = 0; i < ndims; i++) {
            snprintf(num, sizeof num, "%ld ", (long)dims[i]);
            v += num;
        }
        if (d_setkey(h, "_dimensions", v.c_str()) < 0) r = -1;
    }
    return r;
}

int d_gettype(DATFILE *h, int *size) {
    const char *v = d_getkey(h, "_data_type");
    if (v)
        for (const d_stype *t = stype; t->name; t++)
            if (strcmp(t->name, v) == 0) {
                if (size) *size = t->size;
                return t->code;
            }
    if (size) *size = 1;
    return 0;
}

int d_settype(DATFILE *h, int code) {
    const d_stype *t = stype;
    while (t->name && t->code != code) t++;
    if (!t->name) return -1;
    if (d_setkey(h, "_data_type", t->name) < 0) return -1;
    d_flush(h);
    if (t->size > 1) {
        int bo = d_get_byte_order(h);
        if (bo == -1)
            d_set_byte_order(h, mach_get_byte_order());
        else if (bo != mach_get_byte_order())
            lib_puts(2, "ATTN: byte order conversion will occur.\n");
    }
    d_flush(h);
    return 0;
}

int d_get_byte_order(DATFILE *h) {
    const char *v = d_getkey(h, "_byte_order");
    if (v)
        for (const d_bo *b = bo_list; b->name; b++)
            if (strcmp(b->name, v) == 0) return b->value;
    return -1;
}

int d_set_byte_order(DATFILE *h, int order) {
    for (const d_bo *b = bo_list; b->name; b++)
        if (b->value == order) return d_setkey(h, "_byte_order", b->name) < 0 ? -1 : 0;
    return -1;
}

int mach_get_byte_order(void) {
    uint16_t v = 0xAABB;
    unsigned char b[2];
    memcpy(b, &v, 2);
    if (b[0] == 0xBB && b[1] == 0xAA) return LSB;
    if (b[0] == 0xAA && b[1] == 0xBB) return MSB;
    lib_puts(1, "ERROR in d_arch: mach_get_byte_order()\n");
    return -1;
}
