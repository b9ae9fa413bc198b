#include <algorithm>
#include <cmath>

#include "dsp/timepitch/AnalysisTuning.h"
#include "dsp/timepitch/ChannelCount.h"
#include "dsp/timepitch/PartialAnalyzer.h"

namespace brimo::timepitch {

using namespace analysis;

void PartialAnalyzer::leaveFaintPeaksToNeighbours(double ratio) {
    // A region moves all its bins by its owner's shift, (ratio − 1) × the owner's bin, so a bin
    // d bins from its owner lands |ratio − 1| × d bins off its own shift. A faint peak goes when
    // the peak kept below it and the next one above are close enough for that to stay within
    // kNeighbourMiss over all the bins between them, which those two then own: runs of faint
    // peaks thin out to owners that far apart, and at large shifts none go. The first and the
    // last peak always stay, so the outermost regions reach no further than they did. Faint
    // peaks that stay are moved with their regions, not fitted: a fit's gain is lost 60 dB down.
    const double slope = std::abs(ratio - 1.0);
    const auto faint = static_cast<float>(static_cast<double>(loudest_) * kFaintPeak);
    const float* p = power_.data();
    Partial* partials = cur_->partials.data();
    const int count = cur_->count;
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
    cur_->count = kept;
}

void PartialAnalyzer::findRegions() {
    // Each peak owns the bins down to the lowest point between it and its neighbours; the
    // peaks among the fitted partials and the noise peaks are each in order already.
    int fitted = 0;
    int noise = 0;
    for (int j = 0; j < cur_->count; ++j) {
        if (cur_->partials[static_cast<std::size_t>(j)].peakBin >= 0) {
            if (j < cur_->fitCount) {
                order_[static_cast<std::size_t>(fitted++)] = j;
            } else {
                inverse_[static_cast<std::size_t>(noise++)] = j;
            }
        }
    }
    cur_->regionCount = fitted + noise;
    mergeByFrequency(order_.data(), fitted, inverse_.data(), noise, cur_->regionOwners.data(),
                     true);
    const auto peakOf = [this](std::int32_t j) {
        return cur_->partials[static_cast<std::size_t>(j)].peakBin;
    };
    const float* p = power_.data();
    cur_->regionStarts[0] = 1;
    for (int r = 1; r < cur_->regionCount; ++r) {
        const int top = peakOf(cur_->regionOwners[static_cast<std::size_t>(r)]);
        int low = peakOf(cur_->regionOwners[static_cast<std::size_t>(r - 1)]) + 1;
        for (int k = low + 1; k <= top; ++k) {
            if (p[k] < p[low]) {
                low = k;
            }
        }
        cur_->regionStarts[static_cast<std::size_t>(r)] = low;
    }
    cur_->regionStarts[static_cast<std::size_t>(cur_->regionCount)] = bins_ - 1;
}

int PartialAnalyzer::previousOwner(int bin, bool attack) const {
    if (!hasPrevious_ || prev_->regionCount == 0) {
        return -1;
    }
    // Only where the bin already held most of its energy: a peak that rises out of nowhere, or
    // that grows in a frame with an attack, is new sound and starts aligned with the attack.
    // (Close partials that beat look like attacks too, but they are followed as partials, so
    // their offsets do not restart.)
    double then = 0.0;
    withChannels(channels_, [&](auto channels) {
        for (int c = 0; c < channels; ++c) {
            then += std::norm(prev_->spectra[spectrumIndex(c, bin)]);
        }
    });
    if ((attack ? 1.5 : 4.0) * then < power_[static_cast<std::size_t>(bin)]) {
        return -1;
    }
    const auto first = prev_->regionStarts.begin();
    const auto last = first + prev_->regionCount;
    const auto above = std::upper_bound(first + 1, last, bin);
    return prev_->regionOwners[static_cast<std::size_t>(above - first - 1)];
}

}  // namespace brimo::timepitch
