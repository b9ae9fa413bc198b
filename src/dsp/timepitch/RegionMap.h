#pragma once

#include <cstdint>
#include <vector>

#include "dsp/timepitch/AnalysisState.h"

namespace brimo::timepitch {

// The bins each peak owns, this frame and the one before: every bin is moved with the partial at
// its region's peak unless a partial of its own is shifted.
class RegionMap {
  public:
    explicit RegionMap(AnalysisState& state) : state_(state) {}

    // Takes all memory for the state's sizes, once it is prepared.
    void prepare();

    // Leaves faint peaks to their neighbours' regions where those move them by nearly their
    // own shift at the pitch `ratio`; the faint peaks kept are noise peaks.
    void leaveFaintPeaksToNeighbours(double ratio);
    // Each peak's region, from the low point below it to the low point above it.
    void findRegions();
    // The previous frame's peak whose region held `bin`, when the bin was already sounding
    // (and, in a frame with an attack, has not grown much since).
    [[nodiscard]] int previousOwner(int bin, bool attack) const;

  private:
    AnalysisState& state_;
    std::vector<std::int32_t> fitted_;  // scratch: the fitted partials' peaks
    std::vector<std::int32_t> noise_;   // scratch: the noise peaks
};

}  // namespace brimo::timepitch
