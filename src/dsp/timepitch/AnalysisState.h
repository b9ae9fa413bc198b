#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "dsp/timepitch/PartialFrame.h"
#include "dsp/timepitch/WindowTransform.h"

namespace brimo::timepitch {

// What the analysis's stages (peak tracking, cluster fitting, the region map) share: the frame
// under way and the one before, the bins' power and the window. The analyzer owns it and hands
// it to each stage; memory is taken in prepare(), off the real-time thread.
struct AnalysisState {
    static constexpr int kMaxChannels = 8;

    AnalysisState() = default;
    // It points into itself (the two frame records).
    AnalysisState(const AnalysisState&) = delete;
    AnalysisState& operator=(const AnalysisState&) = delete;

    WindowTransform window;
    int frameSize = 0;
    int bins = 0;
    int channels = 0;
    int maxPartials = 0;
    bool vectorLoops = false;  // the AVX2 loops, chosen when prepared

    std::vector<float> power;  // each bin's power, summed over the channels
    float loudest = 0.0F;      // the loudest bin's

    // The frame being analysed and the one before it; swapped at the start of every frame.
    PartialFrame frames[2];
    PartialFrame* cur = &frames[0];
    PartialFrame* prev = &frames[1];
    bool hasPrevious = false;

    [[nodiscard]] std::size_t amplitudeIndex(int index, int channel) const {
        return static_cast<std::size_t>(index) * static_cast<std::size_t>(channels) +
               static_cast<std::size_t>(channel);
    }
    [[nodiscard]] std::size_t spectrumIndex(int channel, int bin) const {
        return static_cast<std::size_t>(channel) * static_cast<std::size_t>(bins) +
               static_cast<std::size_t>(bin);
    }
    // Complex amplitude of a partial of the frame under way in a channel.
    [[nodiscard]] std::complex<float> amplitude(int index, int channel) const {
        return cur->amplitudes[amplitudeIndex(index, channel)];
    }
};

}  // namespace brimo::timepitch
