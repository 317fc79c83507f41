// Which vector instructions the hot loops of mres and stat run on: AVX-512
// where the CPU has it, AVX2 otherwise, plain C++ elsewhere. Every variant
// is the same source compiled for another target, and every lane does the
// operations of the scalar loop in its order (no fused multiply-add), so
// results are bit-identical whichever variant runs.
#ifndef MRES_SIMD_H
#define MRES_SIMD_H

enum { SIMD_PLAIN = 0, SIMD_AVX2 = 1, SIMD_AVX512 = 2 };

// The variant in use: the widest the CPU has, unless lowered below or by
// the environment (SENDRAL_SIMD=plain or avx2, read once).
int simd_level(void);
// The widest variant the CPU has.
int simd_best_level(void);
// Uses `level`, or the widest the CPU has when that is lower; returns the
// level now in use. For tests and benchmarks, before any thread starts.
int set_simd_level(int level);

// The variant of a function for the level in use (the three variants of a
// body that simd_variants.inc compiles).
template <class F>
F simd_pick(F plain, F avx2, F avx512) {
    const int level = simd_level();
    return level == SIMD_AVX512 ? avx512 : level == SIMD_AVX2 ? avx2 : plain;
}

#endif
