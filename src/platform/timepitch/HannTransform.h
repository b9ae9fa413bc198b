#pragma once

#include <vector>

namespace brimo::timepitch {

// The spectrum of the zero-phase periodic Hann window of the analysis frame, as a function of
// the distance in bins from a sinusoid's frequency. The window is symmetric about the frame
// centre, so the transform is real and even. A sinusoid (A/2)·e^{iφ} at ν bins shows up in bin
// k as (A/2)·e^{iφ}·at(k − ν); the table makes that evaluation a lookup instead of six sines.
class HannTransform {
  public:
    // Tabulates the transform for an analysis frame of `frameSize` samples.
    void prepare(int frameSize);

    // The transform at `bins` from the peak; zero beyond the tabulated reach, where it is
    // below −120 dB of the peak.
    [[nodiscard]] float at(double bins) const {
        const double d = (bins < 0.0 ? -bins : bins) * kStepsPerBin;
        const auto i = static_cast<int>(d);
        if (i >= kReachBins * kStepsPerBin) {
            return 0.0F;
        }
        const auto f = static_cast<float>(d - i);
        return table_[i] + f * (table_[i + 1] - table_[i]);
    }

    // The transform at the peak: half the window's length.
    [[nodiscard]] float peak() const { return table_.empty() ? 0.0F : table_[0]; }

    static constexpr int kReachBins = 40;

  private:
    static constexpr int kStepsPerBin = 1024;
    std::vector<float> table_;
};

}  // namespace brimo::timepitch
