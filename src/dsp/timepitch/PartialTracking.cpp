#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>
#include <type_traits>

#include "dsp/timepitch/AnalysisTuning.h"
#include "dsp/timepitch/ChannelCount.h"
#include "dsp/timepitch/PartialAnalyzer.h"
#include "dsp/timepitch/VectorMath.h"

namespace brimo::timepitch {

using namespace analysis;

namespace {

// Each bin's power summed over the channels into power[k] for k in [from, bins); returns the
// loudest. The plain loop, and the tail of the vector one.
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

// The same sums eight bins at a time: re² + im² as one horizontal add (the same two products
// and one sum, the operands swapped), channels added in order; no fused products, so the bits
// are the plain loop's.
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

// The bins k in [from, to) that hold peaks, in order, into bins[found…]; returns the new count.
int peaksPlain(const float* p, int from, int to, float floor, std::int32_t* bins, int found) {
    for (int k = from; k < to; ++k) {
        if (isPeak(p, k, floor)) {
            bins[found++] = k;
        }
    }
    return found;
}

// The same tests eight bins at a time (a bin beside one that is not a number is no peak on
// either: every comparison with it is false).
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

// PartialAnalyzer::frequencyFromPhase() and the phase advance for four peaks at a time, with
// phaseOf() and wrapPhase() operation for operation (no fused products: AVX2 alone), so the
// same bits. Each peak's shape frequency is in its bins. Returns how many peaks it did.
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

// PartialAnalyzer::refineFromPhaseAdvance() for four fitted partials of a stereo frame at a
// time, operation for operation as the plain loop (products and sums in its order, no fused
// ones), so the same bits. Returns how many partials it did.
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

// PartialAnalyzer::frequencyFromShape() for eight peaks at a time, whose bins are bins[0…count),
// into their partials; returns how many it did. The same ratios, sums and quotient; the
// logarithms are vectormath's, so a frequency may differ from the plain loops' in its last
// bits.
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

// PartialAnalyzer::markCrowded() for eight peaks at a time. A peak j has at least kCrowdPeaks
// others within kCrowdReach bins exactly when one of the runs of kCrowdPeaks + 1 peaks that
// hold it, starting at j - kCrowdPeaks … j, lies within reach on both sides; the peaks' bins
// rise, so that is the window test of the plain loop. `bins` reads kCrowdPeaks + 1 entries
// before the list and 2 · kCrowdPeaks + 2 after its last peak, which hold bins out of reach.
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

// PartialAnalyzer::movePartials() for stereo: each partial (a whole number of vectors) and its
// two amplitudes in whole vectors, not piece by piece.
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

// std::merge of the index lists a and b by key(), ties taken from a first, into out; returns
// whether out is in order, as std::is_sorted would find it. One pass: each key is read once,
// and the order is checked on the keys at hand.
template <typename Key>
bool mergeInOrder(const std::int32_t* a, int aCount, const std::int32_t* b, int bCount,
                  std::int32_t* out, Key key) {
    using Value = decltype(key(0));
    static_assert(std::numeric_limits<Value>::has_infinity || std::is_integral_v<Value>);
    // Below every key, so the first one taken is in order (whatever it is, as for is_sorted).
    Value last = std::numeric_limits<Value>::has_infinity ? -std::numeric_limits<Value>::infinity()
                                                          : std::numeric_limits<Value>::lowest();
    bool inOrder = true;
    const auto take = [&](std::int32_t index, Value at) {
        inOrder &= !(at < last);
        last = at;
        *out++ = index;
    };
    int i = 0;
    int j = 0;
    if (aCount > 0 && bCount > 0) {
        Value fromA = key(a[0]);
        Value fromB = key(b[0]);
        for (;;) {
            if (fromB < fromA) {
                take(b[j], fromB);
                if (++j == bCount) {
                    break;
                }
                fromB = key(b[j]);
            } else {
                take(a[i], fromA);
                if (++i == aCount) {
                    break;
                }
                fromA = key(a[i]);
            }
        }
    }
    for (; i < aCount; ++i) {
        take(a[i], key(a[i]));
    }
    for (; j < bCount; ++j) {
        take(b[j], key(b[j]));
    }
    return inOrder;
}

}  // namespace

void PartialAnalyzer::findPeaks(const std::complex<float>* const* spectra) {
    const float loudest = vectorLoops_
                              ? powerAvx2(spectra, channels_, bins_, power_.data())
                              : powerPlain(spectra, channels_, 0, bins_, power_.data(), 0.0F);
    loudest_ = loudest;
    // −140 dBFS for a sinusoid: below the noise of any real source.
    const double quarter = 1e-7 * frameSize_ / 4.0;
    const auto floor = static_cast<float>(
        std::max(static_cast<double>(loudest) * kRelativeFloor, channels_ * quarter * quarter));
    // Room is kept for partials without peaks of their own; beyond it the weakest peaks go.
    const int maxPeaks = maxPartials_ * 2 / 3;
    const float* p = power_.data();
    std::int32_t* peaks = peakBins();
    int found = vectorLoops_ ? peaksAvx2(p, 2, bins_ - 3, floor, peaks)
                             : peaksPlain(p, 2, bins_ - 3, floor, peaks, 0);
    if (found > maxPeaks) {
        std::nth_element(peaks, peaks + maxPeaks, peaks + found,
                         [p](int a, int b) { return p[a] > p[b]; });
        found = maxPeaks;
        std::sort(peaks, peaks + found);
    }
    for (int j = 0; j < found; ++j) {
        cur_->partials[static_cast<std::size_t>(j)] = Partial{.peakBin = peaks[j]};
    }
    cur_->count = found;
}

void PartialAnalyzer::estimateFrequencies(const std::complex<float>* const* spectra, int hop) {
    // From the shape of each peak first, eight at a time with AVX2 (the peaks' bins are still
    // in peakBins(), in the partials' order); then, with AVX2, four peaks' phase advances at a
    // time.
    int shaped = 0;
    if (vectorLoops_) {
        shaped =
            shapeFrequenciesAvx2(cur_->partials.data(), cur_->count, power_.data(), peakBins());
    }
    for (int j = shaped; j < cur_->count; ++j) {
        Partial& partial = cur_->partials[static_cast<std::size_t>(j)];
        partial.bins = frequencyFromShape(partial.peakBin);
    }
    int done = 0;
    if (hasPrevious_ && vectorLoops_) {
        done = phaseFrequenciesAvx2(cur_->partials.data(), cur_->count, spectra,
                                    prev_->spectra.data(), bins_, channels_, hop, frameSize_);
    }
    for (int j = done; j < cur_->count; ++j) {
        Partial& partial = cur_->partials[static_cast<std::size_t>(j)];
        if (hasPrevious_) {
            frequencyFromPhase(partial, spectra, hop);
        }
        partial.advance = kTwoPi * partial.bins * hop / frameSize_;
    }
}

double PartialAnalyzer::frequencyFromShape(int k) const {
    // A parabola through the logarithms of the peak's power (two logarithms, of the neighbours'
    // ratios to the peak, in single precision as the power itself). A peak is at least as strong
    // as its neighbours, so the ratios are at most one; taken at least as the least normal
    // number, they stay finite next to a bin of no power, however loud the peak.
    const float* p = power_.data() + k;
    constexpr float kLeast = std::numeric_limits<float>::min();
    const float below = std::log(std::max(p[-1] / p[0], kLeast));
    const float above = std::log(std::max(p[1] / p[0], kLeast));
    const auto curvature = static_cast<double>(below + above);
    return k + (curvature < 0.0 ? 0.5 * static_cast<double>(below - above) / curvature : 0.0);
}

void PartialAnalyzer::frequencyFromPhase(Partial& partial,
                                         const std::complex<float>* const* spectra, int hop) const {
    // The phase advance of the peak bin since the previous frame is exact for a steady partial
    // that dominates its bin. Where it and the shape (in partial.bins) disagree, the peak is
    // noise.
    const int k = partial.peakBin;
    const double fromShape = partial.bins;
    std::complex<double> cross;
    withChannels(channels_, [&](auto channels) {
        for (int ch = 0; ch < channels; ++ch) {
            cross += timesConjugate(spectra[ch][k], prev_->spectra[spectrumIndex(ch, k)]);
        }
    });
    if (!isZero(cross)) {
        const double binsPerRadian = frameSize_ / (kTwoPi * hop);
        const double expected = kTwoPi * k * hop / frameSize_;
        const double nu = k + wrapPhase(phaseOf(cross) - expected) * binsPerRadian;
        if (std::abs(nu - k) <= 1.0) {
            partial.bins = nu;
        }
        partial.isNoise = std::abs(nu - fromShape) > kTonalAgreement;
    }
}

void PartialAnalyzer::markCrowded() {
    // Noise has peaks every few bins; close partials of music, whose peaks merge and so look
    // like noise too, have far fewer around them. The peaks are in order of their bins, so the
    // peaks within reach of each one form a window that only moves up.
    const int count = cur_->count;
    Partial* partials = cur_->partials.data();
    if (vectorLoops_) {
        // The peaks' bins are still in peakBins(), in the partials' order; the entries around
        // them read as out of reach.
        std::int32_t* bins = peakBins();
        std::fill(bins - kPeakBinsRoom, bins, std::numeric_limits<std::int32_t>::min() / 2);
        std::fill(bins + count, bins + count + kPeakBinsRoom,
                  std::numeric_limits<std::int32_t>::max() / 2);
        crowdedAvx2(partials, count, bins);
        return;
    }
    int below = 0;
    int above = 0;
    for (int j = 0; j < count; ++j) {
        Partial& partial = partials[j];
        while (partials[below].peakBin < partial.peakBin - kCrowdReach) {
            ++below;
        }
        while (above + 1 < count && partials[above + 1].peakBin <= partial.peakBin + kCrowdReach) {
            ++above;
        }
        partial.isCrowded = above - below >= kCrowdPeaks;
    }
}

void PartialAnalyzer::matchPrevious() {
    // Both lists are in frequency order; each current partial takes the nearest free previous
    // one within a bin, which follows any partial that glides by less than a bin per frame.
    // Through plain pointers: the flags' byte stores would otherwise make every step reload
    // the lists.
    const int count = cur_->count;
    Partial* partials = cur_->partials.data();
    const int previousCount = prev_->count;
    const Partial* previousPartials = prev_->partials.data();
    char* taken = taken_.data();
    std::fill(taken, taken + previousCount, 0);
    // Among many peaks (noise has one every few bins) a peak is fitted only when its shape and
    // phase advance agreed in this frame and the one before, or the fit explained it lately;
    // elsewhere every peak is (close partials of music merge into peaks that look like noise).
    // A followed partial starts from where it was: the peak of a lobe shared with a close
    // neighbour says little about either, and the phase advance corrects a glide.
    markCrowded();
    int i = 0;
    int lastTaken = -1;
    for (int j = 0; j < count; ++j) {
        Partial& partial = partials[j];
        const double nu = partial.bins;
        while (i < previousCount && previousPartials[i].bins < nu - 1.0) {
            ++i;
        }
        // The previous ones rise: past the first at or above nu, each is farther than the one
        // before (and one more than a bin above is never nearer than a bin).
        int best = -1;
        double bestDistance = 1.0;
        for (int t = std::max(i, lastTaken + 1); t < previousCount; ++t) {
            const double then = previousPartials[t].bins;
            const double d = std::abs(then - nu);
            if (d < bestDistance) {
                bestDistance = d;
                best = t;
            }
            if (then >= nu) {
                break;
            }
        }
        partial.previous = best;
        const Partial* previous = nullptr;
        if (best >= 0) {
            lastTaken = best;
            taken[best] = 1;
            previous = &previousPartials[best];
        }
        const bool explained =
            previous != nullptr && previous->hasFitted && previous->misfits <= kGraceFrames;
        const bool steady = !partial.isNoise && previous != nullptr && !previous->isNoise;
        partial.isNoise = partial.isCrowded && !steady && !explained;
        if (previous != nullptr && !partial.isNoise) {
            partial.bins = previous->bins;
        }
    }
}

inline void PartialAnalyzer::occupy(Occupancy* occupied, int lastEntry, std::int64_t stamp,
                                    double bins) {
    // Bin b's entry is at b + 1; partials outside the band share the two end entries, which
    // no partial being added looks at.
    // Frequencies are hardly ever negative: truncation is their floor, without the library's.
    const int whole = bins >= 0.0 ? static_cast<int>(bins) : static_cast<int>(std::floor(bins));
    Occupancy& entry = occupied[std::clamp(whole + 1, 0, lastEntry)];
    if (entry.stamp != stamp) {
        entry = {stamp, bins, bins};
    } else {
        entry.lowest = std::min(entry.lowest, bins);
        entry.highest = std::max(entry.highest, bins);
    }
}

void PartialAnalyzer::markOccupied() {
    const std::int64_t stamp = ++occupancyStamp_;
    Occupancy* occupied = occupied_.data();
    const int lastEntry = bins_ + 1;
    const Partial* partials = cur_->partials.data();
    const int count = cur_->count;
    for (int j = 0; j < count; ++j) {
        occupy(occupied, lastEntry, stamp, partials[j].bins);
    }
}

void PartialAnalyzer::markOccupied(double bins) {
    occupy(occupied_.data(), bins_ + 1, occupancyStamp_, bins);
}

void PartialAnalyzer::addPartial(double bins, std::int32_t previous) {
    if (cur_->count >= maxPartials_ || bins < 1.0 || bins > bins_ - 2.0) {
        return;
    }
    // Only partials in the same whole bin or the two beside it can lie within kSameBins (one
    // bin): any in its own bin does, and of those beside it the nearest ones decide.
    static_assert(kSameBins == 1.0);
    const auto index = static_cast<std::size_t>(std::floor(bins)) + 1;
    const Occupancy& below = occupied_[index - 1];
    const Occupancy& same = occupied_[index];
    const Occupancy& above = occupied_[index + 1];
    if (same.stamp == occupancyStamp_ ||
        (below.stamp == occupancyStamp_ && bins - below.highest < kSameBins) ||
        (above.stamp == occupancyStamp_ && above.lowest - bins < kSameBins)) {
        return;
    }
    cur_->partials[static_cast<std::size_t>(cur_->count++)] =
        Partial{.bins = bins, .previous = previous};
    markOccupied(bins);
}

void PartialAnalyzer::continueHidden() {
    // A partial that the fit explained last frame but that has no peak now (a louder neighbour
    // swallowed it) is looked for where it was.
    markOccupied();
    double loudest = 0.0;
    withChannels(channels_, [&](auto channels) {
        for (int q = 0; q < prev_->count; ++q) {
            double own = 0.0;
            for (int c = 0; c < channels; ++c) {
                own += std::norm(prev_->amplitudes[amplitudeIndex(q, c)]);
            }
            loudest = std::max(loudest, own);
        }
    });
    for (int q = 0; q < prev_->count; ++q) {
        const Partial& previous = prev_->partials[static_cast<std::size_t>(q)];
        if (taken_[static_cast<std::size_t>(q)] != 0 || previous.misfits > kGraceFrames ||
            !previous.hasFitted || (previous.age < kSettledFrames && !previous.fitsWell)) {
            continue;
        }
        double own = 0.0;
        for (int c = 0; c < channels_; ++c) {
            own += std::norm(prev_->amplitudes[amplitudeIndex(q, c)]);
        }
        if (own >= kHiddenFloor * loudest) {
            addPartial(previous.bins, q);
        }
    }
    sortPartials();
}

void PartialAnalyzer::sortPartials() {
    // Partials to fit first, in order of frequency; noise peaks after them. Their amplitudes go
    // with them, so groups whose members stay together keep their fits. The partials come as a
    // few runs already in order (peaks, then followed or found ones), so merging is enough.
    int fitted = 0;
    int noise = 0;
    const int count = cur_->count;
    const Partial* partials = cur_->partials.data();
    // Through plain pointers: stores through the lists' own would make every pass reload them.
    std::int32_t* noisy = inverse_.data();
    std::int32_t* toFit = order_.data();
    for (int j = 0; j < count; ++j) {
        if (partials[j].isNoise) {
            noisy[noise++] = j;
        } else {
            toFit[fitted++] = j;
        }
    }
    const auto byFrequency = [partials](std::int32_t a, std::int32_t b) {
        return partials[a].bins < partials[b].bins;
    };
    const auto first = order_.begin();
    const auto end = first + fitted;
    const auto split = std::is_sorted_until(first, end, byFrequency);
    const auto sorted = merged_.begin();
    if (std::is_sorted(split, end, byFrequency)) {
        std::merge(first, split, split, end, sorted, byFrequency);
    } else {
        std::copy(first, end, sorted);
        std::sort(sorted, sorted + fitted, byFrequency);
    }
    std::copy(inverse_.begin(), inverse_.begin() + noise, sorted + fitted);
    movePartials(merged_.data(), count);
    // The scratch lists are as long as the frame's: they become them.
    cur_->partials.swap(scratch_);
    cur_->amplitudes.swap(amplitudeScratch_);
    cur_->fitCount = fitted;
}

void PartialAnalyzer::movePartials(const std::int32_t* order, int count) {
    // A partial's amplitudes lie side by side, one per channel: they move as one block.
    const Partial* partials = cur_->partials.data();
    const std::complex<float>* amplitudes = cur_->amplitudes.data();
    Partial* to = scratch_.data();
    std::complex<float>* amplitudesTo = amplitudeScratch_.data();
    if (vectorLoops_ && channels_ == 2) {
        moveStereoAvx2(partials, amplitudes, order, count, to, amplitudesTo);
        return;
    }
    withChannels(channels_, [&](auto channels) {
        const auto block = sizeof(std::complex<float>) * static_cast<std::size_t>(channels);
        for (int i = 0; i < count; ++i) {
            const std::int32_t j = order[i];
            to[i] = partials[j];
            std::memcpy(amplitudesTo + static_cast<std::size_t>(i) * channels,
                        amplitudes + static_cast<std::size_t>(j) * channels, block);
        }
    });
}

void PartialAnalyzer::mergeByFrequency(const std::int32_t* a, int aCount, const std::int32_t* b,
                                       int bCount, std::int32_t* out, bool byPeak) const {
    const auto mergeBy = [&](auto key) {
        if (!mergeInOrder(a, aCount, b, bCount, out, key)) {
            // Frequencies stay within a bin of their peaks, so rarely the two orders differ.
            std::sort(out, out + aCount + bCount,
                      [key](std::int32_t x, std::int32_t y) { return key(x) < key(y); });
        }
    };
    // The key chosen once, not in every comparison.
    const Partial* partials = cur_->partials.data();
    if (byPeak) {
        mergeBy([partials](std::int32_t x) { return partials[x].peakBin; });
    } else {
        mergeBy([partials](std::int32_t x) { return partials[x].bins; });
    }
}

void PartialAnalyzer::refineFromPhaseAdvance(int hop, bool updateFrequencies) {
    const double binsPerRadian = frameSize_ / (kTwoPi * hop);
    // A phase error turns into a frequency error inversely proportional to the hop; below an
    // eighth of the frame the measurements are averaged over about that span instead.
    const double gain = std::min(1.0, 8.0 * hop / frameSize_);
    int done = 0;
    if (vectorLoops_ && channels_ == 2) {
        done = refineStereoAvx2(cur_->partials.data(), cur_->fitCount, cur_->amplitudes.data(),
                                prev_->partials.data(), prev_->amplitudes.data(), hop, frameSize_,
                                gain, updateFrequencies);
    }
    withChannels(channels_, [&](auto channels) {
        for (int j = done; j < cur_->fitCount; ++j) {
            Partial& partial = cur_->partials[static_cast<std::size_t>(j)];
            const int before = partial.previous;
            const double expected = kTwoPi * partial.bins * hop / frameSize_;
            partial.advance = expected;
            if (before < 0) {
                continue;
            }
            std::complex<double> cross;
            for (int c = 0; c < channels; ++c) {
                cross +=
                    timesConjugate(amplitude(j, c), prev_->amplitudes[amplitudeIndex(before, c)]);
            }
            if (isZero(cross)) {
                continue;
            }
            partial.advance = expected + wrapPhase(phaseOf(cross) - expected);
            const double nu = partial.advance * binsPerRadian;
            if (updateFrequencies && std::abs(nu - partial.bins) < 0.5) {
                const double then = prev_->partials[static_cast<std::size_t>(before)].bins;
                const double was = partial.bins;
                partial.bins = std::abs(nu - then) < 0.5 ? then + gain * (nu - then) : nu;
                partial.moved = std::abs(partial.bins - was) > kRefitBins;
            }
        }
    });
}

}  // namespace brimo::timepitch
