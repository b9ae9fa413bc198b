#include "dsp/timepitch/FitJudgement.h"

#include <algorithm>
#include <cmath>

#include "dsp/timepitch/AnalysisTuning.h"
#include "dsp/timepitch/ChannelCount.h"
#include "dsp/timepitch/ClusterFitterKernels.h"

namespace brimo::timepitch {

using namespace analysis;

void FitJudgement::judgeFit(const std::complex<float>* const* spectra, bool jointFit) {
    const float* table = fitter_.vectorTable();
    residuals_.rewind();
    withChannels(state_.channels, [&](auto channels) {
        for (int j = state_.cur->fitCount; j < state_.cur->count; ++j) {
            Partial& partial = state_.cur->partials[static_cast<std::size_t>(j)];
            const Partial* previous =
                partial.previous >= 0
                    ? &state_.prev->partials[static_cast<std::size_t>(partial.previous)]
                    : nullptr;
            partial.fitsWell = false;
            partial.isShifted = false;
            partial.hasFitted = previous != nullptr && previous->hasFitted;
            partial.misfits = (previous != nullptr ? previous->misfits : kGraceFrames) + 1;
            // Not fitted: no amplitude for the next frame to measure a phase advance against.
            for (int ch = 0; ch < channels; ++ch) {
                state_.cur->amplitudes[state_.amplitudeIndex(j, ch)] = {};
            }
        }
    });
    const double peak = static_cast<double>(state_.window.at(0.0));
    for (int first = 0; first < state_.cur->fitCount;) {
        const int end = fitter_.clusterEnd(first, jointFit);
        const int n = end - first;
        // Every partial's lobe lies within the group's span; each bin's residual is taken once,
        // here or, for a group whose fit stayed as it was, already while looking for hidden
        // partials (a span that holds this one).
        // Or, for a group refitted since, while it was.
        const int lo = std::max(
            0, nearestBin(state_.cur->partials[static_cast<std::size_t>(first)].bins) - kLobe);
        const int hi = std::min(
            state_.bins - 1,
            nearestBin(state_.cur->partials[static_cast<std::size_t>(end - 1)].bins) + kLobe);
        const double* residuals = residuals_.fromRefit(first, n, lo, hi);
        if (residuals == nullptr) {
            residuals = residuals_.fromSearch(first, n);
        }
        if (residuals == nullptr) {
            double* scratch = residuals_.scratch();
            fitter_.clusterResiduals(spectra, first, n, lo, hi, scratch);
            residuals = scratch;
        }
        for (int j = first; j < end; ++j) {
            Partial& partial = state_.cur->partials[static_cast<std::size_t>(j)];
            const int centre = nearestBin(partial.bins);
            double residual = 0.0;
            double own = 0.0;
            double held = 0.0;
            double fitted = 0.0;
            float lobe[8];
            const bool rowed = table != nullptr && partial.bins >= 0.0;
            if (rowed) {
                fitkernels::eightBinsAvx2(table, centre - kLobe, partial.bins, lobe);
            }
            withChannels(state_.channels, [&](auto channels) {
                for (int k = std::max(0, centre - kLobe);
                     k <= std::min(state_.bins - 1, centre + kLobe); ++k) {
                    const double direct =
                        rowed ? lobe[k - centre + kLobe] : state_.window.at(k - partial.bins);
                    for (int ch = 0; ch < channels; ++ch) {
                        own += std::norm(std::complex<double>(state_.amplitude(j, ch))) * direct *
                               direct;
                    }
                    residual += residuals[k];
                }
                // A fit that explains the bins with much more energy than they hold is two
                // close partials cancelling each other, not a description of the sound.
                for (int ch = 0; ch < channels; ++ch) {
                    held += std::norm(spectra[ch][std::clamp(centre, 0, state_.bins - 1)]);
                }
                for (int ch = 0; ch < channels; ++ch) {
                    fitted +=
                        std::norm(std::complex<double>(state_.amplitude(j, ch))) * peak * peak;
                }
            });
            const bool plausible = fitted <= 4.0 * held;
            const double share = own > 0.0 && plausible ? residual / own : 1e30;
            partial.fitsWell = share <= kFitTolerance;
            partial.hasFitted =
                partial.fitsWell ||
                (partial.previous >= 0 &&
                 state_.prev->partials[static_cast<std::size_t>(partial.previous)].hasFitted);
            partial.isShifted = partial.fitsWell && partial.previous >= 0;
            partial.misfits =
                partial.fitsWell
                    ? 0
                    : (partial.previous >= 0
                           ? state_.prev->partials[static_cast<std::size_t>(partial.previous)]
                                 .misfits
                           : kGraceFrames) +
                          1;
        }
        first = end;
    }
}

}  // namespace brimo::timepitch
