#include "simd.h"

#include <cstdlib>
#include <cstring>

namespace {

int detect() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return SIMD_AVX512;
    if (__builtin_cpu_supports("avx2")) return SIMD_AVX2;
#endif
    return SIMD_PLAIN;
}

// Function statics: set before first use, whatever the order of static
// initialisation across the libraries.
// SENDRAL_SIMD=plain or avx2 lowers the start-up choice, so that whole
// runs can be compared across variants on one machine.
int &current() {
    static int level = [] {
        const char *e = getenv("SENDRAL_SIMD");
        const int best = simd_best_level();
        if (e && strcmp(e, "plain") == 0) return (int)SIMD_PLAIN;
        if (e && strcmp(e, "avx2") == 0 && best >= SIMD_AVX2) return (int)SIMD_AVX2;
        return best;
    }();
    return level;
}

}  // namespace

int simd_best_level(void) {
    static const int best = detect();
    return best;
}

int simd_level(void) { return current(); }

int set_simd_level(int level) {
    const int best = simd_best_level();
    current() = level < SIMD_PLAIN ? SIMD_PLAIN : level > best ? best : level;
    return current();
}
