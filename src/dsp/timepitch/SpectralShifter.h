#pragma once

#include <complex>
#include <vector>

#include "dsp/timepitch/PartialAnalyzer.h"
#include "dsp/timepitch/RealFft.h"
#include "dsp/timepitch/WindowTransform.h"

namespace brimo::timepitch {

// Moves everything in one analysis frame to the new pitch and returns it as a correction to the
// input around the frame centre: the frame is built anew at the new pitch, and the correction
// is that minus the input.
//
// Partials that the analyzer fitted well are taken out of the spectrum by their model and put
// back at the new frequency exactly. What is left (noise, reverberation, partials too close to
// tell apart, the fit's own error) is moved peak region by peak region: every bin of a region
// moves by the frequency shift of the region's peak, with the peak's phase offset, so the
// region stays coherent with its peak and with the frame before (phase locking). A shift by a
// fraction of a bin is exact through a short interpolation kernel: the transform of a smooth
// taper that is only divided out again near the centre, the only samples used.
class SpectralShifter {
  public:
    // Takes all memory for frames of `frameSize` samples and hops up to `maxHop`.
    void prepare(int frameSize, int channels, int maxHop);

    // For the frame whose zero-phase spectra are `spectra` and whose analysis is `analyzer`,
    // writes shifted − input to out[c][n] for n in [−before, after) (at most the maximum hop
    // each way), where input[c] and out[c] point at the frame centre. Returns false, touching
    // nothing, when nothing in the frame moves (ratio 1 and every phase offset 0).
    bool correction(const std::complex<float>* const* spectra, const PartialAnalyzer& analyzer,
                    double ratio, const float* const* input, float* const* out, int before,
                    int after);

  private:
    // Each step works on every channel at once, sharing the kernel lookups.
    void takeOutModels(const std::complex<float>* const* spectra, const PartialAnalyzer& analyzer);
    void addPartials(const PartialAnalyzer& analyzer, double ratio);
    void moveRegions(const PartialAnalyzer& analyzer, double ratio, float floor);
    // moveRegions() for two channels on the AVX2 + FMA loops: regions of up to kShortRegion
    // bins moved in registers in one pass, without a call per region, the others by
    // moveRegion(); the same to the bit.
    __attribute__((target("avx2,fma"))) void moveRegionPairs(const PartialAnalyzer& analyzer,
                                                             double ratio, float floor);
    // Moves bins [start, end) of the residual by `shift` bins, turning them by cr + i·ci.
    void moveRegion(int start, int end, double shift, float cr, float ci, float floor);
    // Adds values[c]·kernel(k − centre) to every channel's moved spectrum.
    void scatter(double centre, const std::complex<float>* values, const WindowTransform& kernel);
    // Turns a channel's moved spectrum into the inverse FFT's input and clears it.
    void foldIntoSpectrum(int channel);
    [[nodiscard]] float* residualRe(int c) { return residualRe_.data() + c * bins_; }
    [[nodiscard]] float* residualIm(int c) { return residualIm_.data() + c * bins_; }
    // Bin 0 of a channel's moved spectrum; bins from −margin_ on are valid.
    [[nodiscard]] float* movedRe(int c) { return movedRe_.data() + c * movedStride_ + margin_; }
    [[nodiscard]] float* movedIm(int c) { return movedIm_.data() + c * movedStride_ + margin_; }

    int frameSize_ = 0;
    int bins_ = 0;
    int channels_ = 0;
    int maxHop_ = 0;
    int margin_ = 0;

    WindowTransform analysis_;  // the analysis window (Hann): what the partial models are
    WindowTransform taper_;     // the interpolation taper (Blackman-Harris)
    WindowTransform product_;   // analysis window × taper: the domain the result is built in
    std::vector<double> inverseWindow_;  // 1 / (N · analysis · taper), n from −maxHop

    // Real and imaginary parts apart, so the loops over bins vectorise; channel after channel.
    std::vector<float> residualRe_;  // bins_ per channel
    std::vector<float> residualIm_;
    int movedStride_ = 0;  // bins_ + 2 · margin_ + kBlockSlack per channel, from bin −margin_
    std::vector<float> movedRe_;
    std::vector<float> movedIm_;
    // One region's bins, zero-padded, channel after channel, while they are moved.
    static constexpr int kRegionPad = 24;

    // Room past the last moved bin for a block of eight that starts before it.
    static constexpr int kBlockSlack = 8;
    int regionStride_ = 0;  // bins_ + 2 · kRegionPad per channel
    std::vector<float> regionRe_;
    std::vector<float> regionIm_;
    [[nodiscard]] float* regionRe(int c) {
        return regionRe_.data() + c * regionStride_ + kRegionPad;
    }
    [[nodiscard]] float* regionIm(int c) {
        return regionIm_.data() + c * regionStride_ + kRegionPad;
    }
    // Adds a region's bins, already turned, moved through the taper's taps to the moved bins;
    // the processor's best version.
    void (*convolve_)(const float*, const float*, float*, float*, int, int, int,
                      const float*) = nullptr;
    // Turns a region's bins by its phase offset into the scratch, summing their power.
    float (*turn_)(const float*, const float*, float*, float*, int, float, float, float) = nullptr;
    // Stereo regions of up to kShortRegion bins move through moveRegionPairs() where the
    // processor has the loops for it.
    static constexpr int kShortRegion = 8;
    bool pairLoops_ = false;
    // Interleaves the moved spectrum into the inverse's input, odd bins negated, clearing it;
    // returns the bins it did.
    int (*fold_)(float*, float*, float*, int) = nullptr;
    // out = inverse · window divisor − input over the frame's span.
    void (*finish_)(const float*, const double*, const float*, float*, int) = nullptr;
    // Splits a frame's spectrum into the residual's real and imaginary parts.
    void (*split_)(const float*, float*, float*, int) = nullptr;
    // The turns of eight phase offsets, their cosines and sines.
    void (*turns_)(const float*, float*, float*) = nullptr;
    RealFft fft_;
};

}  // namespace brimo::timepitch
