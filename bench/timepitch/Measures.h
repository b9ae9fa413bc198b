#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace brimo::bench {

// First frame whose magnitude reaches `fraction` of the signal's peak.
long onsetFrame(const std::vector<float>& y, double fraction);

// Frequency of the one sinusoid in y[from, from + count), near `guessHz`, in Hz: the maximum
// of the Hann-windowed spectrum, found to well below a thousandth of a cent.
double sineFrequency(const std::vector<float>& y, long from, long count, double guessHz);

// Share of the energy of y[from, from + count) outside ±2 Hz of each of `hz` (or, with
// `aroundPeak`, of the strongest spectral peak), and the energy inside each band.
struct BandEnergy {
    double outsideShare = 0.0;
    std::vector<double> inside;
};
BandEnergy bandEnergy(const std::vector<float>& y, long from, long count,
                      const std::vector<double>& hz, bool aroundPeak);

// The lag (0 … maxLag) at which `delayed` best matches `reference`.
long bestLag(const std::vector<float>& reference, const std::vector<float>& delayed, long maxLag);

// Spectral convergence of y (shifted back by `lag`) against `ideal`, in dB, over frames near
// an onset and over the rest.
struct Convergence {
    double steadyDb = 0.0;
    double onsetDb = 0.0;
};
Convergence spectralConvergence(const std::vector<float>& y, const std::vector<float>& ideal,
                                long lag, const std::vector<long>& onsets);

// For clicks at `positions` (input frames) heard `lag` frames later: the largest time span
// holding 90 % of a click's energy, in ms, and the largest share of energy arriving more than
// 1 ms before a click's peak, in dB.
struct ClickSpread {
    double spanMs = 0.0;
    double preEchoDb = 0.0;
};
ClickSpread clickSpread(const std::vector<float>& y, const std::vector<long>& positions, long lag);

// A run's slice times (in render order) summed up: all slices together, the stream's first slice
// (the first render after prepare(), which also pulls the look-ahead) and the slices after it,
// the steady state. Quantiles are the value at that share of the sorted times, rounded down.
struct SliceFigures {
    double median = 0.0;
    double p99 = 0.0;
    double worst = 0.0;
    double first = 0.0;
    double steadyMedian = 0.0;
    double steadyWorst = 0.0;

    [[nodiscard]] double spread() const { return median > 0.0 ? worst / median : 0.0; }
    [[nodiscard]] double steadySpread() const {
        return steadyMedian > 0.0 ? steadyWorst / steadyMedian : 0.0;
    }
};

inline SliceFigures sliceFigures(const std::vector<double>& times) {
    SliceFigures figures;
    if (times.empty()) {
        return figures;
    }
    const auto at = [](const std::vector<double>& sorted, double share) {
        return sorted[static_cast<std::size_t>(share * static_cast<double>(sorted.size() - 1))];
    };
    std::vector<double> sorted = times;
    std::sort(sorted.begin(), sorted.end());
    figures.median = at(sorted, 0.5);
    figures.p99 = at(sorted, 0.99);
    figures.worst = sorted.back();
    figures.first = times.front();
    if (times.size() > 1) {
        std::vector<double> steady(times.begin() + 1, times.end());
        std::sort(steady.begin(), steady.end());
        figures.steadyMedian = at(steady, 0.5);
        figures.steadyWorst = steady.back();
    }
    return figures;
}

double rms(const std::vector<float>& y, long from, long count);
double toDb(double energyRatio);

}  // namespace brimo::bench
