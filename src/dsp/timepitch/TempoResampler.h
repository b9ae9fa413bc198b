#pragma once

#include <cstdint>
#include <vector>

#include "dsp/timepitch/SourcePull.h"

namespace brimo::timepitch {

// Reads a source at `rate` source frames per produced frame, with band-limited (windowed-sinc)
// interpolation, so that over any stretch of time the source consumed is exactly the sum of
// the rates of the frames produced. It changes tempo and pitch together by the rate; the pitch
// shifter after it takes the pitch back.
//
// At rate 1 on a whole source frame the output is the source, sample for sample. Rates below 1
// keep the whole band. Rates more than 3 % above 1 band-limit the output to half the sample
// rate divided by 0.97 × rate, so nothing audible aliases; up to that, what would alias lies in
// the top few per cent of the band, which the kernel already attenuates. The interpolation
// error is about −110 dB. produce() allocates nothing.
class TempoResampler {
  public:
    // The highest rate it takes; higher ones are read as this one. The kernel's reach in source
    // frames grows with the rate, and so does its cost.
    static constexpr double kMaxRate = 8.0;
    static constexpr double kMinRate = 1.0 / 32.0;
    static constexpr int kMaxChannels = 8;

    // Takes all memory for `channels` channels (at most kMaxChannels), source pulls of at most
    // `maxSlice` frames and up to `maxFrames` frames per produce() call.
    void prepare(int channels, std::uint32_t maxSlice, std::uint32_t maxFrames);
    // Forgets the source read so far, keeping memory.
    void reset();

    // Writes `frames` frames (at most maxFrames) to `out`, one buffer per channel.
    void produce(float* const* out, std::uint32_t frames, double rate, SourcePull source);

    // Output frames from a source frame to the output frame that carries it, at rates up to 1:
    // how far ahead of its output it reads.
    [[nodiscard]] static constexpr int latencyFrames() { return kZeroCrossings; }

    // Source frames pulled so far.
    [[nodiscard]] std::int64_t consumed() const { return sourceEnd_; }

  private:
    static constexpr int kZeroCrossings = 24;
    static constexpr int kStepsPerCrossing = 512;
    static constexpr double kStretchFactor = 0.97;
    static constexpr int kTaps = 2 * kZeroCrossings + 2;
    static constexpr int kColumnStride = kStepsPerCrossing + 8;

    void pullUntil(std::int64_t end, SourcePull source);
    [[nodiscard]] float kernel(double x) const;
    // The weights' dot product with the source; the processor's best version.
    float (*dot_)(const float*, const float*, int) = nullptr;

  public:
    // What reading frames between two polyphase rows needs: the rows, each channel's history at
    // source frame `base`, and the kernel's shape.
    struct RowRead {
        const float* phases;
        const float* const* history;
        std::int64_t base;
        std::int64_t span;
        int channels;
        int taps;
        int steps;
        // The rows tap by tap: columns[i · columnStride + p] is row p's tap i, slopes[…] its
        // step to row p + 1.
        const float* columns;
        const float* slopes;
        int columnStride;
    };

  private:
    // At rates up to 1, the frames of a produce() call with the weights read between two
    // polyphase rows, for every channel at once; the processor's best version.
    void (*readRows_)(const RowRead&, float* const*, std::uint32_t, double, std::int64_t&,
                      double&) = nullptr;
    [[nodiscard]] float* at(int channel, std::int64_t position) {
        return history_.data() + static_cast<std::ptrdiff_t>(channel) * capacity_ +
               (position - base_);
    }

    int channels_ = 0;
    std::uint32_t maxSlice_ = 0;
    std::uint32_t maxFrames_ = 0;
    std::vector<float> table_;    // the kernel against distance, kStepsPerCrossing per frame
    std::vector<float> phases_;   // the same, row by row of read fractions (polyphase)
    std::vector<float> columns_;  // phases_ tap by tap
    std::vector<float> slopes_;   // and each row's step to the next
    std::vector<float> weights_;
    std::vector<float*> pullPointers_;

    // Source frames on their own timeline, from base_ on.
    std::vector<float> history_;
    std::int64_t capacity_ = 0;
    std::int64_t base_ = 0;
    std::int64_t sourceEnd_ = 0;
    // Read position: a whole source frame and the fraction past it, in [0, 1).
    std::int64_t whole_ = 0;
    double fraction_ = 0.0;
};

}  // namespace brimo::timepitch
