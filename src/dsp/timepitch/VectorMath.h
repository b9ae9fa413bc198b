#pragma once

#include <immintrin.h>

#include <cstdint>

// Logarithms, sines and cosines eight floats at a time on the AVX2 + FMA loops, for the analysis
// and the shifter to take inline where they would otherwise call the library once a value.
// Both work in double precision within and round once, so they come out within about half an
// ulp of the exact values, as the library's single-precision functions do; the plain loops keep
// calling the library.
namespace brimo::timepitch::vectormath {

// Beyond this many radians the sines and cosines are left to the library, lane by lane (phase
// offsets are wrapped to ±π: they never get there). Up to it a double π/2 in two parts reduces
// any float to well within a float's precision.
inline constexpr float kSinCosReach = 1048576.0F;

namespace detail {

// The lower and upper four floats of v in double precision.
__attribute__((target("avx2,fma"))) inline __m256d lowerHalf(__m256 v) {
    return _mm256_cvtps_pd(_mm256_castps256_ps128(v));
}
__attribute__((target("avx2,fma"))) inline __m256d upperHalf(__m256 v) {
    return _mm256_cvtps_pd(_mm256_extractf128_ps(v, 1));
}
__attribute__((target("avx2,fma"))) inline __m256 joined(__m256d lower, __m256d upper) {
    return _mm256_set_m128(_mm256_cvtpd_ps(upper), _mm256_cvtpd_ps(lower));
}

// ln m for m in [√½, √2) and e·ln 2 added: with s = (m − 1)/(m + 1), ln m = 2·atanh s =
// 2s·(1 + s²/3 + s⁴/5 + …), and |s| ≤ 0.1716 makes the terms past s¹⁰/11 smaller than 1e-10
// of the sum.
__attribute__((target("avx2,fma"))) inline __m256d logOfMantissa(__m256d m, __m256d e) {
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d s = _mm256_div_pd(_mm256_sub_pd(m, one), _mm256_add_pd(m, one));
    const __m256d z = _mm256_mul_pd(s, s);
    __m256d series = _mm256_set1_pd(1.0 / 11.0);
    constexpr double kTerms[] = {1.0 / 9.0, 1.0 / 7.0, 1.0 / 5.0, 1.0 / 3.0};
    for (const double c : kTerms) {
        series = _mm256_fmadd_pd(series, z, _mm256_set1_pd(c));
    }
    const __m256d twice = _mm256_add_pd(s, s);
    const __m256d logM = _mm256_fmadd_pd(_mm256_mul_pd(twice, z), series, twice);
    return _mm256_fmadd_pd(e, _mm256_set1_pd(0.693147180559945309417232121458176568), logM);
}

// sin r and cos r for |r| ≤ π/4 (a little beyond does no harm): their Taylor series, whose
// first terms left out are below 1e-11 and 1e-10 of the values there.
__attribute__((target("avx2,fma"))) inline void sinCosNear(__m256d r, __m256d& sine,
                                                           __m256d& cosine) {
    const __m256d z = _mm256_mul_pd(r, r);
    // ±1/n! for n = 3 … 12, with the signs the two series give them.
    constexpr double kInverse[] = {
        -1.0 / 6.0,    1.0 / 24.0,     1.0 / 120.0,      -1.0 / 720.0,      -1.0 / 5040.0,
        1.0 / 40320.0, 1.0 / 362880.0, -1.0 / 3628800.0, -1.0 / 39916800.0, 1.0 / 479001600.0,
    };
    __m256d s = _mm256_set1_pd(kInverse[8]);
    __m256d c = _mm256_set1_pd(kInverse[9]);
    for (int n = 6; n >= 0; n -= 2) {
        s = _mm256_fmadd_pd(s, z, _mm256_set1_pd(kInverse[n]));
        c = _mm256_fmadd_pd(c, z, _mm256_set1_pd(kInverse[n + 1]));
    }
    c = _mm256_fmadd_pd(c, z, _mm256_set1_pd(-0.5));
    // r·(1 + …) rather than r + r·(…), which would turn −0 into +0.
    sine = _mm256_mul_pd(r, _mm256_fmadd_pd(z, s, _mm256_set1_pd(1.0)));
    cosine = _mm256_fmadd_pd(z, c, _mm256_set1_pd(1.0));
}

// x − k·π/2 for the nearest whole k, and k as a 32-bit integer.
__attribute__((target("avx2,fma"))) inline __m256d reduced(__m256d x, __m128i& k) {
    // π/2 as the nearest double and what it leaves out.
    const __m256d high = _mm256_set1_pd(1.57079632679489655800e+00);
    const __m256d low = _mm256_set1_pd(6.12323399573676603587e-17);
    const __m256d quarters =
        _mm256_round_pd(_mm256_mul_pd(x, _mm256_set1_pd(0.636619772367581343075535053490057448)),
                        _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    k = _mm256_cvtpd_epi32(quarters);
    const __m256d r = _mm256_fnmadd_pd(quarters, low, _mm256_fnmadd_pd(quarters, high, x));
    // Within the first quarter x itself, so that −0 keeps its sign.
    return _mm256_blendv_pd(r, x, _mm256_cmp_pd(quarters, _mm256_setzero_pd(), _CMP_EQ_OQ));
}

}  // namespace detail

// ln x for eight positive normal floats x (what is neither gives no number in particular).
__attribute__((target("avx2,fma"))) inline __m256 logPositive(__m256 x) {
    // x = 2^e·m with m in [√½, √2): the exponent is what lies above the mantissa once the bits
    // of √½ are taken off.
    const __m256i bits = _mm256_castps_si256(x);
    const __m256i e = _mm256_srai_epi32(_mm256_sub_epi32(bits, _mm256_set1_epi32(0x3F3504F3)), 23);
    const __m256 m = _mm256_castsi256_ps(_mm256_sub_epi32(bits, _mm256_slli_epi32(e, 23)));
    const __m256d lower =
        detail::logOfMantissa(detail::lowerHalf(m), _mm256_cvtepi32_pd(_mm256_castsi256_si128(e)));
    const __m256d upper = detail::logOfMantissa(detail::upperHalf(m),
                                                _mm256_cvtepi32_pd(_mm256_extracti128_si256(e, 1)));
    return detail::joined(lower, upper);
}

// sin x and cos x for eight floats of magnitude at most kSinCosReach.
__attribute__((target("avx2,fma"))) inline void sinCosWithinReach(__m256 x, __m256& sine,
                                                                  __m256& cosine) {
    __m128i kLower;
    __m128i kUpper;
    __m256d sLower;
    __m256d cLower;
    __m256d sUpper;
    __m256d cUpper;
    detail::sinCosNear(detail::reduced(detail::lowerHalf(x), kLower), sLower, cLower);
    detail::sinCosNear(detail::reduced(detail::upperHalf(x), kUpper), sUpper, cUpper);
    const __m256 s = detail::joined(sLower, sUpper);
    const __m256 c = detail::joined(cLower, cUpper);
    // By the quarter turn k: (sin, cos) = (s, c), (c, −s), (−s, −c), (−c, s).
    const __m256i k = _mm256_set_m128i(kUpper, kLower);
    const __m256 odd = _mm256_castsi256_ps(
        _mm256_cmpeq_epi32(_mm256_and_si256(k, _mm256_set1_epi32(1)), _mm256_set1_epi32(1)));
    const __m256i two = _mm256_set1_epi32(2);
    const __m256 sineSign = _mm256_castsi256_ps(_mm256_slli_epi32(_mm256_and_si256(k, two), 30));
    const __m256 cosineSign = _mm256_castsi256_ps(
        _mm256_slli_epi32(_mm256_and_si256(_mm256_add_epi32(k, _mm256_set1_epi32(1)), two), 30));
    sine = _mm256_xor_ps(_mm256_blendv_ps(s, c, odd), sineSign);
    cosine = _mm256_xor_ps(_mm256_blendv_ps(c, s, odd), cosineSign);
}

// Whether every lane of x is within kSinCosReach (no lane is infinite or not a number).
__attribute__((target("avx2,fma"))) inline bool allWithinReach(__m256 x) {
    const __m256 magnitude = _mm256_andnot_ps(_mm256_set1_ps(-0.0F), x);
    return _mm256_movemask_ps(_mm256_cmp_ps(magnitude, _mm256_set1_ps(kSinCosReach), _CMP_LE_OQ)) ==
           0xFF;
}

// The same over arrays, the library for the lanes out of reach and for the tail; AVX2 + FMA
// only. For batches outside the loops and for the tests.
void logs(const float* x, float* out, int count);
void sinCosines(const float* x, float* sine, float* cosine, int count);

}  // namespace brimo::timepitch::vectormath
