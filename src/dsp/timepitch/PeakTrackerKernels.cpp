#include "dsp/timepitch/PeakTrackerKernels.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>

#include "dsp/timepitch/AnalysisTuning.h"
#include "dsp/timepitch/ChannelCount.h"
#include "dsp/timepitch/VectorMath.h"

namespace brimo::timepitch::peakkernels {

using namespace analysis;

float powerPlain(const std::complex<float>* const* spectra, int channels, int from, int bins,
                 float* power, float loudest) {
    withChannels(channels, [&](auto count) {
        for (int k = from; k < bins; ++k) {
            float p = 0.0F;
            for (int c = 0; c < count; ++c) {
                p += std::norm(spectra[c][k]);
            }
            power[k] = p;
            loudest = std::max(loudest, p);
        }
    });
    return loudest;
}

__attribute__((target("avx2"))) float powerAvx2(const std::complex<float>* const* spectra,
                                                int channels, int bins, float* power) {
    __m256 loudest = _mm256_setzero_ps();
    int k = 0;
    for (; k + 8 <= bins; k += 8) {
        __m256 sum = _mm256_setzero_ps();
        for (int c = 0; c < channels; ++c) {
            const auto* z = reinterpret_cast<const float*>(spectra[c] + k);
            const __m256 lo = _mm256_loadu_ps(z);
            const __m256 hi = _mm256_loadu_ps(z + 8);
            // Bins 0 1 4 5 2 3 6 7: put in order once all channels are in.
            const __m256 norms = _mm256_hadd_ps(_mm256_mul_ps(lo, lo), _mm256_mul_ps(hi, hi));
            sum = c == 0 ? norms : _mm256_add_ps(sum, norms);
        }
        sum = _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(sum), 0xD8));
        _mm256_storeu_ps(power + k, sum);
        // A bin whose power is not a number is passed over, as std::max passes it over.
        loudest = _mm256_max_ps(sum, loudest);
    }
    alignas(32) float lanes[8];
    _mm256_store_ps(lanes, loudest);
    float most = 0.0F;
    for (const float lane : lanes) {
        most = std::max(most, lane);
    }
    return powerPlain(spectra, channels, k, bins, power, most);
}

inline bool isPeak(const float* p, int k, float floor) {
    return p[k] > floor && p[k] > p[k - 1] && p[k] >= p[k + 1] &&
           p[k] > (1.0F + kPeakProminence) * std::min(p[k - 1], p[k + 1]);
}

int peaksPlain(const float* p, int from, int to, float floor, std::int32_t* bins, int found) {
    for (int k = from; k < to; ++k) {
        if (isPeak(p, k, floor)) {
            bins[found++] = k;
        }
    }
    return found;
}

__attribute__((target("avx2"))) int peaksAvx2(const float* p, int from, int to, float floor,
                                              std::int32_t* bins) {
    const __m256 least = _mm256_set1_ps(floor);
    const __m256 prominence = _mm256_set1_ps(1.0F + kPeakProminence);
    int found = 0;
    int k = from;
    for (; k + 8 <= to; k += 8) {
        const __m256 here = _mm256_loadu_ps(p + k);
        const __m256 below = _mm256_loadu_ps(p + k - 1);
        const __m256 above = _mm256_loadu_ps(p + k + 1);
        const __m256 lower = _mm256_mul_ps(prominence, _mm256_min_ps(below, above));
        const __m256 peak = _mm256_and_ps(_mm256_and_ps(_mm256_cmp_ps(here, least, _CMP_GT_OQ),
                                                        _mm256_cmp_ps(here, below, _CMP_GT_OQ)),
                                          _mm256_and_ps(_mm256_cmp_ps(here, above, _CMP_GE_OQ),
                                                        _mm256_cmp_ps(here, lower, _CMP_GT_OQ)));
        auto mask = static_cast<unsigned>(_mm256_movemask_ps(peak));
        while (mask != 0) {
            bins[found++] = k + __builtin_ctz(mask);
            mask &= mask - 1;
        }
    }
    return peaksPlain(p, k, to, floor, bins, found);
}

// Four bins of one spectrum as their real and imaginary parts, in double precision.
__attribute__((target("avx2"))) inline void gatherBins(const std::complex<float>* s, const int* k,
                                                       __m256d& re, __m256d& im) {
    const auto at = [s](int bin) { return reinterpret_cast<const double*>(s + bin); };
    const __m128d low = _mm_loadh_pd(_mm_load_sd(at(k[0])), at(k[1]));
    const __m128d high = _mm_loadh_pd(_mm_load_sd(at(k[2])), at(k[3]));
    const __m256 parts = _mm256_permutevar8x32_ps(_mm256_castpd_ps(_mm256_set_m128d(high, low)),
                                                  _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7));
    re = _mm256_cvtps_pd(_mm256_castps256_ps128(parts));
    im = _mm256_cvtps_pd(_mm256_extractf128_ps(parts, 1));
}

// phaseOf() of four values at a time, operation for operation (no fused products: AVX2 alone),
// so the same bits.
__attribute__((target("avx2"))) inline __m256d phaseOfAvx2(__m256d re, __m256d im) {
    const __m256d zero = _mm256_setzero_pd();
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d sign = _mm256_set1_pd(-0.0);
    const __m256d sqrt3 = _mm256_set1_pd(std::numbers::sqrt3);
    const __m256d x = _mm256_andnot_pd(sign, re);
    const __m256d y = _mm256_andnot_pd(sign, im);
    const __m256d steep = _mm256_cmp_pd(y, x, _CMP_GT_OQ);
    const __m256d t = _mm256_div_pd(_mm256_blendv_pd(y, x, steep), _mm256_blendv_pd(x, y, steep));
    const __m256d reduced = _mm256_cmp_pd(t, _mm256_set1_pd(2.0 - std::numbers::sqrt3), _CMP_GT_OQ);
    const __m256d u = _mm256_blendv_pd(
        t, _mm256_div_pd(_mm256_sub_pd(_mm256_mul_pd(t, sqrt3), one), _mm256_add_pd(t, sqrt3)),
        reduced);
    const __m256d u2 = _mm256_mul_pd(u, u);
    __m256d series = _mm256_set1_pd(1.0 / 15.0);
    for (const double c : {1.0 / 13.0, 1.0 / 11.0, 1.0 / 9.0, 1.0 / 7.0, 1.0 / 5.0, 1.0 / 3.0}) {
        series = _mm256_sub_pd(_mm256_set1_pd(c), _mm256_mul_pd(u2, series));
    }
    __m256d angle = _mm256_add_pd(_mm256_mul_pd(u, _mm256_sub_pd(one, _mm256_mul_pd(u2, series))),
                                  _mm256_and_pd(reduced, _mm256_set1_pd(std::numbers::pi / 6.0)));
    angle = _mm256_blendv_pd(angle, _mm256_sub_pd(_mm256_set1_pd(std::numbers::pi / 2.0), angle),
                             steep);
    angle = _mm256_blendv_pd(angle, _mm256_sub_pd(_mm256_set1_pd(std::numbers::pi), angle),
                             _mm256_cmp_pd(re, zero, _CMP_LT_OQ));
    return _mm256_blendv_pd(angle, _mm256_xor_pd(angle, sign), _mm256_cmp_pd(im, zero, _CMP_LT_OQ));
}

// wrapPhase() of four values at a time, the same bits: floorOf() is a truncation, and values
// beyond 2^52 are whole, which the rounding keeps.
__attribute__((target("avx2"))) inline __m256d wrapPhaseAvx2(__m256d phase) {
    const __m256d twoPi = _mm256_set1_pd(kTwoPi);
    const __m256d turns = _mm256_add_pd(_mm256_div_pd(phase, twoPi), _mm256_set1_pd(0.5));
    const __m256d whole = _mm256_round_pd(turns, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
    const __m256d floor = _mm256_blendv_pd(whole, _mm256_sub_pd(whole, _mm256_set1_pd(1.0)),
                                           _mm256_cmp_pd(whole, turns, _CMP_GT_OQ));
    return _mm256_sub_pd(phase, _mm256_mul_pd(twoPi, floor));
}

__attribute__((target("avx2"))) int phaseFrequenciesAvx2(Partial* partials, int count,
                                                         const std::complex<float>* const* spectra,
                                                         const std::complex<float>* previous,
                                                         int bins, int channels, int hop,
                                                         int frameSize) {
    const __m256d zero = _mm256_setzero_pd();
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d sign = _mm256_set1_pd(-0.0);
    const __m256d twoPi = _mm256_set1_pd(kTwoPi);
    const __m256d hops = _mm256_set1_pd(static_cast<double>(hop));
    const __m256d frame = _mm256_set1_pd(static_cast<double>(frameSize));
    const __m256d binsPerRadian = _mm256_set1_pd(frameSize / (kTwoPi * hop));
    int j = 0;
    for (; j + 4 <= count; j += 4) {
        Partial* four = partials + j;
        const int k[4] = {four[0].peakBin, four[1].peakBin, four[2].peakBin, four[3].peakBin};
        __m256d crossRe = zero;
        __m256d crossIm = zero;
        for (int c = 0; c < channels; ++c) {
            __m256d ar;
            __m256d ai;
            __m256d br;
            __m256d bi;
            gatherBins(spectra[c], k, ar, ai);
            gatherBins(previous + static_cast<std::ptrdiff_t>(c) * bins, k, br, bi);
            crossRe =
                _mm256_add_pd(crossRe, _mm256_add_pd(_mm256_mul_pd(ar, br), _mm256_mul_pd(ai, bi)));
            crossIm =
                _mm256_add_pd(crossIm, _mm256_sub_pd(_mm256_mul_pd(ai, br), _mm256_mul_pd(ar, bi)));
        }
        // nu = k + wrapPhase(phaseOf(cross) − expected)·binsPerRadian
        const __m256d bin =
            _mm256_cvtepi32_pd(_mm_loadu_si128(reinterpret_cast<const __m128i*>(k)));
        const __m256d expected =
            _mm256_div_pd(_mm256_mul_pd(_mm256_mul_pd(twoPi, bin), hops), frame);
        const __m256d wrapped =
            wrapPhaseAvx2(_mm256_sub_pd(phaseOfAvx2(crossRe, crossIm), expected));
        const __m256d nu = _mm256_add_pd(bin, _mm256_mul_pd(wrapped, binsPerRadian));
        const __m256d shape =
            _mm256_setr_pd(four[0].bins, four[1].bins, four[2].bins, four[3].bins);
        const __m256d measured = _mm256_cmp_pd(_mm256_or_pd(crossRe, crossIm), zero, _CMP_NEQ_UQ);
        const __m256d near = _mm256_and_pd(
            measured,
            _mm256_cmp_pd(_mm256_andnot_pd(sign, _mm256_sub_pd(nu, bin)), one, _CMP_LE_OQ));
        const __m256d frequency = _mm256_blendv_pd(shape, nu, near);
        const __m256d advance =
            _mm256_div_pd(_mm256_mul_pd(_mm256_mul_pd(twoPi, frequency), hops), frame);
        const int noisy =
            _mm256_movemask_pd(_mm256_cmp_pd(_mm256_andnot_pd(sign, _mm256_sub_pd(nu, shape)),
                                             _mm256_set1_pd(kTonalAgreement), _CMP_GT_OQ));
        const int measuredLanes = _mm256_movemask_pd(measured);
        alignas(32) double frequencies[4];
        alignas(32) double advances[4];
        _mm256_store_pd(frequencies, frequency);
        _mm256_store_pd(advances, advance);
        for (int l = 0; l < 4; ++l) {
            four[l].bins = frequencies[l];
            four[l].advance = advances[l];
            if ((measuredLanes >> l & 1) != 0) {
                four[l].isNoise = (noisy >> l & 1) != 0;
            }
        }
    }
    return j;
}

// timesConjugate() of four pairs (parts of a and b, in single precision) added to re and im.
__attribute__((target("avx2"))) inline void addTimesConjugate(__m128 ar, __m128 ai, __m128 br,
                                                              __m128 bi, __m256d& re, __m256d& im) {
    const __m256d a = _mm256_cvtps_pd(ar);
    const __m256d b = _mm256_cvtps_pd(ai);
    const __m256d c = _mm256_cvtps_pd(br);
    const __m256d d = _mm256_cvtps_pd(bi);
    re = _mm256_add_pd(re, _mm256_add_pd(_mm256_mul_pd(a, c), _mm256_mul_pd(b, d)));
    im = _mm256_add_pd(im, _mm256_sub_pd(_mm256_mul_pd(b, c), _mm256_mul_pd(a, d)));
}

__attribute__((target("avx2"))) int refineStereoAvx2(Partial* partials, int count,
                                                     const std::complex<float>* amplitudes,
                                                     const Partial* previous,
                                                     const std::complex<float>* previousAmplitudes,
                                                     int hop, int frameSize, double gain,
                                                     bool updateFrequencies) {
    const __m256d zero = _mm256_setzero_pd();
    const __m256d sign = _mm256_set1_pd(-0.0);
    const __m256d half = _mm256_set1_pd(0.5);
    const __m256d twoPi = _mm256_set1_pd(kTwoPi);
    const __m256d hops = _mm256_set1_pd(static_cast<double>(hop));
    const __m256d frame = _mm256_set1_pd(static_cast<double>(frameSize));
    const __m256d binsPerRadian = _mm256_set1_pd(frameSize / (kTwoPi * hop));
    const auto amplitudesOf = [](const std::complex<float>* at) {
        return _mm_loadu_ps(reinterpret_cast<const float*>(at));
    };
    int j = 0;
    for (; j + 4 <= count; j += 4) {
        Partial* four = partials + j;
        const __m128i before =
            _mm_setr_epi32(four[0].previous, four[1].previous, four[2].previous, four[3].previous);
        // A new partial reads the first previous one's amplitudes, which it does not use.
        alignas(16) std::int32_t from[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(from),
                        _mm_max_epi32(before, _mm_setzero_si128()));
        // Each partial's two amplitudes, then channel by channel and part by part across the
        // four partials.
        __m128 re0 = amplitudesOf(amplitudes + 2 * j);
        __m128 im0 = amplitudesOf(amplitudes + 2 * j + 2);
        __m128 re1 = amplitudesOf(amplitudes + 2 * j + 4);
        __m128 im1 = amplitudesOf(amplitudes + 2 * j + 6);
        _MM_TRANSPOSE4_PS(re0, im0, re1, im1);
        __m128 thenRe0 = amplitudesOf(previousAmplitudes + 2 * from[0]);
        __m128 thenIm0 = amplitudesOf(previousAmplitudes + 2 * from[1]);
        __m128 thenRe1 = amplitudesOf(previousAmplitudes + 2 * from[2]);
        __m128 thenIm1 = amplitudesOf(previousAmplitudes + 2 * from[3]);
        _MM_TRANSPOSE4_PS(thenRe0, thenIm0, thenRe1, thenIm1);
        // cross = Σ timesConjugate(now, then), from zero.
        __m256d crossRe = zero;
        __m256d crossIm = zero;
        addTimesConjugate(re0, im0, thenRe0, thenIm0, crossRe, crossIm);
        addTimesConjugate(re1, im1, thenRe1, thenIm1, crossRe, crossIm);
        const __m256d followed =
            _mm256_castsi256_pd(_mm256_cvtepi32_epi64(_mm_cmpgt_epi32(before, _mm_set1_epi32(-1))));
        const __m256d measured =
            _mm256_and_pd(followed, _mm256_or_pd(_mm256_cmp_pd(crossRe, zero, _CMP_NEQ_UQ),
                                                 _mm256_cmp_pd(crossIm, zero, _CMP_NEQ_UQ)));
        const __m256d bins = _mm256_setr_pd(four[0].bins, four[1].bins, four[2].bins, four[3].bins);
        const __m256d expected =
            _mm256_div_pd(_mm256_mul_pd(_mm256_mul_pd(twoPi, bins), hops), frame);
        const __m256d advance = _mm256_blendv_pd(
            expected,
            _mm256_add_pd(expected,
                          wrapPhaseAvx2(_mm256_sub_pd(phaseOfAvx2(crossRe, crossIm), expected))),
            measured);
        alignas(32) double advances[4];
        _mm256_store_pd(advances, advance);
        for (int l = 0; l < 4; ++l) {
            four[l].advance = advances[l];
        }
        if (!updateFrequencies) {
            continue;
        }
        const __m256d nu = _mm256_mul_pd(advance, binsPerRadian);
        const auto update = static_cast<unsigned>(_mm256_movemask_pd(_mm256_and_pd(
            measured,
            _mm256_cmp_pd(_mm256_andnot_pd(sign, _mm256_sub_pd(nu, bins)), half, _CMP_LT_OQ))));
        if (update == 0) {
            continue;
        }
        const __m256d then = _mm256_setr_pd(previous[from[0]].bins, previous[from[1]].bins,
                                            previous[from[2]].bins, previous[from[3]].bins);
        const __m256d fromThen = _mm256_sub_pd(nu, then);
        const __m256d moved =
            _mm256_blendv_pd(nu, _mm256_add_pd(then, _mm256_mul_pd(_mm256_set1_pd(gain), fromThen)),
                             _mm256_cmp_pd(_mm256_andnot_pd(sign, fromThen), half, _CMP_LT_OQ));
        const auto far = static_cast<unsigned>(
            _mm256_movemask_pd(_mm256_cmp_pd(_mm256_andnot_pd(sign, _mm256_sub_pd(moved, bins)),
                                             _mm256_set1_pd(kRefitBins), _CMP_GT_OQ)));
        alignas(32) double frequencies[4];
        _mm256_store_pd(frequencies, moved);
        for (int l = 0; l < 4; ++l) {
            if ((update >> l & 1U) != 0) {
                four[l].bins = frequencies[l];
                four[l].moved = (far >> l & 1U) != 0;
            }
        }
    }
    return j;
}

__attribute__((target("avx2,fma"))) int shapeFrequenciesAvx2(Partial* partials, int count,
                                                             const float* power,
                                                             const std::int32_t* bins) {
    const __m256 least = _mm256_set1_ps(std::numeric_limits<float>::min());
    const __m256d zero = _mm256_setzero_pd();
    const __m256d half = _mm256_set1_pd(0.5);
    int j = 0;
    for (; j + 8 <= count; j += 8) {
        const __m256i k = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bins + j));
        const __m256 peak = _mm256_i32gather_ps(power, k, 4);
        const __m256 lower = _mm256_i32gather_ps(power - 1, k, 4);
        const __m256 upper = _mm256_i32gather_ps(power + 1, k, 4);
        // A peak and its neighbours are numbers (a comparison with one that is not fails the
        // peak test), so the ratios are in [0, 1].
        const __m256 below =
            vectormath::logPositive(_mm256_max_ps(least, _mm256_div_ps(lower, peak)));
        const __m256 above =
            vectormath::logPositive(_mm256_max_ps(least, _mm256_div_ps(upper, peak)));
        const __m256 sum = _mm256_add_ps(below, above);
        const __m256 difference = _mm256_sub_ps(below, above);
        alignas(32) double frequencies[8];
        for (int h = 0; h < 2; ++h) {
            const __m256d curvature = _mm256_cvtps_pd(h == 0 ? _mm256_castps256_ps128(sum)
                                                             : _mm256_extractf128_ps(sum, 1));
            const __m256d spread = _mm256_cvtps_pd(h == 0 ? _mm256_castps256_ps128(difference)
                                                          : _mm256_extractf128_ps(difference, 1));
            const __m256d step =
                _mm256_and_pd(_mm256_cmp_pd(curvature, zero, _CMP_LT_OQ),
                              _mm256_div_pd(_mm256_mul_pd(half, spread), curvature));
            const __m256d bin = _mm256_cvtepi32_pd(h == 0 ? _mm256_castsi256_si128(k)
                                                          : _mm256_extracti128_si256(k, 1));
            _mm256_store_pd(frequencies + 4 * h, _mm256_add_pd(bin, step));
        }
        for (int l = 0; l < 8; ++l) {
            partials[j + l].bins = frequencies[l];
        }
    }
    return j;
}

__attribute__((target("avx2"))) void crowdedAvx2(Partial* partials, int count,
                                                 const std::int32_t* bins) {
    const __m256i reach = _mm256_set1_epi32(kCrowdReach);
    const __m256i one = _mm256_set1_epi32(1);
    for (int j = 0; j < count; j += 8) {
        const __m256i here = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bins + j));
        // first > lowest - 1 and last < highest + 1: within reach of the peak.
        const __m256i lowest = _mm256_sub_epi32(_mm256_sub_epi32(here, reach), one);
        const __m256i highest = _mm256_add_epi32(_mm256_add_epi32(here, reach), one);
        __m256i crowded = _mm256_setzero_si256();
        for (int o = 0; o <= kCrowdPeaks; ++o) {
            const __m256i first =
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bins + j - o));
            const __m256i last =
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bins + j - o + kCrowdPeaks));
            crowded = _mm256_or_si256(crowded, _mm256_and_si256(_mm256_cmpgt_epi32(first, lowest),
                                                                _mm256_cmpgt_epi32(highest, last)));
        }
        const auto mask = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(crowded)));
        const int lanes = std::min(8, count - j);
        for (int l = 0; l < lanes; ++l) {
            partials[j + l].isCrowded = (mask >> l & 1U) != 0;
        }
    }
}

static_assert(sizeof(Partial) == 64);
__attribute__((target("avx2"))) void moveStereoAvx2(const Partial* partials,
                                                    const std::complex<float>* amplitudes,
                                                    const std::int32_t* order, int count,
                                                    Partial* to,
                                                    std::complex<float>* amplitudesTo) {
#pragma GCC unroll 4
    for (int i = 0; i < count; ++i) {
        const auto* from = reinterpret_cast<const __m256i*>(partials + order[i]);
        auto* into = reinterpret_cast<__m256i*>(to + i);
        const __m256i low = _mm256_loadu_si256(from);
        const __m256i high = _mm256_loadu_si256(from + 1);
        _mm256_storeu_si256(into, low);
        _mm256_storeu_si256(into + 1, high);
        _mm_storeu_ps(reinterpret_cast<float*>(amplitudesTo + 2 * i),
                      _mm_loadu_ps(reinterpret_cast<const float*>(amplitudes + 2 * order[i])));
    }
}

}  // namespace brimo::timepitch::peakkernels
