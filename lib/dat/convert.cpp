// Element type conversion and byte swapping.
//
// Every conversion goes through double: integer targets are clamped to the
// type's range and rounded half away from zero in one step (no double
// rounding); NaN stores 0. Elements are accessed with memcpy because caller
// buffers carry no alignment guarantee.
#include <cmath>
#include <cstdint>
#include <cstring>

#include "dat.h"

namespace {

template <typename T>
T load(const unsigned char *p) {
    T v;
    memcpy(&v, p, sizeof v);
    return v;
}

template <typename T>
void store(unsigned char *p, T v) {
    memcpy(p, &v, sizeof v);
}

double to_double(int type, const unsigned char *p) {
    switch (type) {
        case 'a':
        case 'c': return load<int8_t>(p);
        case 'b': return load<uint8_t>(p);
        case 'd': return load<int16_t>(p);
        case 'u': return load<uint16_t>(p);
        case 'D': return load<int32_t>(p);
        case 'U': return load<uint32_t>(p);
        case 'f': return load<float>(p);
        case 'x': return load<int16_t>(p) / 256.0;
        case 'X': return load<int32_t>(p) / 65536.0;
        case 'z': return load<float>(p);
        case 'Z': return load<double>(p);
        default: return 0.0;
    }
}

double clamp_round(double x, double lo, double hi) {
    if (std::isnan(x)) return 0.0;
    if (x < lo) return lo;
    if (x > hi) return hi;
    return std::round(x);
}

void from_double(int type, unsigned char *p, double x) {
    switch (type) {
        case 'a':
        case 'c': store<int8_t>(p, (int8_t)clamp_round(x, -128, 127)); break;
        case 'b': store<uint8_t>(p, (uint8_t)clamp_round(x, 0, 255)); break;
        case 'd': store<int16_t>(p, (int16_t)clamp_round(x, -32768, 32767)); break;
        case 'u': store<uint16_t>(p, (uint16_t)clamp_round(x, 0, 65535)); break;
        case 'D': store<int32_t>(p, (int32_t)clamp_round(x, -2147483648.0, 2147483647.0)); break;
        case 'U': store<uint32_t>(p, (uint32_t)clamp_round(x, 0, 4294967295.0)); break;
        case 'x': store<int16_t>(p, (int16_t)clamp_round(x * 256.0, -32768, 32767)); break;
        case 'X':
            store<int32_t>(p, (int32_t)clamp_round(x * 65536.0, -2147483648.0, 2147483647.0));
            break;
        case 'f': store<float>(p, (float)x); break;
        case 'z':
            store<float>(p, (float)x);
            store<float>(p + 4, 0.0f);
            break;
        case 'Z':
            store<double>(p, x);
            store<double>(p + 8, 0.0);
            break;
        default: break;
    }
}

}  // namespace

int _dsize(int type) {
    switch (type) {
        case 'a':
        case 'b':
        case 'c':
        case 'v': return 0;
        case 'd':
        case 'u':
        case 'x': return 1;
        case 'D':
        case 'U':
        case 'X':
        case 'f': return 2;
        case 'F':
        case 'z': return 3;
        case 'Z': return 4;
        default: return _daterrh("_dsize: data type %c. not supported\n", type);
    }
}

void convert_datatype(void *dst, int dsttype, const void *src, int srctype, int n) {
    if (n <= 0) return;
    size_t dsize = (size_t)1 << _dsize(dsttype);
    size_t ssize = (size_t)1 << _dsize(srctype);
    unsigned char *d = (unsigned char *)dst;
    const unsigned char *s = (const unsigned char *)src;

    if (dsttype == srctype) {
        if (d != s) memmove(d, s, (size_t)n * dsize);
        return;
    }
    if (dsttype == 'v' || srctype == 'v') return;
    if (dsttype == 'F') {
        for (int i = 0; i < n; i++) store<double>(d + i * dsize, to_double(srctype, s + i * ssize));
        return;
    }
    if (srctype == 'F') {
        for (int i = 0; i < n; i++)
            from_double(dsttype, d + i * dsize, load<double>(s + i * ssize));
        return;
    }
    if (dsttype == 'z' && srctype == 'Z') {
        for (int i = 0; i < 2 * n; i++) store<float>(d + i * 4, (float)load<double>(s + i * 8));
        return;
    }
    if (dsttype == 'Z' && srctype == 'z') {
        for (int i = 0; i < 2 * n; i++) store<double>(d + i * 8, (double)load<float>(s + i * 4));
        return;
    }
    double tmp[256];
    for (int done = 0; done < n; done += 256) {
        int k = n - done < 256 ? n - done : 256;
        for (int i = 0; i < k; i++) tmp[i] = to_double(srctype, s + (size_t)(done + i) * ssize);
        for (int i = 0; i < k; i++) from_double(dsttype, d + (size_t)(done + i) * dsize, tmp[i]);
    }
}

void convert_endian(void *buf, int type, int n) {
    if (n <= 0) return;
    int shift = _dsize(type);
    unsigned char *p = (unsigned char *)buf;
    size_t size = (size_t)1 << shift;
    // Size of each independently reversed unit: complex types swap their
    // real and imaginary halves separately.
    size_t unit = (type == 'z' || type == 'Z') ? size / 2 : size;
    switch (size) {
        case 1: return;
        case 2:
        case 4:
        case 8:
        case 16: break;
        default: _daterrh("convert_endian: dsize:%d not supported\n", shift);
    }
    size_t total = (size_t)n * size;
    for (size_t off = 0; off < total; off += unit)
        for (size_t i = 0, j = unit - 1; i < j; i++, j--) {
            unsigned char t = p[off + i];
            p[off + i] = p[off + j];
            p[off + j] = t;
        }
}

void subsample(void *dst, const void *src, int elsize, int step, int n) {
    unsigned char *d = (unsigned char *)dst;
    const unsigned char *s = (const unsigned char *)src;
    for (int m = 0; m < n; m++)
        memmove(d + (size_t)m * elsize, s + (size_t)m * step * elsize, (size_t)elsize);
}
