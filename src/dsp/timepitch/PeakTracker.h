#pragma once

#include <complex>
#include <cstdint>
#include <vector>

#include "dsp/timepitch/AnalysisState.h"

namespace brimo::timepitch {

// Finds the frame's spectral peaks, takes their frequencies from their shape and phase advance,
// and follows them from the previous frame as partials; keeps the partials in order of
// frequency.
class PeakTracker {
  public:
    explicit PeakTracker(AnalysisState& state) : state_(state) {}

    // Takes all memory for the state's sizes, once it is prepared.
    void prepare();

    // The bins' power (into the state) and the peaks, one partial each.
    void findPeaks(const std::complex<float>* const* spectra);
    void estimateFrequencies(const std::complex<float>* const* spectra, int hop);
    void matchPrevious();
    // Keeps the partials the fit explained last frame that have no peak now, then puts the
    // partials to fit first, in order of frequency, and the noise peaks after them.
    void continueHidden();
    // Marks where the frame's partials lie, for addPartial().
    void markOccupied();
    // Adds a partial unless another one lies within kSameBins of it; the check reads what
    // markOccupied() recorded of the partials' frequencies, so it is called first.
    void addPartial(double bins, std::int32_t previous);
    // Measures each followed partial's phase advance since the previous frame and, when asked,
    // moves its frequency towards what the advance says.
    void refineFromPhaseAdvance(int hop, bool updateFrequencies);
    // Puts the frame's partials in order of frequency, as the next frame's matching walks them,
    // their amplitudes and the regions' owners with them.
    void putInFrequencyOrder();
    // Partials to fit first, in order of frequency; noise peaks after them.
    void sortPartials();

  private:
    // A peak's frequency from its shape, and from its phase advance (which also tells noise).
    [[nodiscard]] double frequencyFromShape(int k) const;
    void frequencyFromPhase(Partial& partial, const std::complex<float>* const* spectra,
                            int hop) const;
    // Marks the peaks that have many other peaks around them.
    void markCrowded();
    void markOccupied(double bins);
    // Lays the frame's partials and their amplitudes out in the scratch lists in `order` (the
    // first `count` of them); the caller swaps the lists.
    void movePartials(const std::int32_t* order, int count);

    AnalysisState& state_;

    std::vector<char> taken_;                            // per previous partial
    std::vector<std::int32_t> order_;                    // scratch: partials by frequency
    std::vector<Partial> scratch_;                       // scratch: fitted partials while sorting
    std::vector<std::int32_t> merged_;                   // scratch: partials in their new order
    std::vector<std::complex<float>> amplitudeScratch_;  // scratch: amplitudes while sorting
    std::vector<std::int32_t> inverse_;                  // scratch: where each one went
    // Scratch: every peak's bin, from peakBins(), with room on both sides for the crowding
    // marks' vector loop to read past the ends.
    static constexpr int kPeakBinsRoom = 16;
    std::vector<std::int32_t> peakBins_;
    [[nodiscard]] std::int32_t* peakBins() { return peakBins_.data() + kPeakBinsRoom; }

    // Per whole bin (from bin −1), the lowest and highest frequency of the partials in it, valid
    // where the stamp is the latest marking's.
    struct Occupancy {
        std::int64_t stamp = -1;
        double lowest = 0.0;
        double highest = 0.0;
    };
    std::vector<Occupancy> occupied_;
    std::int64_t occupancyStamp_ = 0;
    // markOccupied(bins) on the entries `occupied`, the last one at `lastEntry`: the stores
    // through them would otherwise make every step of a marking reload the list and the stamp.
    static void occupy(Occupancy* occupied, int lastEntry, std::int64_t stamp, double bins);
};

}  // namespace brimo::timepitch
