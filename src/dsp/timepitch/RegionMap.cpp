#include "dsp/timepitch/RegionMap.h"

#include <algorithm>
#include <cmath>

#include "dsp/timepitch/AnalysisTuning.h"
#include "dsp/timepitch/ChannelCount.h"
#include "dsp/timepitch/PartialOrder.h"

namespace brimo::timepitch {

using namespace analysis;

void RegionMap::prepare() {
    fitted_.assign(static_cast<std::size_t>(state_.maxPartials), 0);
    noise_.assign(static_cast<std::size_t>(state_.maxPartials), 0);
}

void RegionMap::leaveFaintPeaksToNeighbours(double ratio) {
    // A region moves all its bins by its owner's shift, (ratio − 1) × the owner's bin, so a bin
    // d bins from its owner lands |ratio − 1| × d bins off its own shift. A faint peak goes when
    // the peak kept below it and the next one above are close enough for that to stay within
    // kNeighbourMiss over all the bins between them, which those two then own: runs of faint
    // peaks thin out to owners that far apart, and at large shifts none go. The first and the
    // last peak always stay, so the outermost regions reach no further than they did. Faint
    // peaks that stay are moved with their regions, not fitted: a fit's gain is lost 60 dB down.
    const double slope = std::abs(ratio - 1.0);
    const auto faint = static_cast<float>(static_cast<double>(state_.loudest) * kFaintPeak);
    const float* p = state_.power.data();
    Partial* partials = state_.cur->partials.data();
    const int count = state_.cur->count;
    // Most frames of loud, dense sound have no faint peak: the loud ones before the first faint
    // one stay where they are.
    int kept = 0;
    while (kept < count && !(p[partials[kept].peakBin] < faint)) {
        ++kept;
    }
    for (int j = kept; j < count; ++j) {
        const bool isFaint = p[partials[j].peakBin] < faint;
        const bool leave =
            isFaint && kept > 0 && j + 1 < count &&
            slope * (partials[j + 1].peakBin - partials[kept - 1].peakBin) <= kNeighbourMiss;
        if (!leave) {
            if (kept != j) {
                partials[kept] = partials[j];
            }
            if (isFaint) {
                partials[kept].isNoise = true;
            }
            ++kept;
        }
    }
    state_.cur->count = kept;
}

void RegionMap::findRegions() {
    // Each peak owns the bins down to the lowest point between it and its neighbours; the
    // peaks among the fitted partials and the noise peaks are each in order already.
    int fitted = 0;
    int noise = 0;
    for (int j = 0; j < state_.cur->count; ++j) {
        if (state_.cur->partials[static_cast<std::size_t>(j)].peakBin >= 0) {
            if (j < state_.cur->fitCount) {
                fitted_[static_cast<std::size_t>(fitted++)] = j;
            } else {
                noise_[static_cast<std::size_t>(noise++)] = j;
            }
        }
    }
    state_.cur->regionCount = fitted + noise;
    mergeByFrequency(state_.cur->partials.data(), fitted_.data(), fitted, noise_.data(), noise,
                     state_.cur->regionOwners.data(), true);
    const auto peakOf = [this](std::int32_t j) {
        return state_.cur->partials[static_cast<std::size_t>(j)].peakBin;
    };
    const float* p = state_.power.data();
    state_.cur->regionStarts[0] = 1;
    for (int r = 1; r < state_.cur->regionCount; ++r) {
        const int top = peakOf(state_.cur->regionOwners[static_cast<std::size_t>(r)]);
        int low = peakOf(state_.cur->regionOwners[static_cast<std::size_t>(r - 1)]) + 1;
        for (int k = low + 1; k <= top; ++k) {
            if (p[k] < p[low]) {
                low = k;
            }
        }
        state_.cur->regionStarts[static_cast<std::size_t>(r)] = low;
    }
    state_.cur->regionStarts[static_cast<std::size_t>(state_.cur->regionCount)] = state_.bins - 1;
}

int RegionMap::previousOwner(int bin, bool attack) const {
    if (!state_.hasPrevious || state_.prev->regionCount == 0) {
        return -1;
    }
    // Only where the bin already held most of its energy: a peak that rises out of nowhere, or
    // that grows in a frame with an attack, is new sound and starts aligned with the attack.
    // (Close partials that beat look like attacks too, but they are followed as partials, so
    // their offsets do not restart.)
    double then = 0.0;
    withChannels(state_.channels, [&](auto channels) {
        for (int c = 0; c < channels; ++c) {
            then += std::norm(state_.prev->spectra[state_.spectrumIndex(c, bin)]);
        }
    });
    if ((attack ? 1.5 : 4.0) * then < state_.power[static_cast<std::size_t>(bin)]) {
        return -1;
    }
    const auto first = state_.prev->regionStarts.begin();
    const auto last = first + state_.prev->regionCount;
    const auto above = std::upper_bound(first + 1, last, bin);
    return state_.prev->regionOwners[static_cast<std::size_t>(above - first - 1)];
}

}  // namespace brimo::timepitch
