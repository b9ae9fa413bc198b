#pragma once

#include <cstdint>

#include "dsp/timepitch/PartialFrame.h"

namespace brimo::timepitch {

// Merges two lists of indices into `partials`, each in order of frequency (or of peak bin), into
// `out`.
void mergeByFrequency(const Partial* partials, const std::int32_t* a, int aCount,
                      const std::int32_t* b, int bCount, std::int32_t* out, bool byPeak);

}  // namespace brimo::timepitch
