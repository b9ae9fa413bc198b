#pragma once

#include <complex>
#include <cstdint>

#include "dsp/timepitch/AnalysisTuning.h"
#include "dsp/timepitch/PartialFrame.h"
#include "dsp/timepitch/PartialReach.h"
#include "dsp/timepitch/WindowTransform.h"

// The cluster fits' stereo loops in AVX2, for ClusterFitter to call where its plain loops would
// do the same sums: each takes the same terms in the same order, so both give the same bits.
namespace brimo::timepitch::fitkernels {

// The window table's steps per bin (WindowTransform's), checked where the copy is made.
inline constexpr int kTableSteps = 1024;

// Each partial's window values in the loops below: the sixteen bins within kReach of it.
inline constexpr int kRowBins = 2 * analysis::kReach;

// The first bin within kReach of a partial at `nu` (not negative), by the test nearby() makes.
inline int rowStart(double nu) {
    return static_cast<int>(nu) - analysis::kReach + 1;
}

// Whether the partials from `partials` are in order of frequency and not below DC, as the
// window rows take them (each row then holds every bin in which nearby() finds its partial).
inline bool rowsHold(const Partial* partials, int n) {
    if (!(partials[0].bins >= 0.0)) {
        return false;
    }
    for (int j = 1; j < n; ++j) {
        if (!(partials[j - 1].bins <= partials[j].bins)) {
            return false;
        }
    }
    return true;
}

// The normal equations of a stereo group without mirror images, as fitClusterApart() forms
// them: `gram` (n×n) whole, and each partial's right-hand sides as (B₀, C₀, B₁, C₁).
__attribute__((target("avx2"))) void apartStereoAvx2(const float* table, const Partial* partials,
                                                     int n, int lo, int hi,
                                                     const std::complex<float>* const* spectra,
                                                     double* gram, double (*rhs)[4]);

// The most bins a group's residuals are taken over at once in the loops below (a group of
// kMaxCluster partials less than kClusterGap apart spans fewer).
inline constexpr int kMostResidualBins = 96;

// The last bin within kReach of a partial at `nu` whose row starts at `start`, by the test
// nearby() makes.
inline int rowEnd(double nu, int start) {
    const int end = start + kRowBins - 1;
    return nu > end - analysis::kReach ? end : end - 1;
}

// What clusterResiduals() leaves in each bin [lo, hi] (at most kMostResidualBins) of a stereo
// group without mirror images, for the partials' amplitudes `amplitudes` (partial after partial,
// channel by channel). Partial by partial: each bin's model still sums its partials in order.
// The last partial's products are not stored but added as each bin's residual is taken, and a
// lone partial's model is never stored at all.
__attribute__((target("avx2"))) void residualsStereoAvx2(
    const float* table, const Partial* partials, const std::complex<float>* amplitudes, int n,
    int lo, int hi, const std::complex<float>* const* spectra, double* out);

// What residualPower() leaves in each bin [lo, hi] of a stereo group with mirror images (next to
// DC or the Nyquist frequency): bin by bin, the partials near it found and their window values
// and images looked up as models() finds and looks them up, each partial's four products added
// side by side in order.
__attribute__((target("avx2"))) void imagesResidualsStereoAvx2(
    const WindowTransform& window, int frameSize, const Partial* partials,
    const std::complex<float>* amplitudes, int n, int lo, int hi,
    const std::complex<float>* const* spectra, double* out);

// A group's window values with their mirror images, bin by bin (from its first), for
// imagesStereoAvx2(): b for the real parts, c for the imaginary ones, zero for every partial
// outside [from, to) of the bin.
struct ImageBins {
    float b[kMostResidualBins][analysis::kMaxCluster];
    float c[kMostResidualBins][analysis::kMaxCluster];
    int from[kMostResidualBins];
    int to[kMostResidualBins];
};

// fitCluster()'s sums for a stereo group with mirror images over the bins [lo, hi]: both normal
// matrices whole and the right-hand sides in its layout (every channel's for the real parts,
// then those for the imaginary ones). As apartStereoAvx2(), a bin's two channels side by side
// and the rows four lanes a step; the same products in the same order.
__attribute__((target("avx2"))) void imagesStereoAvx2(const ImageBins& bins, int n, int lo, int hi,
                                                      const std::complex<float>* const* spectra,
                                                      double* gramB, double* gramC, double* rhsB,
                                                      double* rhsC);

// The most partials and bins of the groups apartFewStereoAvx2() takes.
inline constexpr int kFewPartials = 4;
inline constexpr int kFewBins = 32;

// apartStereoAvx2() for the most common groups, of up to four partials over at most 32 bins,
// with each partial's normal-matrix row and right-hand sides in registers. Bin by bin, every
// partial's window values side by side (zero where a partial is out of reach: its lanes add
// zero) make each row's four sums one product and one addition; each lane still sums the same
// products in order of bin. The full rows are formed, not the lower half mirrored: a product
// and its transpose are the same, so the two halves are too. The right-hand sides are summed
// partial by partial over the bins in reach only (a zero weight would turn an infinite
// spectrum into NaN where the plain loops leave it out).
// The weights are left in `weights` (by bin, from lo) for fewResidualsStereoAvx2().
__attribute__((target("avx2"))) void apartFewStereoAvx2(const float* table, const Partial* partials,
                                                        int n, int lo, int hi,
                                                        const std::complex<float>* const* spectra,
                                                        double* gram, double (*rhs)[4],
                                                        double (*weights)[kFewPartials]);

// What residualsStereoAvx2() leaves in each bin [lo, hi] of a group whose sums
// apartFewStereoAvx2() formed, from its weights and the group's new amplitudes. A zero weight's
// product is a zero, which leaves a bin's power as it is where the plain loops leave the partial
// out, as long as every amplitude is finite: false, and nothing taken, where one is not.
__attribute__((target("avx2"))) bool fewResidualsStereoAvx2(
    const double (*weights)[kFewPartials], const std::complex<float>* amplitudes, int n, int lo,
    int hi, const std::complex<float>* const* spectra, double* out);

// fitSingle() for a stereo partial without mirror images over the bins [lo, lo + 7] at most:
// the amplitudes of both channels, as (re₀, im₀, re₁, im₁), into `out`.
// With `residuals`, also what residualsStereoAvx2() leaves in each of the bins for the new
// amplitudes, from the same window values.
__attribute__((target("avx2"))) void singleStereoAvx2(const float* table, double nu, int lo, int hi,
                                                      const std::complex<float>* const* spectra,
                                                      std::complex<float>* out, double* residuals);

// windowRow() for the eight bins from `first`, for the plain loops.
__attribute__((target("avx2"))) void eightBinsAvx2(const float* table, int first, double nu,
                                                   float* out);

// The table steps either side of a value that its slope is taken over.
inline constexpr double kSlopeStep = 2.0 / kTableSteps;

// The most partials of a run stepFrequenciesStereoAvx2() takes.
inline constexpr int kFewRun = 4;

// What stepFrequencies() sums over the bins [lo, hi] (at most 16, every one within kReach of
// every partial of the run) for a stereo group of `n` partials without mirror images whose
// run of `m` partials from `run` is stepped: the normal matrix (m×m, whole: its halves are the
// same products), the gradient and the residual and own energies. The same terms in the same
// order as the plain loops, the run's partials side by side in four lanes.
__attribute__((target("avx2"))) void stepFrequenciesStereoAvx2(
    const float* table, const Partial* partials, const std::complex<float>* amplitudes, int n,
    int run, int m, int lo, int hi, const std::complex<float>* const* spectra, double* normal,
    double* gradient, double& residualEnergy, double& ownEnergy);

// Whether windowRow() and slopeRow() from `table` give what `window` gives, for a few
// partials' rows.
__attribute__((target("avx2"))) bool rowsMatch(const WindowTransform& window, const float* table);

}  // namespace brimo::timepitch::fitkernels
