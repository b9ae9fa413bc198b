#pragma once

#include "dsp/timepitch/VectorLoops.h"

namespace brimo::timepitch {

// Pins the plain loops (or gives the processor's choice back) for pieces prepared in its scope.
class PinnedLoops {
  public:
    explicit PinnedLoops(bool plain) { allowVectorLoops(!plain); }
    ~PinnedLoops() { allowVectorLoops(true); }
    PinnedLoops(const PinnedLoops&) = delete;
    PinnedLoops& operator=(const PinnedLoops&) = delete;
};

}  // namespace brimo::timepitch
