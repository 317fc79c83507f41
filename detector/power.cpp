// |x|^1.5 for a whole channel, giving exactly what pow(|x|, 1.5) gives.
//
// pow is a fifth of a default run's time. Here x^1.5 is formed as x * sqrt(x)
// in double-double arithmetic (error about 2^-100 relative), which tells how
// far the exact value lies from the double r it rounds to. glibc's pow is
// within 0.512 ULP of the exact value for these arguments (its documented
// bound is 0.509 ULP for the final exp plus a log term that stays below
// 0.003 ULP while |ln x| < 42), so wherever the exact value is within
// 0.488 ULP of r no other double can come out of pow, and r is its answer;
// 0.485 keeps a margin beyond that.
// The other few per cent of samples, and every argument outside
// [2^-60, 2^60] (zero, NaN, infinities included), are passed to pow itself.
#include <cmath>
#include <cstdint>
#include <cstring>

#include <immintrin.h>

#include "lumivar.h"

namespace {

constexpr double kLow = 0x1p-60, kHigh = 0x1p60;
// How close to r the exact value must be, in units of the spacing of the
// doubles on its side of r.
constexpr double kMargin = 0.485;

inline uint64_t bits_of(double v) {
    uint64_t b;
    memcpy(&b, &v, sizeof b);
    return b;
}

inline double from_bits(uint64_t b) {
    double v;
    memcpy(&v, &b, sizeof v);
    return v;
}

// x^1.5 rounded to nearest when that rounding is beyond doubt, else -x
// (a sign no answer has) to leave the sample to pow. Free of branches so
// that it runs four samples at a time.
inline double three_halves_or_flag(double x) {
    const bool in_range = (x >= kLow) & (x <= kHigh);
    const double v = in_range ? x : 1.0;
    const double s = std::sqrt(v);
    // v * sqrt(v) = v * s + v * (sqrt(v) - s), and the second term is
    // (v - s*s) * s / 2 to within 2^-52 of itself, itself below 2^-52 of
    // the result: no division is needed for the 2^-100 estimate.
    const double e = std::fma(-s, s, v);  // v - s*s, exactly
    const double hi = v * s;
    const double lo = std::fma(v, s, -hi) + (0.5 * s) * e;
    const double r = hi + lo;
    const double err = lo - (r - hi);  // exact - r, up to 2^-100 relative
    // Spacing above r; below r it is half as much when r is a power of two.
    const uint64_t b = bits_of(r);
    const double up = from_bits((b & 0x7ff0000000000000ull) - (52ull << 52));
    const bool halved = (err < 0.0) & ((b & 0x000fffffffffffffull) == 0);
    const double side = halved ? 0.5 * up : up;
    return in_range & (std::fabs(err) < kMargin * side) ? r : -x;
}

// The same steps on four samples at a time.
__attribute__((target("avx2,fma"))) void flag_four_at_a_time(double *p, long n) {
    const __m256d sign = _mm256_set1_pd(-0.0), low = _mm256_set1_pd(kLow),
                  high = _mm256_set1_pd(kHigh), one = _mm256_set1_pd(1.0),
                  half = _mm256_set1_pd(0.5), margin = _mm256_set1_pd(kMargin),
                  zero = _mm256_setzero_pd();
    const __m256i exponent = _mm256_set1_epi64x(0x7ff0000000000000ll),
                  fraction = _mm256_set1_epi64x(0x000fffffffffffffll),
                  ulp_shift = _mm256_set1_epi64x(52ll << 52), izero = _mm256_setzero_si256();
    long i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m256d x = _mm256_andnot_pd(sign, _mm256_loadu_pd(p + i));
        const __m256d in_range =
            _mm256_and_pd(_mm256_cmp_pd(x, low, _CMP_GE_OQ), _mm256_cmp_pd(x, high, _CMP_LE_OQ));
        const __m256d v = _mm256_blendv_pd(one, x, in_range);
        const __m256d s = _mm256_sqrt_pd(v);
        const __m256d e = _mm256_fnmadd_pd(s, s, v);
        const __m256d hi = _mm256_mul_pd(v, s);
        const __m256d lo =
            _mm256_add_pd(_mm256_fmsub_pd(v, s, hi), _mm256_mul_pd(_mm256_mul_pd(half, s), e));
        const __m256d r = _mm256_add_pd(hi, lo);
        const __m256d err = _mm256_sub_pd(lo, _mm256_sub_pd(r, hi));
        const __m256i b = _mm256_castpd_si256(r);
        const __m256d up =
            _mm256_castsi256_pd(_mm256_sub_epi64(_mm256_and_si256(b, exponent), ulp_shift));
        const __m256d halved = _mm256_and_pd(
            _mm256_cmp_pd(err, zero, _CMP_LT_OQ),
            _mm256_castsi256_pd(_mm256_cmpeq_epi64(_mm256_and_si256(b, fraction), izero)));
        const __m256d side = _mm256_blendv_pd(up, _mm256_mul_pd(half, up), halved);
        const __m256d sure = _mm256_and_pd(
            in_range,
            _mm256_cmp_pd(_mm256_andnot_pd(sign, err), _mm256_mul_pd(margin, side), _CMP_LT_OQ));
        _mm256_storeu_pd(p + i, _mm256_blendv_pd(_mm256_or_pd(x, sign), r, sure));
    }
    for (; i < n; i++) p[i] = three_halves_or_flag(std::fabs(p[i]));
}

// The same steps on eight samples at a time.
__attribute__((target("avx512f"))) void flag_eight_at_a_time(double *p, long n) {
    const __m512d low = _mm512_set1_pd(kLow), high = _mm512_set1_pd(kHigh),
                  one = _mm512_set1_pd(1.0), half = _mm512_set1_pd(0.5),
                  margin = _mm512_set1_pd(kMargin), zero = _mm512_setzero_pd();
    const __m512i exponent = _mm512_set1_epi64(0x7ff0000000000000ll),
                  fraction = _mm512_set1_epi64(0x000fffffffffffffll),
                  ulp_shift = _mm512_set1_epi64(52ll << 52), sign = _mm512_set1_epi64(1ll << 63),
                  izero = _mm512_setzero_si512();
    long i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m512d x = _mm512_abs_pd(_mm512_loadu_pd(p + i));
        const __mmask8 in_range =
            _mm512_cmp_pd_mask(x, low, _CMP_GE_OQ) & _mm512_cmp_pd_mask(x, high, _CMP_LE_OQ);
        const __m512d v = _mm512_mask_blend_pd(in_range, one, x);
        const __m512d s = _mm512_maskz_sqrt_pd(0xff, v);  // (the unmasked form warns in GCC 12)
        const __m512d e = _mm512_fnmadd_pd(s, s, v);
        const __m512d hi = _mm512_mul_pd(v, s);
        const __m512d lo =
            _mm512_add_pd(_mm512_fmsub_pd(v, s, hi), _mm512_mul_pd(_mm512_mul_pd(half, s), e));
        const __m512d r = _mm512_add_pd(hi, lo);
        const __m512d err = _mm512_sub_pd(lo, _mm512_sub_pd(r, hi));
        const __m512i b = _mm512_castpd_si512(r);
        const __m512d up =
            _mm512_castsi512_pd(_mm512_sub_epi64(_mm512_and_si512(b, exponent), ulp_shift));
        const __mmask8 halved = _mm512_cmp_pd_mask(err, zero, _CMP_LT_OQ) &
                                _mm512_cmpeq_epi64_mask(_mm512_and_si512(b, fraction), izero);
        const __m512d side = _mm512_mask_blend_pd(halved, up, _mm512_mul_pd(half, up));
        const __mmask8 sure =
            in_range &
            _mm512_cmp_pd_mask(_mm512_abs_pd(err), _mm512_mul_pd(margin, side), _CMP_LT_OQ);
        const __m512d flagged = _mm512_castsi512_pd(_mm512_or_si512(_mm512_castpd_si512(x), sign));
        _mm512_storeu_pd(p + i, _mm512_mask_blend_pd(sure, flagged, r));
        // The few samples in doubt go to pow at once (no second pass).
        for (unsigned doubt = (unsigned char)~sure; doubt; doubt &= doubt - 1) {
            const int k = __builtin_ctz(doubt);
            p[i + k] = pow(std::fabs(p[i + k]), 1.5);
        }
    }
    for (; i < n; i++) {
        p[i] = three_halves_or_flag(std::fabs(p[i]));
        if (std::signbit(p[i])) p[i] = pow(std::fabs(p[i]), 1.5);
    }
}

}  // namespace

void abs_pow_three_halves(double *p, long n) {
    static const bool widest = __builtin_cpu_supports("avx512f");
    static const bool wide = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    if (widest) {
        flag_eight_at_a_time(p, n);
        return;
    }
    if (wide)
        flag_four_at_a_time(p, n);
    else
        for (long i = 0; i < n; i++) p[i] = three_halves_or_flag(std::fabs(p[i]));
    for (long i = 0; i < n; i++)
        if (std::signbit(p[i])) p[i] = pow(std::fabs(p[i]), 1.5);
}
