#pragma once

#include <complex>
#include <cstdint>

#include "dsp/timepitch/PartialFrame.h"

// The peak tracker's loops in AVX2, each beside its plain twin where the two are functions: the
// vector loops take the plain ones for their tails, so each sum is written out once there.
namespace brimo::timepitch::peakkernels {

// Each bin's power summed over the channels into power[k] for k in [from, bins); returns the
// loudest. The plain loop, and the tail of the vector one.
float powerPlain(const std::complex<float>* const* spectra, int channels, int from, int bins,
                 float* power, float loudest);

// The same sums eight bins at a time: re² + im² as one horizontal add (the same two products
// and one sum, the operands swapped), channels added in order; no fused products, so the bits
// are the plain loop's.
__attribute__((target("avx2"))) float powerAvx2(const std::complex<float>* const* spectra,
                                                int channels, int bins, float* power);

// The bins k in [from, to) that hold peaks, in order, into bins[found…]; returns the new count.
int peaksPlain(const float* p, int from, int to, float floor, std::int32_t* bins, int found);

// The same tests eight bins at a time (a bin beside one that is not a number is no peak on
// either: every comparison with it is false).
__attribute__((target("avx2"))) int peaksAvx2(const float* p, int from, int to, float floor,
                                              std::int32_t* bins);

// PeakTracker::frequencyFromPhase() and the phase advance for four peaks at a time, with
// phaseOf() and wrapPhase() operation for operation (no fused products: AVX2 alone), so the
// same bits. Each peak's shape frequency is in its bins. Returns how many peaks it did.
__attribute__((target("avx2"))) int phaseFrequenciesAvx2(Partial* partials, int count,
                                                         const std::complex<float>* const* spectra,
                                                         const std::complex<float>* previous,
                                                         int bins, int channels, int hop,
                                                         int frameSize);

// PeakTracker::refineFromPhaseAdvance() for four fitted partials of a stereo frame at a
// time, operation for operation as the plain loop (products and sums in its order, no fused
// ones), so the same bits. Returns how many partials it did.
__attribute__((target("avx2"))) int refineStereoAvx2(Partial* partials, int count,
                                                     const std::complex<float>* amplitudes,
                                                     const Partial* previous,
                                                     const std::complex<float>* previousAmplitudes,
                                                     int hop, int frameSize, double gain,
                                                     bool updateFrequencies);

// PeakTracker::frequencyFromShape() for eight peaks at a time, whose bins are bins[0…count),
// into their partials; returns how many it did. The same ratios, sums and quotient; the
// logarithms are vectormath's, so a frequency may differ from the plain loops' in its last
// bits.
__attribute__((target("avx2,fma"))) int shapeFrequenciesAvx2(Partial* partials, int count,
                                                             const float* power,
                                                             const std::int32_t* bins);

// PeakTracker::markCrowded() for eight peaks at a time. A peak j has at least kCrowdPeaks
// others within kCrowdReach bins exactly when one of the runs of kCrowdPeaks + 1 peaks that
// hold it, starting at j - kCrowdPeaks … j, lies within reach on both sides; the peaks' bins
// rise, so that is the window test of the plain loop. `bins` reads kCrowdPeaks + 1 entries
// before the list and 2 · kCrowdPeaks + 2 after its last peak, which hold bins out of reach.
__attribute__((target("avx2"))) void crowdedAvx2(Partial* partials, int count,
                                                 const std::int32_t* bins);

// PeakTracker::movePartials() for stereo: each partial (a whole number of vectors) and its
// two amplitudes in whole vectors, not piece by piece.
__attribute__((target("avx2"))) void moveStereoAvx2(const Partial* partials,
                                                    const std::complex<float>* amplitudes,
                                                    const std::int32_t* order, int count,
                                                    Partial* to, std::complex<float>* amplitudesTo);

}  // namespace brimo::timepitch::peakkernels
