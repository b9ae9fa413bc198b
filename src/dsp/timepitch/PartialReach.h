#pragma once

#include <algorithm>

#include "dsp/timepitch/AnalysisTuning.h"
#include "dsp/timepitch/PartialFrame.h"
#include "dsp/timepitch/WindowTransform.h"

// Which partials of a group reach a bin, and where their mirror images do: the walk the cluster
// fits' plain loops and their AVX2 twins share.
namespace brimo::timepitch {

// Narrows [from, to) to the partials among the `n` from `partials` (in order of frequency) within
// kReach bins of `bin`; bins must come in rising order.
inline void narrowToReach(const Partial* partials, int n, int bin, int& from, int& to) {
    while (from < n && partials[from].bins <= bin - analysis::kReach) {
        ++from;
    }
    to = std::max(to, from);
    while (to < n && partials[to].bins < bin + analysis::kReach) {
        ++to;
    }
}

// Whether any of the partials [from, to) of `partials`, in order of frequency, may have a mirror
// image in `bin` of a frame of `frameSize` samples: only partials this close to DC or the Nyquist
// frequency have images there.
inline bool mayHaveImages(const Partial* partials, int from, int to, int bin, int frameSize) {
    return from < to && (bin + partials[from].bins < 3 * analysis::kReach ||
                         bin + partials[to - 1].bins - frameSize > -3 * analysis::kReach);
}

// The window transform's mirror images of a partial at `nu` in `bin`, at −ν and N − ν for a
// frame of N = `image` samples.
inline float mirrorOf(const WindowTransform& window, double image, int bin, double nu) {
    if (bin + nu >= 3 * analysis::kReach && bin + nu - image <= -3 * analysis::kReach) {
        return 0.0F;
    }
    return window.at(bin + nu) + window.at(bin + nu - image);
}

}  // namespace brimo::timepitch
