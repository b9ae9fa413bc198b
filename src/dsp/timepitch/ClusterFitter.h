#pragma once

#include <array>
#include <complex>
#include <cstdint>
#include <vector>

#include "dsp/timepitch/AnalysisState.h"
#include "dsp/timepitch/ResidualMemory.h"

namespace brimo::timepitch {

// Fits each group of neighbouring partials to the frame's spectra by least squares: every
// channel's complex amplitude, and close partials' frequencies; and tells what a group's fit
// leaves unexplained in its bins.
class ClusterFitter {
  public:
    // The changed-only refit keeps its groups' residuals in `residuals`.
    ClusterFitter(AnalysisState& state, ResidualMemory& residuals)
        : state_(state), residuals_(residuals) {}

    // Chooses the fits' loops and takes their table of the window, once the state is prepared.
    void prepare();

    // Fits every group, or only those with a partial that moved or whose members were not
    // fitted together.
    void fitAmplitudes(const std::complex<float>* const* spectra, bool jointFit,
                       bool onlyChanged = false);
    void solveCloseFrequencies(const std::complex<float>* const* spectra);

    // The end of the group from `first`: the partials up to it are fitted together.
    [[nodiscard]] int clusterEnd(int first, bool jointFit) const;
    // The power the group of `n` partials from `first` leaves unexplained in each of the bins
    // [lo, hi], into out[lo] … out[hi].
    void clusterResiduals(const std::complex<float>* const* spectra, int first, int n, int lo,
                          int hi, double* out) const;
    // The window's table for the AVX2 loops' lookups, or null where the plain loops run.
    [[nodiscard]] const float* vectorTable() const {
        return vectorFits_ ? fitTable_.data() : nullptr;
    }

  private:
    void fitCluster(const std::complex<float>* const* spectra, int first, int last);
    // The normal equations of a group without mirror images, the same for both parts.
    void fitClusterApart(const std::complex<float>* const* spectra, int first, int n, int lo,
                         int hi, double* gram, double* rhsB, double* rhsC) const;
    // Counts a fit and marks the `n` partials from `first` as fitted together in it.
    void markFitted(int first, int n);
    // Keeps a group's solved amplitudes and marks its partials as fitted together.
    void storeFit(int first, int n, const double* rhsB, const double* rhsC);
    void fitSingle(const std::complex<float>* const* spectra, int index);
    // Whether any of the partials [from, to), in order of frequency, may have a mirror image in
    // `bin`.
    [[nodiscard]] bool nearEdge(int bin, int from, int to) const;
    // One Gauss-Newton step on the frequencies of the partials [runFirst, runEnd) of the cluster
    // of `n` partials from `first`, unless their fit is already close enough; returns the share
    // of the run's bins' energy left unexplained before the step.
    double stepFrequencies(const std::complex<float>* const* spectra, int first, int n,
                           int runFirst, int runEnd);
    // Narrows [from, to) (indices within the cluster of `n` partials from `first`) to the
    // partials near `bin`; bins must come in rising order.
    void nearby(int first, int n, int bin, int& from, int& to) const;
    // Narrows [from, to) to the partials near `bin` as nearby() does, and puts each one's window
    // value there with its mirror images added into b[j] (for the real parts) and taken off
    // into c[j] (for the imaginary ones).
    void imageRow(int first, int n, int bin, int& from, int& to, float* b, float* c) const;
    // The window transform's mirror images of a partial at `nu` in `bin`.
    [[nodiscard]] float mirrorAt(int bin, double nu) const;
    // What the cluster's fitted partials put into `bin`, channel by channel.
    void models(int first, int n, int bin, int& from, int& to, std::complex<double>* out) const;
    // The power in `bin`, over the channels, that the cluster's partials leave unexplained.
    [[nodiscard]] double residualPower(const std::complex<float>* const* spectra, int first, int n,
                                       int bin, int& from, int& to) const;

    AnalysisState& state_;
    ResidualMemory& residuals_;

    // The fits' AVX2 loops (stereo only), set by prepare() where fitTable_ gives the window's
    // values.
    bool vectorFits_ = false;
    std::int64_t fits_ = 0;   // fits so far: each one's number marks its partials
    bool keepFresh_ = false;  // while fitAmplitudes() refits only the changed groups

    // The window's table out to kReach bins (with its next step) for the fits' vector lookups,
    // taken by prepare().
    static constexpr int kFitTableSize = 8 * 1024 + 2;
    std::array<float, kFitTableSize> fitTable_{};
};

}  // namespace brimo::timepitch
