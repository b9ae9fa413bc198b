#include "dsp/timepitch/WindowTransform.h"

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

__attribute__((target("avx2,fma"))) void WindowTransform::eightTapsAvx2(const WindowTransform& self,
                                                                        int first, double shift,
                                                                        float divisor, float* out) {
    self.eightTapsInline(first, shift, divisor, out);
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
