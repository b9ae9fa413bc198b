#pragma once

#include <complex>
#include <cstdint>
#include <vector>

#include "platform/timepitch/WindowTransform.h"

namespace brimo::timepitch {

// One sinusoid found in an analysis frame, shared by all channels: its frequency, how far its
// phase moved since the previous frame, and the phase offset its shifted copy carries.
struct Partial {
    double bins = 0.0;     // frequency, in bins of the analysis FFT
    double advance = 0.0;  // unwrapped phase advance since the previous frame, radians
    double offset = 0.0;   // phase of the shifted copy minus the phase of the original
    std::int32_t age = 0;  // frames it has been followed for; 0 when it first appears
    bool isShifted = false;
};

// Finds the sinusoids of one analysis frame and follows them from frame to frame. Each frame's
// spectra are read as a sum of windowed sinusoids: peaks give their frequencies (refined from
// the phase advance between frames), and a least-squares fit over the bins of each group of
// neighbouring peaks gives every channel's complex amplitude, so that close partials are
// separated instead of mixed. A partial is shifted only when it was already present in the
// previous frame and the fit explains its bins; everything else passes unchanged.
class PartialAnalyzer {
  public:
    static constexpr int kMaxChannels = 8;

    // Takes all memory for frames of `frameSize` samples and up to `maxPartials` partials.
    void prepare(int frameSize, int channels, int maxPartials);

    // Forgets every partial, as after silence.
    void reset();

    // Analyses the zero-phase spectra (frameSize/2 + 1 bins per channel) of a frame `hop`
    // samples after the previous one. The shifted copies' phase offsets advance with the
    // pitch ratio, taken as the mean of `ratioBefore` and `ratioNow` over the hop.
    // `jointFit` fits neighbouring partials together; otherwise each partial alone.
    // `onsetFromCentre` is where the latest attack in the frame lies (samples from the centre,
    // negative before it), or 0 when there is none: a partial born there gets the phase offset
    // it would have gathered since then, so partials that start together stay aligned.
    void analyze(const std::complex<float>* const* spectra, int hop, double ratioBefore,
                 double ratioNow, bool jointFit, double onsetFromCentre = 0.0);

    [[nodiscard]] int partialCount() const { return count_; }
    [[nodiscard]] const Partial& partial(int index) const {
        return partials_[static_cast<std::size_t>(index)];
    }
    // The bins that belong to a partial's peak: from the low point below it to the low point
    // above it, DC and the Nyquist bin left out. Together they cover bins 1 … frameSize/2 − 1.
    [[nodiscard]] int regionStart(int index) const {
        return regionStarts_[static_cast<std::size_t>(index)];
    }
    [[nodiscard]] int regionEnd(int index) const {
        return regionStarts_[static_cast<std::size_t>(index) + 1];
    }
    // Power of the loudest bin in the frame, summed over the channels.
    [[nodiscard]] float loudestPower() const { return loudest_; }
    // Complex amplitude (A/2)·e^{iφ} of a partial in a channel, phase at the frame centre.
    [[nodiscard]] std::complex<float> amplitude(int index, int channel) const {
        return amplitudes_[static_cast<std::size_t>(index * channels_ + channel)];
    }

  private:
    void findPeaks(const std::complex<float>* const* spectra);
    void findRegions();
    void estimateFrequencies(const std::complex<float>* const* spectra, int hop);
    void matchPrevious();
    void fitAmplitudes(const std::complex<float>* const* spectra, bool jointFit);
    void fitCluster(const std::complex<float>* const* spectra, int first, int last);
    // Measures each followed partial's phase advance since the previous frame and, when asked,
    // moves its frequency towards what the advance says.
    void refineFromPhaseAdvance(int hop, bool updateFrequencies);
    void judgeFit(const std::complex<float>* const* spectra, bool jointFit);
    void advanceOffsets(double meanRatio, double ratioNow, double onsetFromCentre);
    void keepAsPrevious(const std::complex<float>* const* spectra);
    // The previous frame's peak whose region held `bin`, when the bin was already sounding.
    [[nodiscard]] int previousOwner(int bin) const;
    [[nodiscard]] int clusterEnd(int first, bool jointFit) const;
    // Narrows [from, to) (indices within the cluster of `n` partials from `first`) to the
    // partials near `bin`; bins must come in rising order.
    void nearby(int first, int n, int bin, int& from, int& to) const;
    // The window transform's mirror images of a partial at `nu` in `bin`.
    [[nodiscard]] float mirrorAt(int bin, double nu) const;

    WindowTransform window_;
    int frameSize_ = 0;
    int bins_ = 0;
    int channels_ = 0;
    int maxPartials_ = 0;

    std::vector<float> power_;
    std::vector<std::int32_t> peakBins_;
    std::vector<std::int32_t> regionStarts_;  // count_ + 1 entries
    float loudest_ = 0.0F;
    std::vector<std::complex<float>> previousSpectra_;  // bins_ per channel
    bool hasPrevious_ = false;

    int count_ = 0;
    std::vector<Partial> partials_;
    std::vector<std::complex<float>> amplitudes_;  // maxPartials_ × channels_
    std::vector<std::int32_t> previousIndex_;      // per current partial, −1 when new

    int previousCount_ = 0;
    std::vector<Partial> previousPartials_;
    std::vector<std::complex<float>> previousAmplitudes_;
    std::vector<std::int32_t> previousRegionStarts_;
};

}  // namespace brimo::timepitch
