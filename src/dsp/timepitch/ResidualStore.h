#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace brimo::timepitch {

// Groups' residual power kept from one walk over the fits for a later one, group after group in
// order of frequency, each with the fit and the bins it is of. Memory is taken in prepare().
struct ResidualStore {
    struct Entry {
        std::int64_t fit = -1;
        double leadBins = 0.0;
        int first = 0;  // the group's first partial
        int lo = 0;
        int hi = 0;
        int start = 0;  // its first bin's place in power
    };

    std::vector<double> power;
    std::vector<Entry> entries;
    int count = 0;
    int used = 0;  // bins of power in use
    int cursor = 0;

    // Groups' spans are apart and each keeps its lobes' few bins beyond them.
    void prepare(int bins, int maxPartials) {
        power.assign(static_cast<std::size_t>(bins) + 8 * static_cast<std::size_t>(maxPartials),
                     0.0);
        entries.assign(static_cast<std::size_t>(maxPartials), {});
        clear();
    }
    void clear() {
        count = 0;
        used = 0;
    }
    // Records `entry` and returns where its bins [lo, hi] go, indexed by bin; null when full.
    double* take(Entry entry) {
        const int length = entry.hi - entry.lo + 1;
        if (used + length > static_cast<int>(power.size()) ||
            count >= static_cast<int>(entries.size())) {
            return nullptr;
        }
        entry.start = used;
        entries[static_cast<std::size_t>(count++)] = entry;
        used += length;
        return power.data() + entry.start - entry.lo;
    }
    // Forgets the entry taken last.
    void dropLast() {
        const Entry& last = entries[static_cast<std::size_t>(--count)];
        used -= last.hi - last.lo + 1;
    }
    [[nodiscard]] const double* residuals(const Entry& entry) const {
        return power.data() + entry.start - entry.lo;
    }
};

}  // namespace brimo::timepitch
