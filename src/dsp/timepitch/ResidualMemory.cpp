#include "dsp/timepitch/ResidualMemory.h"

#include "dsp/timepitch/PartialReach.h"

namespace brimo::timepitch {

void ResidualMemory::prepare() {
    binResidual_.assign(static_cast<std::size_t>(state_.bins), 0.0);
    // Groups' spans are apart and each keeps its lobes' few bins beyond them.
    kept_.prepare(state_.bins, state_.maxPartials);
    fresh_.prepare(state_.bins, state_.maxPartials);
}

double* ResidualMemory::keepFromSearch(int first, int n, int lo, int hi) {
    const Partial& lead = state_.cur->partials[static_cast<std::size_t>(first)];
    // Only a group that is exactly one fit's, at the frequencies it was fitted at, and has no
    // mirror images in its bins (so that any narrower span takes the same path).
    const Partial* partials = state_.cur->partials.data();
    bool whole = lead.groupSize == n &&
                 !mayHaveImages(partials, first, first + n, lo, state_.frameSize) &&
                 !mayHaveImages(partials, first, first + n, hi, state_.frameSize);
    for (int j = first; j < first + n && whole; ++j) {
        const Partial& partial = state_.cur->partials[static_cast<std::size_t>(j)];
        whole = partial.fitGroup == lead.fitGroup && !partial.moved;
    }
    double* out =
        whole
            ? kept_.take(
                  {.fit = lead.fitGroup, .leadBins = lead.bins, .first = first, .lo = lo, .hi = hi})
            : nullptr;
    return out != nullptr ? out : binResidual_.data();
}

const double* ResidualMemory::fromSearch(int first, int n) {
    const Partial& lead = state_.cur->partials[static_cast<std::size_t>(first)];
    if (lead.groupSize != n) {
        return nullptr;
    }
    for (int j = first + 1; j < first + n; ++j) {
        if (state_.cur->partials[static_cast<std::size_t>(j)].fitGroup != lead.fitGroup) {
            return nullptr;
        }
    }
    // Groups come in order of frequency in both walks.
    while (kept_.cursor < kept_.count &&
           kept_.entries[static_cast<std::size_t>(kept_.cursor)].leadBins < lead.bins) {
        ++kept_.cursor;
    }
    if (kept_.cursor == kept_.count) {
        return nullptr;
    }
    const ResidualStore::Entry& kept = kept_.entries[static_cast<std::size_t>(kept_.cursor)];
    return kept.fit == lead.fitGroup ? kept_.residuals(kept) : nullptr;
}

double* ResidualMemory::keepFromRefit(int first, int lo, int hi) {
    const Partial& lead = state_.cur->partials[static_cast<std::size_t>(first)];
    return fresh_.take(
        {.fit = lead.fitGroup, .leadBins = lead.bins, .first = first, .lo = lo, .hi = hi});
}

const double* ResidualMemory::fromRefit(int first, int n, int lo, int hi) {
    // Groups come in order in both walks.
    while (fresh_.cursor < fresh_.count &&
           fresh_.entries[static_cast<std::size_t>(fresh_.cursor)].first < first) {
        ++fresh_.cursor;
    }
    if (fresh_.cursor == fresh_.count) {
        return nullptr;
    }
    const ResidualStore::Entry& fresh = fresh_.entries[static_cast<std::size_t>(fresh_.cursor)];
    const Partial& lead = state_.cur->partials[static_cast<std::size_t>(first)];
    // The same partials (a fit marks exactly its own), at the frequencies and over the bins
    // they were fitted at and over.
    if (fresh.first != first || fresh.fit != lead.fitGroup || lead.groupSize != n ||
        fresh.leadBins != lead.bins || fresh.lo != lo || fresh.hi != hi) {
        return nullptr;
    }
    for (int j = first + 1; j < first + n; ++j) {
        if (state_.cur->partials[static_cast<std::size_t>(j)].fitGroup != lead.fitGroup) {
            return nullptr;
        }
    }
    return fresh_.residuals(fresh);
}

}  // namespace brimo::timepitch
