#pragma once

#include <atomic>
#include <complex>
#include <cstdint>
#include <vector>

#include "dsp/timepitch/PartialAnalyzer.h"
#include "dsp/timepitch/RealFft.h"
#include "dsp/timepitch/SourcePull.h"
#include "dsp/timepitch/SpectralShifter.h"
#include "dsp/timepitch/TempoResampler.h"

namespace brimo::timepitch {

// A real-time pitch shifter. Every analysis frame (about 64 ms) is read as a set of sinusoidal
// partials plus what no partial explains, and built anew at the new pitch: partials that the fit
// explains are put back exactly at their new frequency with their level and a phase that follows
// them from frame to frame; the rest (noise, reverberation, partials too close together, the fit's
// error) moves peak region by peak region, phase-locked to each region's peak (see
// SpectralShifter). Nothing keeps its old pitch, so no shifted and unshifted copies of a sound ever
// play together. A frame without any peak (an impulse) has no pitch and stays as it is; partials
// born at an attack start in phase with it, so transients stay sharp.
//
// Frames are centred on the end of every render (and spread evenly before it, at most
// frameSize/overlap apart, where overlaps above 6 act as 6), and each covers the output from
// the previous frame's centre to the next one's only: the output never waits for a frame
// beyond the render, so the delay is half a frame and the resampler's reach, whatever the
// hop, and a 512-frame render analyses one frame.
//
// At 0 cents (with the tempo within 0.25 % of 1: a clock trim) the output is the input read at
// the tempo, sample for sample, and no analysis runs: only the tempo resampler works, and at
// tempo 1 not even that. Leaving the shift, the phase offsets the partials gathered wind back to
// zero first, at a pitch a fraction of the shift's own away (like the end of a glide), and then
// the shifted output fades into the input; coming back, the analysis starts afresh in phase
// with the input and fades in over a hop. The delay stays the same throughout.
//
// The tempo (rate) reads the source through a band-limited resampler at that many source frames
// per output frame, exactly on average, and the shift takes the resampler's change of pitch
// back, frame by frame, so tempo trims leave a shifted pitch alone. Rates are taken from 1/32
// up to TempoResampler::kMaxRate (8); higher ones act as 8. Above 1.03 the band narrows to
// half the sample rate over 0.97 × rate (see TempoResampler).
//
// prepare() takes all memory, and renders a few frames of a test sound once (then forgets them),
// so that a stream's first render costs what any other does. The setters may be called from any
// thread at any time; render() reads them once per call and glides into new values without clicks.
// render() allocates nothing, locks nothing and makes no system calls.
class TimePitchShifter {
  public:
    static constexpr float kMinCents = -2400.0F;
    static constexpr float kMaxCents = 2400.0F;
    static constexpr float kMinRate = 1.0F / 32.0F;
    static constexpr float kMaxRate = 32.0F;
    static constexpr float kMinOverlap = 3.0F;
    static constexpr float kMaxOverlap = 32.0F;

    TimePitchShifter();

    void prepare(double sampleRate, int channels, std::uint32_t maxFramesPerSlice);
    // Back to the state right after prepare(), keeping memory and parameters.
    void reset();

    // Each clamps to its range; a NaN leaves the value as it was.
    void setPitchCents(float cents);
    void setRate(float rate);
    void setOverlap(float overlap);
    void setPeakLocking(bool enabled);

    [[nodiscard]] float pitchCents() const { return pitchCents_.load(std::memory_order_relaxed); }
    [[nodiscard]] float rate() const { return rate_.load(std::memory_order_relaxed); }
    [[nodiscard]] float overlap() const { return overlap_.load(std::memory_order_relaxed); }
    [[nodiscard]] bool peakLocking() const { return peakLocking_.load(std::memory_order_relaxed); }

    // Writes `frames` frames to each of the channel buffers in `output`, pulling as many
    // source frames as that needs in slices of at most maxFramesPerSlice. Returns false, and
    // writes nothing, when `frames` exceeds that maximum or the shifter is not prepared.
    bool render(std::uint32_t frames, float* const* output, SourcePull source);

    // Delay from a source frame to the output frame that carries it, in a chain fed live: the
    // source must be this far ahead of the output for pulls never to wait.
    [[nodiscard]] std::uint32_t latencyFrames() const;
    [[nodiscard]] int frameSize() const { return frameSize_; }

  private:
    // Whether the shifted output is heard (wet), being wound back to the input (leaving,
    // fading) or not made at all (dry).
    enum class Mode { wet, leaving, fading, dry };

    // Where the next frame goes for output up to `end`: on it, when it is at least kMinHop
    // away, with the frames before it spread evenly at most a hop apart.
    [[nodiscard]] std::int64_t nextCentre(std::int64_t end) const;
    void renderWith(std::uint32_t frames, float* const* output, SourcePull source, float cents,
                    float rate, bool jointFit);
    // Renders a short test sound once, so a stream's first renders take no page fault and no
    // cold first use.
    void warmUp();
    // The hop to the next frame when output is wanted `gap` frames past the last one.
    [[nodiscard]] std::int64_t hopAfter(std::int64_t gap) const;
    void processFrame(std::int64_t centre, double pitchRatio, bool jointFit, SourcePull source);
    // Moves the frame grid on and pulls what it needs without analysing: the shift is off.
    void skipFrame(std::int64_t centre, SourcePull source);
    void switchMode(bool wantDry);
    [[nodiscard]] int largestHop() const;
    void pullUntil(std::int64_t end, SourcePull source);
    void makeRoom(std::int64_t keepFrom, std::int64_t end);
    void prepareFades(int hop);
    void analyseFrame(std::int64_t centre);
    [[nodiscard]] double latestOnset(std::int64_t centre);
    // The sample (from the frame start) where an attack found in `block` begins, against the
    // mean energy per sample before it; `sums` are the running energy sums from the frame start.
    [[nodiscard]] int preciseAttack(const double* sums, int block, double level) const;
    // Extends the running energy sums over the input frames [from, to).
    void addEnergy(std::int64_t from, std::int64_t to);
    // Makes the correction final from the previous frame's centre to this one's: the previous
    // frame's own fading out and this one's fading in, which add up to one whatever the hop.
    void crossFade(std::int64_t centre, bool moved);
    [[nodiscard]] float* at(std::vector<float>& buffer, int channel, std::int64_t position) const {
        return buffer.data() + static_cast<std::ptrdiff_t>(channel) * capacity_ +
               (position - base_);
    }

    std::atomic<float> pitchCents_{0.0F};
    std::atomic<float> rate_{1.0F};
    std::atomic<float> overlap_{8.0F};
    std::atomic<bool> peakLocking_{true};

    double sampleRate_ = 0.0;
    int channels_ = 0;
    std::uint32_t maxFrames_ = 0;
    int frameSize_ = 0;
    int maxHop_ = 0;
    std::int64_t capacity_ = 0;

    TempoResampler tempo_;
    RealFft fft_;
    PartialAnalyzer analyzer_;
    SpectralShifter spectral_;
    std::vector<float> window_;
    std::vector<const std::complex<float>*> spectraPointers_;
    std::vector<float*> pullPointers_;

    // Input and correction on one timeline of absolute source positions, from base_ on.
    std::vector<float> input_;
    std::vector<float> correction_;
    // The tempo each input frame was read at; the pitch of a frame is corrected by it.
    std::vector<float> frameRate_;
    // Energy of all channels summed from base_ up to each frame (capacity_ + 1 entries), so any
    // stretch's energy is one subtraction.
    std::vector<double> energySums_;
    // Whether energySums_ hold every input frame pulled; pulls while the shift is off leave them
    // behind.
    bool energySummed_ = true;
    double renderRate_ = 1.0;  // the tempo of the render under way
    std::int64_t base_ = 0;
    std::int64_t inputEnd_ = 0;
    std::int64_t readPosition_ = 0;
    std::int64_t lastCentre_ = 0;
    double lastRatio_ = 1.0;
    std::vector<float> rise_;
    std::vector<float> fall_;
    // The last frame's correction from its centre on (maxHop_ per channel), faded out once the
    // next frame's place is known; and the frame under way's, from −maxHop_ to maxHop_.
    std::vector<float> pending_;
    bool hasPending_ = false;
    std::vector<float> fresh_;

    Mode mode_ = Mode::dry;
    std::int64_t leavingSince_ = 0;  // output position where winding back began
    float wetGain_ = 1.0F;           // how much of the correction is heard
    float wetStep_ = 0.0F;           // its change per output frame while fading
};

}  // namespace brimo::timepitch
