#include "platform/timepitch/HannTransform.h"

#include <cmath>
#include <numbers>

namespace brimo::timepitch {

namespace {

// Sum of e^{-i2πμn/N} over the symmetric range n = −(N/2−1) … N/2−1: a Dirichlet kernel.
double dirichlet(double mu, int n) {
    const double denominator = std::sin(std::numbers::pi * mu / n);
    if (std::abs(denominator) < 1e-12) {
        return n - 1.0;
    }
    return std::sin(std::numbers::pi * mu * (n - 1.0) / n) / denominator;
}

}  // namespace

void HannTransform::prepare(int frameSize) {
    const int count = kReachBins * kStepsPerBin + 2;
    table_.assign(static_cast<std::size_t>(count), 0.0F);
    for (int i = 0; i < count; ++i) {
        const double mu = static_cast<double>(i) / kStepsPerBin;
        // 0.5 + 0.5·cos(2πn/N): the constant term and two shifted copies.
        const double value =
            0.5 * dirichlet(mu, frameSize) +
            0.25 * (dirichlet(mu - 1.0, frameSize) + dirichlet(mu + 1.0, frameSize));
        table_[static_cast<std::size_t>(i)] = static_cast<float>(value);
    }
}

}  // namespace brimo::timepitch
