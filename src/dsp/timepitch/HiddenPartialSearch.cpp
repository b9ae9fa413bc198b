#include "dsp/timepitch/HiddenPartialSearch.h"

#include <algorithm>
#include <cmath>

#include "dsp/timepitch/AnalysisTuning.h"

namespace brimo::timepitch {

using namespace analysis;

void HiddenPartialSearch::discoverHidden(const std::complex<float>* const* spectra, bool jointFit) {
    // Where the fit of a group of partials leaves a peak of unexplained power, one more
    // partial is taken to hide there (close partials that never showed peaks of their own).
    const int known = state_.cur->fitCount;
    const int before = state_.cur->count;
    residuals_.forgetSearch();
    tracker_.markOccupied();
    for (int first = 0; first < known;) {
        const int end = fitter_.clusterEnd(first, jointFit);
        const int n = end - first;
        const int lo = std::max(
            1, nearestBin(state_.cur->partials[static_cast<std::size_t>(first)].bins) - kLobe);
        const int hi = std::min(
            state_.bins - 2,
            nearestBin(state_.cur->partials[static_cast<std::size_t>(end - 1)].bins) + kLobe);
        double* residuals = residuals_.keepFromSearch(first, n, lo - 1, hi + 1);
        fitter_.clusterResiduals(spectra, first, n, lo - 1, hi + 1, residuals);
        double best = 0.0;
        int bestBin = -1;
        double unexplained = 0.0;
        double held = 0.0;
        if (lo > hi) {
            // A group beyond the band's edge (frequency steps may take it there): no bin to
            // search, so no partial to add.
            first = end;
            continue;
        }
        // The sums over [lo − 1, hi + 1] in order of bin, their inner bins in the same walk as
        // the search.
        unexplained += residuals[lo - 1];
        held += state_.power[static_cast<std::size_t>(lo) - 1];
        for (int k = lo; k <= hi; ++k) {
            const double at = residuals[k];
            const double power = state_.power[static_cast<std::size_t>(k)];
            unexplained += at;
            held += power;
            // A local maximum of the unexplained power.
            if (at > residuals[k - 1] && at >= residuals[k + 1] && at >= kDiscoverShare * power &&
                at > best) {
                best = at;
                bestBin = k;
            }
        }
        unexplained += residuals[hi + 1];
        held += state_.power[static_cast<std::size_t>(hi) + 1];
        // Noise leaves peaks of unexplained power everywhere; only a group the fit mostly
        // explains has a partial missing.
        if (bestBin > 0 && unexplained <= kNoiseShare * held) {
            tracker_.addPartial(bestBin + unexplainedPeakOffset(residuals, bestBin), -1);
        }
        first = end;
    }
    if (state_.cur->count > before) {
        tracker_.sortPartials();
    }
}

double HiddenPartialSearch::unexplainedPeakOffset(const double* residuals, int bin) {
    // A parabola through the logarithms of the unexplained power around its peak.
    double level[3];
    const double* around = residuals + bin - 1;
    for (int i = 0; i < 3; ++i) {
        level[i] = std::log(around[i] + 1e-30);
    }
    const double curvature = level[0] - 2.0 * level[1] + level[2];
    return curvature < 0.0 ? std::clamp(0.5 * (level[0] - level[2]) / curvature, -0.5, 0.5) : 0.0;
}

}  // namespace brimo::timepitch
