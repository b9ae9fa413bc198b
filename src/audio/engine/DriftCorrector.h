#pragma once

#include <atomic>
#include <cstdint>

namespace brimo::audio {

// Keeps the ring buffer at its designed lookahead although the capture and playback devices
// run on clocks that differ by tens of ppm. Called on the playback thread once per block with
// the ring buffer's fill; answers the tempo the time-pitch unit should run at: 1.0 trimmed by
// at most ±0.2 %, far below what the ear notices, with pitch untouched.
class DriftCorrector {
  public:
    static constexpr double kMaxTrim = 0.002;

    struct Snapshot {
        double rate = 1.0;
        double fillErrorSeconds = 0.0;  // smoothed
        double minFillErrorSeconds = 0.0;
        double maxFillErrorSeconds = 0.0;
    };

    // Before the callbacks run: the rate and the fill the correction holds the ring buffer at.
    void reset(double sampleRate, std::int64_t targetFillFrames);

    // Real-time safe: the fill jumped (a lag was dropped), so the smoothed error starts again
    // from the next fill rather than pulling the trim after a lag that is gone; the integral,
    // which holds the clocks' steady drift, stays.
    void rebase() { primed_ = false; }

    // Real-time safe. `fillFrames` after the block's reads, `blockFrames` the block's length.
    double update(std::int64_t fillFrames, std::uint32_t blockFrames);

    // From any thread.
    [[nodiscard]] Snapshot snapshot() const;

  private:
    double sampleRate_ = 48000.0;
    std::int64_t targetFillFrames_ = 0;
    double smoothedError_ = 0.0;  // seconds
    double integral_ = 0.0;       // seconds × seconds
    bool primed_ = false;

    std::atomic<double> rate_{1.0};
    std::atomic<double> reportedError_{0.0};
    std::atomic<double> minError_{0.0};
    std::atomic<double> maxError_{0.0};
    std::atomic<std::uint64_t> blocks_{0};
};

}  // namespace brimo::audio
