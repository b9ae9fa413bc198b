#include "dsp/timepitch/WindowTransform.h"

#include <immintrin.h>

#include <cmath>
#include <numbers>

#include "dsp/timepitch/VectorLoops.h"

namespace brimo::timepitch {

namespace {

// Sum of e^{-i2πμn/N} over the symmetric range n = −(N/2−1) … N/2−1: a Dirichlet kernel. The
// sample at −N/2 is left out; every window used here is (near enough) zero there.
double dirichlet(double mu, int n) {
    const double denominator = std::sin(std::numbers::pi * mu / n);
    if (std::abs(denominator) < 1e-12) {
        return n - 1.0;
    }
    return std::sin(std::numbers::pi * mu * (n - 1.0) / n) / denominator;
}

}  // namespace

void WindowTransform::prepare(int frameSize, std::span<const double> coefficients, int reachBins) {
    frameSize_ = frameSize;
    coefficients_.assign(coefficients.begin(), coefficients.end());
    reachSteps_ = reachBins * kStepsPerBin;
    eightTaps_ = vectorLoopsEnabled() ? eightTapsAvx2 : eightTapsPlain;
    const int count = reachSteps_ + 2;
    table_.assign(static_cast<std::size_t>(count), 0.0F);
    for (int i = 0; i < count; ++i) {
        const double mu = static_cast<double>(i) / kStepsPerBin;
        // c_0 + Σ c_m·cos(2πmn/N): the constant term and pairs of shifted kernels.
        double value = coefficients_[0] * dirichlet(mu, frameSize);
        for (std::size_t m = 1; m < coefficients_.size(); ++m) {
            const auto shift = static_cast<double>(m);
            value += 0.5 * coefficients_[m] *
                     (dirichlet(mu - shift, frameSize) + dirichlet(mu + shift, frameSize));
        }
        table_[static_cast<std::size_t>(i)] = static_cast<float>(value);
    }
}

void WindowTransform::eightTapsPlain(const WindowTransform& self, int first, double shift,
                                     float divisor, float* out) {
    for (int t = 0; t < 8; ++t) {
        out[t] = self.at(first + t - shift) / divisor;
    }
}

// The same arithmetic as at(), four distances per register in double precision and the table's
// values gathered eight at a time; a mul and an add rather than a fused step, so the values
// match.
__attribute__((target("avx2,fma"))) void WindowTransform::eightTapsAvx2(const WindowTransform& self,
                                                                        int first, double shift,
                                                                        float divisor, float* out) {
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
    const float* table = self.table_.data();
    const __m256 a = _mm256_i32gather_ps(table, i, 4);
    const __m256 b = _mm256_i32gather_ps(table + 1, i, 4);
    const __m256 value = _mm256_add_ps(a, _mm256_mul_ps(f, _mm256_sub_ps(b, a)));
    // Beyond the reach the transform is zero (and the gathers read no farther than its end).
    const __m256i inside = _mm256_cmpgt_epi32(_mm256_set1_epi32(self.reachSteps_), i);
    const __m256 kept = _mm256_and_ps(value, _mm256_castsi256_ps(inside));
    _mm256_storeu_ps(out, _mm256_div_ps(kept, _mm256_set1_ps(divisor)));
}

double WindowTransform::window(int n) const {
    double value = 0.0;
    for (std::size_t m = 0; m < coefficients_.size(); ++m) {
        value += coefficients_[m] *
                 std::cos(2.0 * std::numbers::pi * static_cast<double>(m) * n / frameSize_);
    }
    return value;
}

}  // namespace brimo::timepitch
