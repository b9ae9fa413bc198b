#include "dsp/timepitch/ClusterFitter.h"

#include <algorithm>
#include <cmath>

#include "dsp/timepitch/AnalysisTuning.h"
#include "dsp/timepitch/ChannelCount.h"
#include "dsp/timepitch/ClusterFitterKernels.h"
#include "dsp/timepitch/PartialReach.h"
#include "dsp/timepitch/SymmetricSolve.h"

namespace brimo::timepitch {

using namespace analysis;
using namespace fitkernels;

int ClusterFitter::clusterEnd(int first, bool jointFit) const {
    int end = first + 1;
    if (!jointFit) {
        return end;
    }
    while (end < state_.cur->fitCount && end - first < kMaxCluster &&
           state_.cur->partials[static_cast<std::size_t>(end)].bins -
                   state_.cur->partials[static_cast<std::size_t>(end - 1)].bins <
               kClusterGap) {
        ++end;
    }
    return end;
}

void ClusterFitter::prepare() {
    static_assert(kFitTableSize == kReach * kTableSteps + 2);
    // The window's table for the fits' lookups depends on the frame size alone: taken here, off
    // the real-time thread, and the vector loops run only where it gives the window's own
    // values.
    vectorFits_ = state_.channels == 2 && state_.vectorLoops;
    if (vectorFits_) {
        for (int i = 0; i < kFitTableSize; ++i) {
            fitTable_[static_cast<std::size_t>(i)] =
                state_.window.at(static_cast<double>(i) / kTableSteps);
        }
        vectorFits_ = rowsMatch(state_.window, fitTable_.data());
    }
}

void ClusterFitter::fitAmplitudes(const std::complex<float>* const* spectra, bool jointFit,
                                  bool onlyChanged) {
    residuals_.forgetRefit();
    keepFresh_ = onlyChanged;
    for (int first = 0; first < state_.cur->fitCount;) {
        const int end = clusterEnd(first, jointFit);
        const Partial& lead = state_.cur->partials[static_cast<std::size_t>(first)];
        bool changed = !onlyChanged || lead.groupSize != end - first;
        for (int j = first; j < end; ++j) {
            Partial& partial = state_.cur->partials[static_cast<std::size_t>(j)];
            changed = changed || partial.moved || partial.fitGroup != lead.fitGroup;
            partial.moved = false;
        }
        if (changed) {
            fitCluster(spectra, first, end);
        }
        first = end;
    }
    keepFresh_ = false;
}

void ClusterFitter::fitCluster(const std::complex<float>* const* spectra, int first, int last) {
    const int n = last - first;
    if (n == 1) {
        fitSingle(spectra, first);
        return;
    }
    const int lo =
        std::max(0, nearestBin(state_.cur->partials[static_cast<std::size_t>(first)].bins) - kLobe);
    const int hi =
        std::min(state_.bins - 1,
                 nearestBin(state_.cur->partials[static_cast<std::size_t>(last - 1)].bins) + kLobe);

    // Real and imaginary parts of the data decouple: Re X = Σ x_j·B_j and Im X = Σ y_j·C_j,
    // with B and C the window transform at the partial plus or minus its mirror images. Only
    // partials near a bin reach it; farther ones are below the fit's tolerance there.
    // Only the parts in use are cleared: most groups are single partials, and clearing the
    // whole arrays cost more than their fits.
    double gramB[kMaxCluster * kMaxCluster];
    double gramC[kMaxCluster * kMaxCluster];
    // Away from DC and the Nyquist frequency (nearly every group) no partial has mirror
    // images in the group's bins, so B and C are the same and one system serves both parts.
    const bool apart = !nearEdge(lo, first, last) && !nearEdge(hi, first, last);
    const Partial* group = &state_.cur->partials[static_cast<std::size_t>(first)];
    if (apart && vectorFits_ && rowsHold(group, n)) {
        double sides[kMaxCluster][4];
        alignas(32) double weights[kFewBins][kFewPartials];
        const bool few = n <= kFewPartials && hi - lo < kFewBins;
        if (few) {
            apartFewStereoAvx2(fitTable_.data(), group, n, lo, hi, spectra, gramB, sides, weights);
        } else {
            apartStereoAvx2(fitTable_.data(), group, n, lo, hi, spectra, gramB, sides);
        }
        solveSymmetricFour(gramB, n, sides);
        markFitted(first, n);
        for (int j = 0; j < n; ++j) {
            std::complex<float>* z = &state_.cur->amplitudes[state_.amplitudeIndex(first + j, 0)];
            z[0] = {static_cast<float>(sides[j][0]), static_cast<float>(sides[j][1])};
            z[1] = {static_cast<float>(sides[j][2]), static_cast<float>(sides[j][3])};
        }
        // The judgement of the new fit needs its residuals, which its weights give cheaply.
        if (few && keepFresh_) {
            double* residuals = residuals_.keepFromRefit(first, lo, hi);
            if (residuals != nullptr &&
                !fewResidualsStereoAvx2(weights,
                                        &state_.cur->amplitudes[state_.amplitudeIndex(first, 0)], n,
                                        lo, hi, spectra, residuals)) {
                residuals_.dropLastRefit();
            }
        }
        return;
    }
    // Every channel's right-hand sides for B, then those for C.
    double rhs[2 * AnalysisState::kMaxChannels * kMaxCluster];
    double* rhsB = rhs;
    double* rhsC = rhs + static_cast<std::ptrdiff_t>(state_.channels) * n;
    std::fill_n(gramB, n * n, 0.0);
    std::fill_n(rhs, 2 * state_.channels * n, 0.0);
    if (apart) {
        fitClusterApart(spectra, first, n, lo, hi, gramB, rhsB, rhsC);
        solveSymmetric(gramB, n, rhs, 2 * state_.channels);
        storeFit(first, n, rhsB, rhsC);
        return;
    }
    std::fill_n(gramC, n * n, 0.0);
    if (vectorFits_ && hi - lo < kMostResidualBins) {
        // Each bin's window values with their images, zero for the partials out of reach, for
        // the vector loops to sum.
        ImageBins bins;  // NOLINT(cppcoreguidelines-pro-type-member-init): each bin set below
        int from = 0;
        int to = 0;
        for (int k = lo; k <= hi; ++k) {
            float* b = bins.b[k - lo];
            float* c = bins.c[k - lo];
            std::fill_n(b, kMaxCluster, 0.0F);
            std::fill_n(c, kMaxCluster, 0.0F);
            imageRow(first, n, k, from, to, b, c);
            bins.from[k - lo] = from;
            bins.to[k - lo] = to;
        }
        imagesStereoAvx2(bins, n, lo, hi, spectra, gramB, gramC, rhsB, rhsC);
        solveSymmetric(gramB, n, rhsB, state_.channels);
        solveSymmetric(gramC, n, rhsC, state_.channels);
        storeFit(first, n, rhsB, rhsC);
        return;
    }
    float b[kMaxCluster];
    float c[kMaxCluster];
    int from = 0;
    int to = 0;
    for (int k = lo; k <= hi; ++k) {
        imageRow(first, n, k, from, to, b, c);
        for (int j = from; j < to; ++j) {
            for (int l = from; l <= j; ++l) {
                gramB[j * n + l] += static_cast<double>(b[j]) * b[l];
                gramC[j * n + l] += static_cast<double>(c[j]) * c[l];
            }
            for (int ch = 0; ch < state_.channels; ++ch) {
                const std::complex<float> x = spectra[ch][k];
                rhsB[ch * n + j] += static_cast<double>(x.real()) * b[j];
                rhsC[ch * n + j] += static_cast<double>(x.imag()) * c[j];
            }
        }
    }
    for (int j = 0; j < n; ++j) {
        for (int l = 0; l < j; ++l) {
            gramB[l * n + j] = gramB[j * n + l];
            gramC[l * n + j] = gramC[j * n + l];
        }
    }
    solveSymmetric(gramB, n, rhsB, state_.channels);
    solveSymmetric(gramC, n, rhsC, state_.channels);
    storeFit(first, n, rhsB, rhsC);
}

void ClusterFitter::fitClusterApart(const std::complex<float>* const* spectra, int first, int n,
                                    int lo, int hi, double* gram, double* rhsB,
                                    double* rhsC) const {
    // As fitCluster without images: one window value per partial and bin.
    withChannels(state_.channels, [&](auto channels) {
        float b[kMaxCluster];
        int from = 0;
        int to = 0;
        for (int k = lo; k <= hi; ++k) {
            nearby(first, n, k, from, to);
            for (int j = from; j < to; ++j) {
                b[j] = state_.window.at(
                    k -
                    state_.cur
                        ->partials[static_cast<std::size_t>(first) + static_cast<std::size_t>(j)]
                        .bins);
            }
            for (int j = from; j < to; ++j) {
                for (int l = from; l <= j; ++l) {
                    gram[j * n + l] += static_cast<double>(b[j]) * b[l];
                }
                for (int ch = 0; ch < channels; ++ch) {
                    const std::complex<float> x = spectra[ch][k];
                    rhsB[ch * n + j] += static_cast<double>(x.real()) * b[j];
                    rhsC[ch * n + j] += static_cast<double>(x.imag()) * b[j];
                }
            }
        }
    });
    for (int j = 0; j < n; ++j) {
        for (int l = 0; l < j; ++l) {
            gram[l * n + j] = gram[j * n + l];
        }
    }
}

void ClusterFitter::markFitted(int first, int n) {
    ++fits_;
    for (int j = 0; j < n; ++j) {
        Partial& partial =
            state_.cur->partials[static_cast<std::size_t>(first) + static_cast<std::size_t>(j)];
        partial.fitGroup = fits_;
        partial.groupSize = n;
    }
}

void ClusterFitter::storeFit(int first, int n, const double* rhsB, const double* rhsC) {
    markFitted(first, n);
    for (int j = 0; j < n; ++j) {
        withChannels(state_.channels, [&](auto channels) {
            for (int ch = 0; ch < channels; ++ch) {
                state_.cur->amplitudes[state_.amplitudeIndex(first + j, ch)] = {
                    static_cast<float>(rhsB[ch * n + j]), static_cast<float>(rhsC[ch * n + j])};
            }
        });
    }
}

void ClusterFitter::fitSingle(const std::complex<float>* const* spectra, int index) {
    // The general fit for one partial: a 1×1 system per part, with the same ridge.
    Partial& partial = state_.cur->partials[static_cast<std::size_t>(index)];
    const double nu = partial.bins;
    const int centre = nearestBin(nu);
    const int lo = std::max(0, centre - kLobe);
    const int hi = std::min(state_.bins - 1, centre + kLobe);
    const bool images = nearEdge(lo, index, index + 1) || nearEdge(hi, index, index + 1);
    if (!images && vectorFits_ && nu >= 0.0 && hi - lo < 8) {
        markFitted(index, 1);
        singleStereoAvx2(fitTable_.data(), nu, lo, hi, spectra,
                         &state_.cur->amplitudes[state_.amplitudeIndex(index, 0)],
                         keepFresh_ ? residuals_.keepFromRefit(index, lo, hi) : nullptr);
        return;
    }
    double gramB = 0.0;
    double gramC = 0.0;
    double rhsB[AnalysisState::kMaxChannels] = {};
    double rhsC[AnalysisState::kMaxChannels] = {};
    withChannels(state_.channels, [&](auto channels) {
        for (int k = lo; k <= hi; ++k) {
            const float direct = state_.window.at(k - nu);
            const float mirror = images ? mirrorAt(k, nu) : 0.0F;
            const float b = direct + mirror;
            const float c = direct - mirror;
            gramB += static_cast<double>(b) * b;
            gramC += static_cast<double>(c) * c;
            for (int ch = 0; ch < channels; ++ch) {
                const std::complex<float> x = spectra[ch][k];
                rhsB[ch] += static_cast<double>(x.real()) * b;
                rhsC[ch] += static_cast<double>(x.imag()) * c;
            }
        }
    });
    gramB += 1e-9 * gramB + 1e-30;
    gramC += 1e-9 * gramC + 1e-30;
    markFitted(index, 1);
    for (int ch = 0; ch < state_.channels; ++ch) {
        state_.cur->amplitudes[state_.amplitudeIndex(index, ch)] = {
            static_cast<float>(rhsB[ch] / gramB), static_cast<float>(rhsC[ch] / gramC)};
    }
}

bool ClusterFitter::nearEdge(int bin, int from, int to) const {
    return mayHaveImages(state_.cur->partials.data(), from, to, bin, state_.frameSize);
}

void ClusterFitter::nearby(int first, int n, int bin, int& from, int& to) const {
    narrowToReach(&state_.cur->partials[static_cast<std::size_t>(first)], n, bin, from, to);
}

void ClusterFitter::imageRow(int first, int n, int bin, int& from, int& to, float* b,
                             float* c) const {
    nearby(first, n, bin, from, to);
    const bool images = nearEdge(bin, first + from, first + to);
    for (int j = from; j < to; ++j) {
        const double nu =
            state_.cur->partials[static_cast<std::size_t>(first) + static_cast<std::size_t>(j)]
                .bins;
        const float direct = state_.window.at(bin - nu);
        const float mirror = images ? mirrorAt(bin, nu) : 0.0F;
        b[j] = direct + mirror;
        c[j] = direct - mirror;
    }
}

float ClusterFitter::mirrorAt(int bin, double nu) const {
    // The images at −ν and N − ν matter only near DC and the Nyquist frequency; there, out to
    // 24 bins, where the window's side lobes fall below the fit's own error (a low partial's
    // image taken only to 8 bins left its level and phase wrong by −70 dB, frame after frame).
    return mirrorOf(state_.window, state_.frameSize, bin, nu);
}

void ClusterFitter::models(int first, int n, int bin, int& from, int& to,
                           std::complex<double>* out) const {
    nearby(first, n, bin, from, to);
    // z·direct + conj(z)·mirror, in real arithmetic (complex arithmetic does not vectorise);
    // the window lookups are shared by every channel.
    const bool images = nearEdge(bin, first + from, first + to);
    withChannels(state_.channels, [&](auto channels) {
        double re[AnalysisState::kMaxChannels] = {};
        double im[AnalysisState::kMaxChannels] = {};
        for (int l = first + from; l < first + to; ++l) {
            const double nu = state_.cur->partials[static_cast<std::size_t>(l)].bins;
            const auto direct = static_cast<double>(state_.window.at(bin - nu));
            const auto mirror = images ? static_cast<double>(mirrorAt(bin, nu)) : 0.0;
            const std::complex<float>* z = &state_.cur->amplitudes[state_.amplitudeIndex(l, 0)];
            for (int ch = 0; ch < channels; ++ch) {
                re[ch] += static_cast<double>(z[ch].real()) * (direct + mirror);
                im[ch] += static_cast<double>(z[ch].imag()) * (direct - mirror);
            }
        }
        for (int ch = 0; ch < channels; ++ch) {
            out[ch] = {re[ch], im[ch]};
        }
    });
}

double ClusterFitter::residualPower(const std::complex<float>* const* spectra, int first, int n,
                                    int bin, int& from, int& to) const {
    std::complex<double> model[AnalysisState::kMaxChannels];
    models(first, n, bin, from, to, model);
    double residual = 0.0;
    for (int ch = 0; ch < state_.channels; ++ch) {
        residual += std::norm(std::complex<double>(spectra[ch][bin]) - model[ch]);
    }
    return residual;
}

void ClusterFitter::solveCloseFrequencies(const std::complex<float>* const* spectra) {
    // Partials within each other's main lobe bias each other's peaks and phase advances;
    // where such a run's fit leaves much unexplained, its frequencies are solved together with
    // the amplitudes (Gauss-Newton on the frequencies, the amplitudes refitted at every step).
    // Farther partials take part in the model only.
    for (int first = 0; first < state_.cur->fitCount;) {
        const int end = clusterEnd(first, true);
        for (int run = first; run < end;) {
            int runEnd = run + 1;
            while (runEnd < end &&
                   state_.cur->partials[static_cast<std::size_t>(runEnd)].bins -
                           state_.cur->partials[static_cast<std::size_t>(runEnd - 1)].bins <
                       kLobeOverlap) {
                ++runEnd;
            }
            double unexplained = 1.0;
            for (int iteration = 0; runEnd - run > 1 && iteration < kFrequencySteps; ++iteration) {
                const double before = unexplained;
                unexplained = stepFrequencies(spectra, first, end - first, run, runEnd);
                // Converged, or decaying and gliding partials the step cannot help.
                if (unexplained <= kSolvedShare || unexplained > kNoiseShare ||
                    unexplained > 0.8 * before) {
                    break;
                }
                fitCluster(spectra, first, end);
            }
            run = runEnd;
        }
        first = end;
    }
}

double ClusterFitter::stepFrequencies(const std::complex<float>* const* spectra, int first, int n,
                                      int runFirst, int runEnd) {
    int lo = std::max(
        1, nearestBin(state_.cur->partials[static_cast<std::size_t>(runFirst)].bins) - kLobe);
    const int hi = std::min(
        state_.bins - 2,
        nearestBin(state_.cur->partials[static_cast<std::size_t>(runEnd - 1)].bins) + kLobe);
    const int m = runEnd - runFirst;
    double normal[kMaxCluster * kMaxCluster];
    double gradient[kMaxCluster];
    std::fill_n(normal, m * m, 0.0);
    std::fill_n(gradient, m, 0.0);
    std::complex<double> derivative[kMaxCluster];
    double residualEnergy = 0.0;
    double ownEnergy = 0.0;
    int from = 0;
    int to = 0;
    std::complex<double> model[AnalysisState::kMaxChannels];
    double slope[kMaxCluster];
    // The vector loops take short runs whose every slope lies within the copied table.
    const Partial* group = &state_.cur->partials[static_cast<std::size_t>(first)];
    const double inside = kReach - 2.0 * kSlopeStep;
    if (vectorFits_ && m <= kFewRun && hi - lo < kRowBins && rowsHold(group, n) &&
        !nearEdge(lo, first, first + n) && !nearEdge(hi, first, first + n) &&
        hi - state_.cur->partials[static_cast<std::size_t>(runFirst)].bins < inside &&
        state_.cur->partials[static_cast<std::size_t>(runEnd - 1)].bins - lo < inside) {
        stepFrequenciesStereoAvx2(
            fitTable_.data(), group, &state_.cur->amplitudes[state_.amplitudeIndex(first, 0)], n,
            runFirst - first, m, lo, hi, spectra, normal, gradient, residualEnergy, ownEnergy);
        lo = hi + 1;  // nothing left for the plain loop
    }
    for (int k = lo; k <= hi; ++k) {
        models(first, n, k, from, to, model);
        // The window's slope is the same for every channel; the real parts of the conjugate
        // products are taken in real arithmetic.
        for (int j = 0; j < m; ++j) {
            slope[j] = static_cast<double>(state_.window.slope(
                k - state_.cur
                        ->partials[static_cast<std::size_t>(runFirst) + static_cast<std::size_t>(j)]
                        .bins));
        }
        withChannels(state_.channels, [&](auto channels) {
            for (int ch = 0; ch < channels; ++ch) {
                const std::complex<double> r = std::complex<double>(spectra[ch][k]) - model[ch];
                residualEnergy += std::norm(r);
                ownEnergy += std::norm(std::complex<double>(spectra[ch][k]));
                for (int j = 0; j < m; ++j) {
                    derivative[j] =
                        -std::complex<double>(state_.amplitude(runFirst + j, ch)) * slope[j];
                }
                for (int j = 0; j < m; ++j) {
                    const double dr = derivative[j].real();
                    const double di = derivative[j].imag();
                    gradient[j] += dr * r.real() + di * r.imag();
                    for (int l = 0; l <= j; ++l) {
                        normal[j * m + l] += dr * derivative[l].real() + di * derivative[l].imag();
                    }
                }
            }
        });
    }
    const double unexplained = ownEnergy > 0.0 ? residualEnergy / ownEnergy : 0.0;
    if (unexplained <= kSolvedShare) {
        return unexplained;
    }
    for (int j = 0; j < m; ++j) {
        for (int l = 0; l < j; ++l) {
            normal[l * m + j] = normal[j * m + l];
        }
    }
    solveSymmetric(normal, m, gradient, 1);
    for (int j = 0; j < m; ++j) {
        Partial& partial =
            state_.cur->partials[static_cast<std::size_t>(runFirst) + static_cast<std::size_t>(j)];
        partial.bins += std::clamp(gradient[j], -kLargestFrequencyStep, kLargestFrequencyStep);
        partial.moved = true;
    }
    // Steps may reorder neighbours; the fit needs them in order.
    std::sort(state_.cur->partials.begin() + runFirst, state_.cur->partials.begin() + runEnd,
              [](const Partial& a, const Partial& b) { return a.bins < b.bins; });
    return unexplained;
}

void ClusterFitter::clusterResiduals(const std::complex<float>* const* spectra, int first, int n,
                                     int lo, int hi, double* out) const {
    const bool images = nearEdge(lo, first, first + n) || nearEdge(hi, first, first + n);
    const Partial* group = &state_.cur->partials[static_cast<std::size_t>(first)];
    if (!images && vectorFits_ && hi - lo < kMostResidualBins && rowsHold(group, n)) {
        residualsStereoAvx2(fitTable_.data(), group,
                            &state_.cur->amplitudes[state_.amplitudeIndex(first, 0)], n, lo, hi,
                            spectra, out);
        return;
    }
    if (n > 1 && images && vectorFits_) {
        imagesResidualsStereoAvx2(state_.window, state_.frameSize, group,
                                  &state_.cur->amplitudes[state_.amplitudeIndex(first, 0)], n, lo,
                                  hi, spectra, out);
        return;
    }
    if (n > 1 && images) {
        int from = 0;
        int to = 0;
        for (int k = lo; k <= hi; ++k) {
            out[k] = residualPower(spectra, first, n, k, from, to);
        }
        return;
    }
    withChannels(state_.channels, [&](auto channels) {
        if (n > 1) {
            // What residualPower() does without mirror images, which no partial of the group
            // has in its bins away from DC and the Nyquist frequency.
            int from = 0;
            int to = 0;
            for (int k = lo; k <= hi; ++k) {
                nearby(first, n, k, from, to);
                // Cleared whole: a fixed size is a few stores, a variable one a call.
                double re[AnalysisState::kMaxChannels] = {};
                double im[AnalysisState::kMaxChannels] = {};
                for (int l = first + from; l < first + to; ++l) {
                    const auto direct = static_cast<double>(state_.window.at(
                        k - state_.cur->partials[static_cast<std::size_t>(l)].bins));
                    const std::complex<float>* z =
                        &state_.cur->amplitudes[state_.amplitudeIndex(l, 0)];
                    for (int ch = 0; ch < channels; ++ch) {
                        re[ch] += static_cast<double>(z[ch].real()) * direct;
                        im[ch] += static_cast<double>(z[ch].imag()) * direct;
                    }
                }
                double residual = 0.0;
                for (int ch = 0; ch < channels; ++ch) {
                    const double dr = static_cast<double>(spectra[ch][k].real()) - re[ch];
                    const double di = static_cast<double>(spectra[ch][k].imag()) - im[ch];
                    residual += dr * dr + di * di;
                }
                out[k] = residual;
            }
            return;
        }
        // One partial: what models() and residualPower() do, without looking for neighbours.
        const double nu = state_.cur->partials[static_cast<std::size_t>(first)].bins;
        const std::complex<float>* z = &state_.cur->amplitudes[state_.amplitudeIndex(first, 0)];
        for (int k = lo; k <= hi; ++k) {
            const bool reaches = k - nu > -kReach && k - nu < kReach;
            const auto direct = reaches ? static_cast<double>(state_.window.at(k - nu)) : 0.0;
            const auto mirror = reaches && images ? static_cast<double>(mirrorAt(k, nu)) : 0.0;
            double residual = 0.0;
            for (int ch = 0; ch < channels; ++ch) {
                const std::complex<double> model{
                    static_cast<double>(z[ch].real()) * (direct + mirror),
                    static_cast<double>(z[ch].imag()) * (direct - mirror)};
                residual += std::norm(std::complex<double>(spectra[ch][k]) - model);
            }
            out[k] = residual;
        }
    });
}

}  // namespace brimo::timepitch
