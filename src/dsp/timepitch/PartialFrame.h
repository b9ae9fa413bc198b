#pragma once

#include <complex>
#include <cstdint>
#include <vector>

namespace brimo::timepitch {

// One sinusoid found in an analysis frame, shared by all channels: its frequency, how far its
// phase moved since the previous frame, and the phase offset its shifted copy carries.
struct Partial {
    double bins = 0.0;           // frequency, in bins of the analysis FFT
    double advance = 0.0;        // unwrapped phase advance since the previous frame, radians
    double offset = 0.0;         // phase of the shifted copy minus the phase of the original
    std::int32_t age = 0;        // frames it has been followed for; 0 when it first appears
    std::int32_t previous = -1;  // its index in the previous frame, −1 when new
    std::int32_t peakBin = -1;   // the spectral peak it was found at; −1 when hidden under one
    std::int32_t misfits = 0;    // frames in a row the fit has not explained it
    // The fit that gave it its amplitudes, numbered through the analyzer's life (the partials
    // fitted together share it; −1 before any), and how many partials that fit took: a group
    // whose members are all of one fit, and all of it, still holds that fit's amplitudes.
    std::int64_t fitGroup = -1;
    std::int32_t groupSize = 0;
    bool fitsWell = false;   // the fit explains its bins
    bool hasFitted = false;  // the fit explained it in some frame so far
    bool isNoise = false;    // a noise peak: moved with its region, not fitted
    bool isCrowded = false;  // a peak with many other peaks around it
    bool isShifted = false;  // fits well and was followed from the previous frame
    bool moved = false;      // frequency changed since its amplitudes were last fitted
};

// Everything the analysis knows about one frame. The analyzer keeps two, the frame under way
// and the one before, and swaps them every frame instead of copying.
struct PartialFrame {
    int count = 0;        // partials
    int fitCount = 0;     // while analysing: partials [0, fitCount) are fitted, the rest noise
    int regionCount = 0;  // peak regions
    std::vector<Partial> partials;
    std::vector<std::complex<float>> amplitudes;  // partial after partial, channel by channel
    std::vector<std::int32_t> regionStarts;       // regionCount + 1 entries
    std::vector<std::int32_t> regionOwners;       // the partial at each region's peak
    std::vector<std::complex<float>> spectra;     // the frame's spectra, channel after channel

    void prepare(int maxPartials, int channels, int bins) {
        const auto partialsRoom = static_cast<std::size_t>(maxPartials);
        partials.assign(partialsRoom, {});
        amplitudes.assign(partialsRoom * static_cast<std::size_t>(channels), {});
        regionStarts.assign(partialsRoom + 1, 0);
        regionOwners.assign(partialsRoom, 0);
        spectra.assign(static_cast<std::size_t>(bins) * static_cast<std::size_t>(channels), {});
        clear();
    }
    void clear() {
        count = 0;
        fitCount = 0;
        regionCount = 0;
    }
};

}  // namespace brimo::timepitch
