#pragma once

#include <immintrin.h>

#include <span>
#include <vector>

namespace brimo::timepitch {

// The spectrum of a zero-phase cosine-sum window over an analysis frame (Hann, Blackman-Harris
// and their products), as a function of the distance in bins from a sinusoid's frequency. The
// window is symmetric about the frame centre, so the transform is real and even. A sinusoid
// (A/2)·e^{iφ} at ν bins shows up in bin k as (A/2)·e^{iφ}·at(k − ν); the table makes that
// evaluation a lookup instead of a sum of sines.
class WindowTransform {
  public:
    // Tabulates the transform of the window Σ c_m·cos(2πmn/N) (n from the frame centre) for a
    // frame of `frameSize` samples, out to `reachBins` bins from the peak.
    void prepare(int frameSize, std::span<const double> coefficients, int reachBins);

    // The transform at `bins` from the peak; zero beyond the tabulated reach.
    [[nodiscard]] float at(double bins) const {
        const double d = (bins < 0.0 ? -bins : bins) * kStepsPerBin;
        const auto i = static_cast<int>(d);
        if (i >= reachSteps_) {
            return 0.0F;
        }
        const auto f = static_cast<float>(d - i);
        return table_[i] + f * (table_[i + 1] - table_[i]);
    }

    // at(first + t − shift) / divisor for t = 0 … 7 into out, value for value as at() gives
    // them: the eight taps of a shift by a fraction of a bin.
    void eightTaps(int first, double shift, float divisor, float* out) const {
        eightTaps_(*this, first, shift, divisor, out);
    }

    // eightTaps() on the AVX2 + FMA loops, for callers built for them to take inline. The same
    // arithmetic as at(), four distances per register in double precision and the table's
    // values gathered eight at a time; a mul and an add rather than a fused step, so the values
    // match.
    __attribute__((target("avx2,fma"))) void eightTapsInline(int first, double shift, float divisor,
                                                             float* out) const {
        const __m256d moved = _mm256_set1_pd(shift);
        const __m256d steps = _mm256_set1_pd(kStepsPerBin);
        const __m256d sign = _mm256_set1_pd(-0.0);
        __m128i whole[2];
        __m128 fraction[2];
        for (int half = 0; half < 2; ++half) {
            const __m128i bin =
                _mm_add_epi32(_mm_set1_epi32(first + 4 * half), _mm_set_epi32(3, 2, 1, 0));
            const __m256d bins = _mm256_sub_pd(_mm256_cvtepi32_pd(bin), moved);
            const __m256d d = _mm256_mul_pd(_mm256_andnot_pd(sign, bins), steps);
            whole[half] = _mm256_cvttpd_epi32(d);
            fraction[half] = _mm256_cvtpd_ps(_mm256_sub_pd(d, _mm256_cvtepi32_pd(whole[half])));
        }
        const __m256i i = _mm256_set_m128i(whole[1], whole[0]);
        const __m256 f = _mm256_set_m128(fraction[1], fraction[0]);
        const float* table = table_.data();
        const __m256 a = _mm256_i32gather_ps(table, i, 4);
        const __m256 b = _mm256_i32gather_ps(table + 1, i, 4);
        const __m256 value = _mm256_add_ps(a, _mm256_mul_ps(f, _mm256_sub_ps(b, a)));
        // Beyond the reach the transform is zero (and the gathers read no farther than its end).
        const __m256i inside = _mm256_cmpgt_epi32(_mm256_set1_epi32(reachSteps_), i);
        const __m256 kept = _mm256_and_ps(value, _mm256_castsi256_ps(inside));
        _mm256_storeu_ps(out, _mm256_div_ps(kept, _mm256_set1_ps(divisor)));
    }

    // The transform's derivative at `bins` from the peak.
    [[nodiscard]] float slope(double bins) const {
        constexpr double kStep = 2.0 / kStepsPerBin;
        return static_cast<float>((at(bins + kStep) - at(bins - kStep)) / (2.0 * kStep));
    }

    // The window's value at `n` samples from the frame centre.
    [[nodiscard]] double window(int n) const;

    [[nodiscard]] int reachBins() const { return reachSteps_ / kStepsPerBin; }

  private:
    static void eightTapsPlain(const WindowTransform& self, int first, double shift, float divisor,
                               float* out);
    static void eightTapsAvx2(const WindowTransform& self, int first, double shift, float divisor,
                              float* out);

    static constexpr int kStepsPerBin = 1024;
    // The processor's best version of eightTaps().
    void (*eightTaps_)(const WindowTransform&, int, double, float, float*) = eightTapsPlain;
    std::vector<float> table_;
    std::vector<double> coefficients_;
    int frameSize_ = 0;
    int reachSteps_ = 0;
};

// The analysis window: periodic Hann. Its side lobes fall slowly, so models of it reach far.
inline constexpr double kHann[] = {0.5, 0.5};
// A four-term Blackman-Harris taper: side lobes 92 dB down, main lobe four bins each side.
inline constexpr double kBlackmanHarris[] = {0.35875, 0.48829, 0.14128, 0.01168};

}  // namespace brimo::timepitch
