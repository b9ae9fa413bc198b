#pragma once

#include <vector>

#include "dsp/timepitch/AnalysisState.h"
#include "dsp/timepitch/ResidualStore.h"

namespace brimo::timepitch {

// The power each group's fit leaves unexplained in its bins, kept from one walk over the groups
// for a later one in the same frame, so that a group whose fit stayed as it was has its residuals
// taken once. Groups come in order of frequency in every walk.
class ResidualMemory {
  public:
    explicit ResidualMemory(AnalysisState& state) : state_(state) {}

    // Takes all memory for the state's sizes, once it is prepared.
    void prepare();

    // Forgets what the search for hidden partials kept.
    void forgetSearch() { kept_.clear(); }
    // Where the search for hidden partials keeps the residuals of the group of `n` from `first`
    // (by bin, from lo), for the judgement to reuse while the group keeps that fit; scratch()
    // when it cannot.
    [[nodiscard]] double* keepFromSearch(int first, int n, int lo, int hi);
    // The residuals the search kept for the group from `first`, by bin, or null when its fit
    // changed since.
    [[nodiscard]] const double* fromSearch(int first, int n);

    // Forgets what the last refit kept.
    void forgetRefit() { fresh_.clear(); }
    // Where the group from `first`, just refitted while only the changed groups are, keeps the
    // residuals of its new fit (by bin, from lo); null when there is no room.
    [[nodiscard]] double* keepFromRefit(int first, int lo, int hi);
    // Takes back the last group's room, whose residuals could not be taken.
    void dropLastRefit() { fresh_.dropLast(); }
    // The residuals kept for the group from `first` over [lo, hi] as it was refitted, or null.
    [[nodiscard]] const double* fromRefit(int first, int n, int lo, int hi);

    // Before the judgement walks the groups again from the lowest.
    void rewind() {
        kept_.cursor = 0;
        fresh_.cursor = 0;
    }
    // Scratch for a group's residuals that are not kept.
    [[nodiscard]] double* scratch() { return binResidual_.data(); }

  private:
    AnalysisState& state_;
    std::vector<double> binResidual_;
    // Each group's residuals as the search for hidden partials found them, group after group,
    // and which fit and bins they are of: a group that the judgement finds with the same fit
    // (no member added, none moved) leaves the same residuals.
    ResidualStore kept_;
    // The residuals of the groups the changed-only refit fitted on the vector loops, taken while
    // their fits' window values and spectra are at hand, group after group.
    ResidualStore fresh_;
};

}  // namespace brimo::timepitch
