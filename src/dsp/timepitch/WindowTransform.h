#pragma once

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
