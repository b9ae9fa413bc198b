#include "dsp/timepitch/SpectralShifter.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <numbers>

#include "dsp/timepitch/AnalysisTuning.h"
#include "dsp/timepitch/ChannelCount.h"
#include "dsp/timepitch/VectorLoops.h"
#include "dsp/timepitch/VectorMath.h"

namespace brimo::timepitch {

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;
// How far a partial's model is taken out of the spectrum: the Hann window's side lobes are
// about 90 dB down there. What is left beyond moves with the region it lies in, but by the
// region's shift rather than the partial's, so a shorter reach leaves the partial a faint
// companion that beats with it at the frame rate (a 440 Hz tone's distortion was −99 dB at 16
// bins, −107 dB at 24).
constexpr int kModelReach = 24;
// Main-lobe half-widths, in bins, of the taper's transform and of the product window's.
constexpr int kTaperReach = 4;
constexpr int kProductReach = 5;
// How far past a region's end its convolution reads: the taps and a block of eight.
constexpr int kRegionTail = 2 * kTaperReach + 8;
// Residual bins this far below the loudest bin of the frame are left where they are.
constexpr float kResidualFloor = 1e-13F;
// Shifted content that would land this close to the Nyquist frequency, or above, is dropped.
constexpr double kTopOfBand = 0.99;

// (0.5 + 0.5·cos θ) × Σ b_m·cos mθ, expanded with cos θ·cos mθ = (cos(m−1)θ + cos(m+1)θ)/2.
constexpr double kProduct[] = {
    0.5 * kBlackmanHarris[0] + 0.25 * kBlackmanHarris[1],
    0.5 * kBlackmanHarris[0] + 0.5 * kBlackmanHarris[1] + 0.25 * kBlackmanHarris[2],
    0.25 * kBlackmanHarris[1] + 0.5 * kBlackmanHarris[2] + 0.25 * kBlackmanHarris[3],
    0.25 * kBlackmanHarris[2] + 0.5 * kBlackmanHarris[3],
    0.25 * kBlackmanHarris[3],
};

// Adds the region x (its bins from 0, already turned by the region's phase offset and
// zero-padded on both sides in the scratch) convolved with the eight real taps w to y[m] for m
// in [lo, hi), where y[m] takes x[m − base − t]·w[t]. Output bins are done eight at a time, so
// no store is read back before it lands: the shifter's hottest loop, built for AVX2 as well and
// chosen once the processor is known.
template <int kTaps>
inline void convolveRegion(const float* xRe, const float* xIm, float* yRe, float* yIm, int base,
                           int lo, int hi, const float* w) {
    // Blocks may run past `hi` into the moved spectrum's slack: the zero padding adds nothing
    // there.
    for (int m = lo; m < hi; m += 8) {
        float accRe[8];
        float accIm[8];
        for (int l = 0; l < 8; ++l) {
            accRe[l] = yRe[m + l];
            accIm[l] = yIm[m + l];
        }
        for (int t = 0; t < kTaps; ++t) {
            const float* r = xRe + (m - base - t);
            const float* i = xIm + (m - base - t);
            for (int l = 0; l < 8; ++l) {
                accRe[l] += r[l] * w[t];
                accIm[l] += i[l] * w[t];
            }
        }
        for (int l = 0; l < 8; ++l) {
            yRe[m + l] = accRe[l];
            yIm[m + l] = accIm[l];
        }
    }
}

void convolvePlain(const float* xRe, const float* xIm, float* yRe, float* yIm, int base, int lo,
                   int hi, const float* w) {
    convolveRegion<2 * kTaperReach>(xRe, xIm, yRe, yIm, base, lo, hi, w);
}

// Written out: left to itself the compiler vectorises over the taps and sums across lanes.
__attribute__((target("avx2,fma"))) void convolveAvx2(const float* xRe, const float* xIm,
                                                      float* yRe, float* yIm, int base, int lo,
                                                      int hi, const float* w) {
    constexpr int kTaps = 2 * kTaperReach;
    __m256 taps[kTaps];
    for (int t = 0; t < kTaps; ++t) {
        taps[t] = _mm256_set1_ps(w[t]);
    }
    for (int m = lo; m < hi; m += 8) {
        __m256 accRe = _mm256_loadu_ps(yRe + m);
        __m256 accIm = _mm256_loadu_ps(yIm + m);
        for (int t = 0; t < kTaps; ++t) {
            accRe = _mm256_fmadd_ps(_mm256_loadu_ps(xRe + (m - base - t)), taps[t], accRe);
            accIm = _mm256_fmadd_ps(_mm256_loadu_ps(xIm + (m - base - t)), taps[t], accIm);
        }
        _mm256_storeu_ps(yRe + m, accRe);
        _mm256_storeu_ps(yIm + m, accIm);
    }
}

// Turns the region's bins re + i·im by cr + i·ci into the scratch and adds their power to
// `energy`, which it returns.
float turnPlain(const float* re, const float* im, float* xRe, float* xIm, int length, float cr,
                float ci, float energy) {
    for (int k = 0; k < length; ++k) {
        energy += re[k] * re[k] + im[k] * im[k];
        xRe[k] = re[k] * cr - im[k] * ci;
        xIm[k] = re[k] * ci + im[k] * cr;
    }
    return energy;
}

// One block of eight bins turned by r + i·i, and their power; shared by the loops below, so
// they round alike.
__attribute__((target("avx2,fma"))) inline __m256 turnBlock(__m256 a, __m256 b, __m256 r, __m256 i,
                                                            float* xRe, float* xIm) {
    _mm256_storeu_ps(xRe, _mm256_sub_ps(_mm256_mul_ps(a, r), _mm256_mul_ps(b, i)));
    _mm256_storeu_ps(xIm, _mm256_add_ps(_mm256_mul_ps(a, i), _mm256_mul_ps(b, r)));
    return _mm256_add_ps(_mm256_mul_ps(a, a), _mm256_mul_ps(b, b));
}

__attribute__((target("avx2,fma"))) inline float sumOf(__m256 v) {
    const __m128 half = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
    const __m128 pairs = _mm_add_ps(half, _mm_movehl_ps(half, half));
    return _mm_cvtss_f32(_mm_add_ss(pairs, _mm_shuffle_ps(pairs, pairs, 1)));
}

// Eight bins at a time, the last block reading and writing past the region: the residual
// keeps a block's slack after its last bin and the scratch past the region is cleared after.
// The power is summed lane by lane; it only decides whether a region is too faint to move.
__attribute__((target("avx2,fma"))) float turnAvx2(const float* re, const float* im, float* xRe,
                                                   float* xIm, int length, float cr, float ci,
                                                   float energy) {
    const __m256 r = _mm256_set1_ps(cr);
    const __m256 i = _mm256_set1_ps(ci);
    const __m256i lanes = _mm256_set_epi32(7, 6, 5, 4, 3, 2, 1, 0);
    __m256 sum = _mm256_setzero_ps();
    for (int k = 0; k < length; k += 8) {
        const __m256 power =
            turnBlock(_mm256_loadu_ps(re + k), _mm256_loadu_ps(im + k), r, i, xRe + k, xIm + k);
        const __m256i inside = _mm256_cmpgt_epi32(_mm256_set1_epi32(length - k), lanes);
        sum = _mm256_add_ps(sum, _mm256_and_ps(power, _mm256_castsi256_ps(inside)));
    }
    return energy + sumOf(sum);
}

// A region of at most kShortRegion bins on two channels, the common case (regions hold four
// bins on average), without the scratch's round trip and the calls per channel: turned and its
// power summed as turnAvx2 does, then, unless too faint, added through the taps to the sixteen
// moved bins from y on. Every moved bin takes its products in the order convolveAvx2 takes
// them, so the two give the same bits. `taps` has eight zeros on each side of the eight taps.
// Returns false when the region is too faint to move.
__attribute__((target("avx2,fma"))) inline bool moveShortPairAvx2(
    const float* const* re, const float* const* im, float* const* yRe, float* const* yIm,
    int length, float cr, float ci, float floor, const float* taps) {
    const __m256 r = _mm256_set1_ps(cr);
    const __m256 i = _mm256_set1_ps(ci);
    const __m256 inside = _mm256_castsi256_ps(
        _mm256_cmpgt_epi32(_mm256_set1_epi32(length), _mm256_set_epi32(7, 6, 5, 4, 3, 2, 1, 0)));
    alignas(32) float x[4][8];
    __m256 power[2];
    for (int c = 0; c < 2; ++c) {
        power[c] = _mm256_and_ps(
            turnBlock(_mm256_loadu_ps(re[c]), _mm256_loadu_ps(im[c]), r, i, x[2 * c], x[2 * c + 1]),
            inside);
    }
    // Both channels' sums as sumOf() takes each, side by side in the two halves of a register;
    // the first channel's sum then the second's, as a running sum from zero would add them (a
    // sum of squares is never −0, so starting from zero changes nothing).
    const __m256 halves = _mm256_add_ps(_mm256_permute2f128_ps(power[0], power[1], 0x20),
                                        _mm256_permute2f128_ps(power[0], power[1], 0x31));
    const __m256 pairs = _mm256_add_ps(halves, _mm256_permute_ps(halves, 0xEE));
    const __m256 sums = _mm256_add_ps(pairs, _mm256_permute_ps(pairs, 1));
    const float energy = _mm256_cvtss_f32(sums) + _mm_cvtss_f32(_mm256_extractf128_ps(sums, 1));
    if (energy <= floor * static_cast<float>(length)) {
        return false;
    }
    // Named rather than an array, which the compiler kept in memory.
    __m256 re0Low = _mm256_loadu_ps(yRe[0]);
    __m256 re0High = _mm256_loadu_ps(yRe[0] + 8);
    __m256 im0Low = _mm256_loadu_ps(yIm[0]);
    __m256 im0High = _mm256_loadu_ps(yIm[0] + 8);
    __m256 re1Low = _mm256_loadu_ps(yRe[1]);
    __m256 re1High = _mm256_loadu_ps(yRe[1] + 8);
    __m256 im1Low = _mm256_loadu_ps(yIm[1]);
    __m256 im1High = _mm256_loadu_ps(yIm[1] + 8);
    // Bin j lands on j + t through tap t: the taps placed from lane j on, last bin first so
    // each moved bin sums its taps from the first. Unrolled by the length, so every address
    // below is a constant offset.
    const auto add = [&](int j) __attribute__((always_inline, target("avx2,fma"))) {
        const __m256 wLow = _mm256_loadu_ps(taps + 8 - j);
        const __m256 wHigh = _mm256_loadu_ps(taps + 16 - j);
        const __m256 a = _mm256_broadcast_ss(&x[0][j]);
        re0Low = _mm256_fmadd_ps(a, wLow, re0Low);
        re0High = _mm256_fmadd_ps(a, wHigh, re0High);
        const __m256 b = _mm256_broadcast_ss(&x[1][j]);
        im0Low = _mm256_fmadd_ps(b, wLow, im0Low);
        im0High = _mm256_fmadd_ps(b, wHigh, im0High);
        const __m256 c = _mm256_broadcast_ss(&x[2][j]);
        re1Low = _mm256_fmadd_ps(c, wLow, re1Low);
        re1High = _mm256_fmadd_ps(c, wHigh, re1High);
        const __m256 d = _mm256_broadcast_ss(&x[3][j]);
        im1Low = _mm256_fmadd_ps(d, wLow, im1Low);
        im1High = _mm256_fmadd_ps(d, wHigh, im1High);
    };
    switch (length) {
        case 8:
            add(7);
            [[fallthrough]];
        case 7:
            add(6);
            [[fallthrough]];
        case 6:
            add(5);
            [[fallthrough]];
        case 5:
            add(4);
            [[fallthrough]];
        case 4:
            add(3);
            [[fallthrough]];
        case 3:
            add(2);
            [[fallthrough]];
        case 2:
            add(1);
            [[fallthrough]];
        case 1:
            add(0);
            [[fallthrough]];
        default:
            break;
    }
    _mm256_storeu_ps(yRe[0], re0Low);
    _mm256_storeu_ps(yRe[0] + 8, re0High);
    _mm256_storeu_ps(yIm[0], im0Low);
    _mm256_storeu_ps(yIm[0] + 8, im0High);
    _mm256_storeu_ps(yRe[1], re1Low);
    _mm256_storeu_ps(yRe[1] + 8, re1High);
    _mm256_storeu_ps(yIm[1], im1Low);
    _mm256_storeu_ps(yIm[1] + 8, im1High);
    return true;
}

// Bins [0, count) of the moved spectrum interleaved into the inverse transform's input, every
// odd bin negated, and cleared for the next frame in the same pass; returns how many bins it
// did (it leaves a tail for the caller).
int foldPlain(float* re, float* im, float* y, int count) {
    int k = 0;
    for (; k + 2 <= count; k += 2) {
        y[2 * k] = re[k];
        y[2 * k + 1] = im[k];
        y[2 * k + 2] = -re[k + 1];
        y[2 * k + 3] = -im[k + 1];
        re[k] = re[k + 1] = 0.0F;
        im[k] = im[k + 1] = 0.0F;
    }
    return k;
}

__attribute__((target("avx2,fma"))) int foldAvx2(float* re, float* im, float* y, int count) {
    const __m256 odd = _mm256_setr_ps(0.0F, 0.0F, -0.0F, -0.0F, 0.0F, 0.0F, -0.0F, -0.0F);
    const __m256 zero = _mm256_setzero_ps();
    int k = 0;
    for (; k + 8 <= count; k += 8) {
        const __m256 a = _mm256_loadu_ps(re + k);
        const __m256 b = _mm256_loadu_ps(im + k);
        _mm256_storeu_ps(re + k, zero);
        _mm256_storeu_ps(im + k, zero);
        // Bins 0, 1, 4, 5 and 2, 3, 6, 7, each as (re, im).
        const __m256 low = _mm256_unpacklo_ps(a, b);
        const __m256 high = _mm256_unpackhi_ps(a, b);
        _mm256_storeu_ps(y + 2 * k, _mm256_xor_ps(_mm256_permute2f128_ps(low, high, 0x20), odd));
        _mm256_storeu_ps(y + 2 * k + 8,
                         _mm256_xor_ps(_mm256_permute2f128_ps(low, high, 0x31), odd));
    }
    return k;
}

// The interleaved bins z[0 … count) split into their real and imaginary parts.
void splitPlain(const float* z, float* re, float* im, int count) {
    for (int k = 0; k < count; ++k) {
        re[k] = z[2 * k];
        im[k] = z[2 * k + 1];
    }
}

__attribute__((target("avx2,fma"))) void splitAvx2(const float* z, float* re, float* im,
                                                   int count) {
    int k = 0;
    for (; k + 8 <= count; k += 8) {
        const __m256 a = _mm256_loadu_ps(z + 2 * k);
        const __m256 b = _mm256_loadu_ps(z + 2 * k + 8);
        // Bins 0, 1, 4, 5, 2, 3, 6, 7 within each shuffle, put in order by one permute.
        const __m256 r = _mm256_shuffle_ps(a, b, 0x88);
        const __m256 i = _mm256_shuffle_ps(a, b, 0xDD);
        _mm256_storeu_ps(re + k,
                         _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(r), 0xD8)));
        _mm256_storeu_ps(im + k,
                         _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(i), 0xD8)));
    }
    splitPlain(z + 2 * k, re + k, im + k, count - k);
}

// out[n] = d[n]·w[n] − x[n] for n in [0, count): the inverse's samples with the windows
// divided out (in double precision), less the input.
void finishPlain(const float* d, const double* w, const float* x, float* out, int count) {
    for (int n = 0; n < count; ++n) {
        out[n] = static_cast<float>(d[n] * w[n]) - x[n];
    }
}

__attribute__((target("avx2,fma"))) void finishAvx2(const float* d, const double* w, const float* x,
                                                    float* out, int count) {
    int n = 0;
    for (; n + 4 <= count; n += 4) {
        const __m256d product =
            _mm256_mul_pd(_mm256_cvtps_pd(_mm_loadu_ps(d + n)), _mm256_loadu_pd(w + n));
        _mm_storeu_ps(out + n, _mm_sub_ps(_mm256_cvtpd_ps(product), _mm_loadu_ps(x + n)));
    }
    finishPlain(d + n, w + n, x + n, out + n, count - n);
}

// The turns e^{i·offset} of eight phase offsets, as std::polar(1, offset) gives them.
void turnsPlain(const float* offsets, float* cosines, float* sines) {
    for (int l = 0; l < 8; ++l) {
        const auto turn = std::polar(1.0F, offsets[l]);
        cosines[l] = turn.real();
        sines[l] = turn.imag();
    }
}

// The same in one pass; offsets out of vectormath's reach (never, for wrapped ones) go to the
// library.
__attribute__((target("avx2,fma"))) inline void turnsInline(__m256 offsets, float* cosines,
                                                            float* sines) {
    if (!vectormath::allWithinReach(offsets)) {
        alignas(32) float each[8];
        _mm256_store_ps(each, offsets);
        turnsPlain(each, cosines, sines);
        return;
    }
    __m256 s;
    __m256 c;
    vectormath::sinCosWithinReach(offsets, s, c);
    _mm256_storeu_ps(cosines, c);
    _mm256_storeu_ps(sines, s);
}

__attribute__((target("avx2,fma"))) void turnsAvx2(const float* offsets, float* cosines,
                                                   float* sines) {
    turnsInline(_mm256_loadu_ps(offsets), cosines, sines);
}

}  // namespace

void SpectralShifter::prepare(int frameSize, int channels, int maxHop) {
    static_assert(kRegionTail <= kRegionPad);
    frameSize_ = frameSize;
    bins_ = frameSize / 2 + 1;
    channels_ = channels;
    maxHop_ = maxHop;
    margin_ = kModelReach + kProductReach + kTaperReach + 2;
    analysis_.prepare(frameSize, kHann, kModelReach);
    taper_.prepare(frameSize, kBlackmanHarris, kTaperReach);
    product_.prepare(frameSize, kProduct, kProductReach);
    inverseWindow_.assign(2 * static_cast<std::size_t>(maxHop) + 1, 0.0);
    for (int n = -maxHop; n <= maxHop; ++n) {
        inverseWindow_[static_cast<std::size_t>(n) + static_cast<std::size_t>(maxHop)] =
            1.0 / (frameSize * analysis_.window(n) * taper_.window(n));
    }
    const std::size_t residualRoom =
        static_cast<std::size_t>(bins_) * static_cast<std::size_t>(channels) + kBlockSlack;
    residualRe_.assign(residualRoom, 0.0F);
    residualIm_.assign(residualRoom, 0.0F);
    movedStride_ = bins_ + 2 * margin_ + kBlockSlack;
    movedRe_.assign(static_cast<std::size_t>(movedStride_) * static_cast<std::size_t>(channels),
                    0.0F);
    movedIm_.assign(static_cast<std::size_t>(movedStride_) * static_cast<std::size_t>(channels),
                    0.0F);
    fft_.prepare(frameSize);
    const bool avx2 = vectorLoopsEnabled();
    convolve_ = avx2 ? convolveAvx2 : convolvePlain;
    turn_ = avx2 ? turnAvx2 : turnPlain;
    pairLoops_ = avx2;
    fold_ = avx2 ? foldAvx2 : foldPlain;
    finish_ = avx2 ? finishAvx2 : finishPlain;
    split_ = avx2 ? splitAvx2 : splitPlain;
    turns_ = avx2 ? turnsAvx2 : turnsPlain;
    regionStride_ = bins_ + 2 * kRegionPad;
    const auto regionRoom =
        static_cast<std::size_t>(regionStride_) * static_cast<std::size_t>(channels);
    regionRe_.assign(regionRoom, 0.0F);
    regionIm_.assign(regionRoom, 0.0F);
}

bool SpectralShifter::correction(const std::complex<float>* const* spectra,
                                 const PartialAnalyzer& analyzer, double ratio,
                                 const float* const* input, float* const* out, int before,
                                 int after) {
    const int count = analyzer.partialCount();
    bool moves = false;
    for (int j = 0; j < count && !moves; ++j) {
        moves = ratio != 1.0 || analyzer.partial(j).offset != 0.0;
    }
    if (!moves) {
        return false;
    }
    // The moved spectrum is clear here: prepare() clears it, and every fold after.
    takeOutModels(spectra, analyzer);
    addPartials(analyzer, ratio);
    moveRegions(analyzer, ratio, kResidualFloor * analyzer.loudestPower());
    for (int c = 0; c < channels_; ++c) {
        foldIntoSpectrum(c);
        const float* d = fft_.inverse() + frameSize_ / 2;
        finish_(d - before, inverseWindow_.data() + maxHop_ - before, input[c] - before,
                out[c] - before, before + after);
    }
    return true;
}

void SpectralShifter::takeOutModels(const std::complex<float>* const* spectra,
                                    const PartialAnalyzer& analyzer) {
    for (int c = 0; c < channels_; ++c) {
        float* re = residualRe(c);
        float* im = residualIm(c);
        split_(reinterpret_cast<const float*>(spectra[c]), re, im, bins_);
        // DC and the Nyquist bin are shared between the two sides of the spectrum; moved as
        // one side, they count half.
        re[0] *= 0.5F;
        im[0] = 0.0F;
        re[bins_ - 1] *= 0.5F;
        im[bins_ - 1] = 0.0F;
    }
    const int count = analyzer.partialCount();
    const double image = frameSize_;
    for (int j = 0; j < count; ++j) {
        const Partial& partial = analyzer.partial(j);
        if (!partial.isShifted) {
            continue;
        }
        const double nu = partial.bins;
        // DC and the Nyquist bin too: a low partial's mirror image leaks into DC, and left
        // there it would come out unshifted, changing from frame to frame.
        const int lo = std::max(0, static_cast<int>(std::ceil(nu)) - kModelReach);
        const int hi = std::min(bins_ - 1, static_cast<int>(std::floor(nu)) + kModelReach);
        const bool nearEdge = nu < kModelReach || nu > bins_ - 1 - kModelReach;
        withChannels(channels_, [&](auto channels) {
            for (int k = lo; k <= hi; ++k) {
                const float share = k == 0 || k == bins_ - 1 ? 0.5F : 1.0F;
                const float direct = share * analysis_.at(k - nu);
                const float mirror =
                    nearEdge ? share * (analysis_.at(k + nu) + analysis_.at(k + nu - image)) : 0.0F;
                for (int c = 0; c < channels; ++c) {
                    const std::complex<float> z = analyzer.amplitude(j, c);
                    // z·direct + conj(z)·mirror
                    residualRe(c)[k] -= z.real() * (direct + mirror);
                    residualIm(c)[k] -= z.imag() * (direct - mirror);
                }
            }
        });
    }
}

void SpectralShifter::scatter(double centre, const std::complex<float>* values,
                              const WindowTransform& kernel) {
    const int reach = kernel.reachBins();
    const int lo = std::max(-margin_, static_cast<int>(std::floor(centre)) - reach + 1);
    const int hi = std::min(bins_ - 1 + margin_, static_cast<int>(std::ceil(centre)) + reach - 1);
    withChannels(channels_, [&](auto channels) {
        for (int k = lo; k <= hi; ++k) {
            const float w = kernel.at(k - centre);
            for (int c = 0; c < channels; ++c) {
                movedRe(c)[k] += values[c].real() * w;
                movedIm(c)[k] += values[c].imag() * w;
            }
        }
    });
}

void SpectralShifter::addPartials(const PartialAnalyzer& analyzer, double ratio) {
    const int count = analyzer.partialCount();
    const double top = kTopOfBand * (bins_ - 1);
    std::complex<float> values[PartialAnalyzer::kMaxChannels];
    // The partials to add go eight at a time, for their turns to be taken together.
    int pending[8];
    alignas(32) float offsets[8] = {};
    alignas(32) float cosines[8];
    alignas(32) float sines[8];
    int waiting = 0;
    const auto add = [&] {
        turns_(offsets, cosines, sines);
        for (int l = 0; l < waiting; ++l) {
            const int j = pending[l];
            const std::complex<float> turn{cosines[l], sines[l]};
            for (int c = 0; c < channels_; ++c) {
                values[c] = analyzer.amplitude(j, c) * turn;
            }
            scatter(ratio * analyzer.partial(j).bins, values, product_);
        }
        waiting = 0;
    };
    for (int j = 0; j < count; ++j) {
        const Partial& partial = analyzer.partial(j);
        // A copy that would land above the band is dropped.
        if (!partial.isShifted || ratio * partial.bins >= top) {
            continue;
        }
        pending[waiting] = j;
        offsets[waiting] = static_cast<float>(partial.offset);
        if (++waiting == 8) {
            add();
        }
    }
    if (waiting > 0) {
        add();
    }
}

void SpectralShifter::moveRegions(const PartialAnalyzer& analyzer, double ratio, float floor) {
    const int count = analyzer.regionCount();
    if (count == 0) {
        // Not one peak (an impulse, digital silence): nothing with a pitch, kept as it is.
        moveRegion(0, bins_, 0.0, 1.0F, 0.0F, floor);
        return;
    }
    if (pairLoops_ && channels_ == 2) {
        moveRegionPairs(analyzer, ratio, floor);
        return;
    }
    const double top = kTopOfBand * (bins_ - 1);
    alignas(32) float offsets[8];
    alignas(32) float cosines[8];
    alignas(32) float sines[8];
    for (int r = 0; r < count; ++r) {
        const int lane = r % 8;
        if (lane == 0) {
            for (int l = 0; l < 8; ++l) {
                offsets[l] =
                    r + l < count
                        ? static_cast<float>(analyzer.partial(analyzer.regionOwner(r + l)).offset)
                        : 0.0F;
            }
            turns_(offsets, cosines, sines);
        }
        const Partial& partial = analyzer.partial(analyzer.regionOwner(r));
        // A region that would land above the band is dropped.
        if (ratio * partial.bins < top) {
            // The first region reaches down to DC, the last one up to the Nyquist bin.
            moveRegion(r == 0 ? 0 : analyzer.regionStart(r),
                       r == count - 1 ? bins_ : analyzer.regionEnd(r), (ratio - 1.0) * partial.bins,
                       cosines[lane], sines[lane], floor);
        }
    }
}

__attribute__((target("avx2,fma"))) void SpectralShifter::moveRegionPairs(
    const PartialAnalyzer& analyzer, double ratio, float floor) {
    static_assert(2 * kTaperReach == 8);
    // moveShortPairAvx2() unrolls up to eight bins.
    static_assert(kShortRegion == 8);
    const int count = analyzer.regionCount();
    const double top = kTopOfBand * (bins_ - 1);
    const auto n = static_cast<float>(frameSize_);
    // The taps of a short region's move, with eight zeros on each side.
    alignas(32) float taps[24] = {};
    const float* re[2];
    const float* im[2];
    float* yRe[2];
    float* yIm[2];
    // The turns eight regions at a time (those of regions dropped among them), their owners'
    // offsets gathered; lanes past the last region take partial 0's.
    const std::int32_t* owners = analyzer.regionOwners();
    static_assert(sizeof(Partial) % sizeof(double) == 0);
    const __m256i stride = _mm256_set1_epi32(sizeof(Partial) / sizeof(double));
    const double* offsets = &analyzer.partial(0).offset;
    const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    alignas(32) float cosines[8];
    alignas(32) float sines[8];
    for (int r = 0; r < count; ++r) {
        const int lane = r % 8;
        if (lane == 0) {
            const __m256i which = _mm256_mullo_epi32(
                _mm256_maskload_epi32(owners + r,
                                      _mm256_cmpgt_epi32(_mm256_set1_epi32(count - r), lanes)),
                stride);
            // The masked form: the plain one starts from a register GCC calls uninitialised.
            const __m256d all = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
            const __m256d low = _mm256_mask_i32gather_pd(_mm256_setzero_pd(), offsets,
                                                         _mm256_castsi256_si128(which), all, 8);
            const __m256d high = _mm256_mask_i32gather_pd(
                _mm256_setzero_pd(), offsets, _mm256_extracti128_si256(which, 1), all, 8);
            turnsInline(_mm256_set_m128(_mm256_cvtpd_ps(high), _mm256_cvtpd_ps(low)), cosines,
                        sines);
        }
        const Partial& partial = analyzer.partial(analyzer.regionOwner(r));
        // As moveRegions() and moveRegion() take them.
        if (!(ratio * partial.bins < top)) {
            continue;
        }
        const int start = r == 0 ? 0 : analyzer.regionStart(r);
        const int end = r == count - 1 ? bins_ : analyzer.regionEnd(r);
        const double shift = (ratio - 1.0) * partial.bins;
        const int length = end - start;
        const int first = static_cast<int>(analysis::floorOf(shift)) - kTaperReach + 1;
        const int base = start + first;
        // What lands past bins_ + margin_ falls in the slack, which nothing reads.
        if (length > kShortRegion || base < -margin_ || base + 16 > bins_ + margin_ + kBlockSlack) {
            moveRegion(start, end, shift, cosines[lane], sines[lane], floor);
            continue;
        }
        taper_.eightTapsInline(first, shift, n, taps + 8);
        for (int c = 0; c < 2; ++c) {
            re[c] = residualRe(c) + start;
            im[c] = residualIm(c) + start;
            yRe[c] = movedRe(c) + base;
            yIm[c] = movedIm(c) + base;
        }
        moveShortPairAvx2(re, im, yRe, yIm, length, cosines[lane], sines[lane], floor, taps);
    }
}

void SpectralShifter::moveRegion(int start, int end, double shift, float cr, float ci,
                                 float floor) {
    // Every bin of the region moves by the same shift, so the kernel taps are the same for all
    // of them: whole-bin offsets `first` … first + 2·reach − 1 from the bin. The taper's
    // transform is real, so the region is turned by its offset once and the taps stay real.
    const int length = end - start;
    const auto n = static_cast<float>(frameSize_);
    const int first = static_cast<int>(analysis::floorOf(shift)) - kTaperReach + 1;
    static_assert(2 * kTaperReach == 8);
    // Bin k lands on k + first + t; outside the moved spectrum's margins it is dropped.
    const int base = start + first;
    // Turned in the same pass that sums the region's energy; a region too faint to move (rare)
    // wastes the turn.
    float energy = 0.0F;
    withChannels(channels_, [&](auto channels) {
        for (int c = 0; c < channels; ++c) {
            energy = turn_(residualRe(c) + start, residualIm(c) + start, regionRe(c), regionIm(c),
                           length, cr, ci, energy);
        }
    });
    if (energy <= floor * static_cast<float>(length)) {
        return;
    }
    float w[2 * kTaperReach];
    taper_.eightTaps(first, shift, n, w);
    const int lo = std::max(base, -margin_);
    const int hi = std::min(end + first + 2 * kTaperReach - 1, bins_ + margin_);
    if (lo >= hi) {
        return;
    }
    withChannels(channels_, [&](auto channels) {
        for (int c = 0; c < channels; ++c) {
            float* xRe = regionRe(c);
            float* xIm = regionIm(c);
            // The region's own bins only, zero after them as far as the taps and a block reach
            // (before them the scratch is never written).
            std::fill_n(xRe + length, kRegionTail, 0.0F);
            std::fill_n(xIm + length, kRegionTail, 0.0F);
            convolve_(xRe, xIm, movedRe(c), movedIm(c), base, lo, hi, w);
        }
    });
}

void SpectralShifter::foldIntoSpectrum(int channel) {
    // The scattered values are one side of a real signal's spectrum; what fell below bin 0 or
    // above the Nyquist bin is the mirror image of the other side. Phases relative to the frame
    // centre become phases relative to its first sample by (−1)^k.
    std::complex<float>* y = fft_.inverseInput();
    float* re = movedRe(channel);
    float* im = movedIm(channel);
    const int half = bins_ - 1;
    // Read before the fold clears them.
    const float dc = re[0];
    const float nyquist = re[half];
    // The sign per bin taken in the same pass (negation is exact, so the sums below come out
    // the same with their signs turned).
    const int folded = fold_(re, im, reinterpret_cast<float*>(y), half + 1);
    for (int k = folded; k <= half; ++k) {
        y[k] = k % 2 == 0 ? std::complex<float>(re[k], im[k]) : std::complex<float>(-re[k], -im[k]);
    }
    const auto sign = [](int bin) { return bin % 2 == 0 ? 1.0F : -1.0F; };
    y[0] = {2.0F * dc, 0.0F};
    y[half] = {sign(half) * (2.0F * nyquist), 0.0F};
    for (int k = 1; k <= margin_ && k < half; ++k) {
        y[k] += sign(k) * std::complex<float>(re[-k], -im[-k]);
        y[half - k] += sign(half - k) * std::complex<float>(re[half + k], -im[half + k]);
    }
    // What the fold did not clear: the margins, the tail and the slack after it.
    const int rest = bins_ + margin_ + kBlockSlack - folded;
    std::fill_n(re - margin_, margin_, 0.0F);
    std::fill_n(im - margin_, margin_, 0.0F);
    std::fill_n(re + folded, rest, 0.0F);
    std::fill_n(im + folded, rest, 0.0F);
}

}  // namespace brimo::timepitch
