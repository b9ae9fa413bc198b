#pragma once

#include <array>
#include <complex>
#include <cstdint>
#include <vector>

#include "dsp/timepitch/PartialFrame.h"
#include "dsp/timepitch/ResidualStore.h"
#include "dsp/timepitch/WindowTransform.h"

namespace brimo::timepitch {

// Finds the sinusoids of one analysis frame and follows them from frame to frame. Each frame's
// spectra are read as a sum of windowed sinusoids: peaks give their frequencies (refined from
// the phase advance between frames), and a least-squares fit over the bins of each group of
// neighbouring partials gives every channel's complex amplitude, so that close partials are
// separated instead of mixed. Partials too close to show peaks of their own are kept from the
// frames where they did, or found where the fit leaves a peak of unexplained energy. A partial
// is shifted only when it was already present in the previous frame and the fit explains its
// bins; everything else is moved with the peak region it lies in.
class PartialAnalyzer {
  public:
    static constexpr int kMaxChannels = 8;

    PartialAnalyzer() = default;
    // It points into itself (the two frame records).
    PartialAnalyzer(const PartialAnalyzer&) = delete;
    PartialAnalyzer& operator=(const PartialAnalyzer&) = delete;

    // Takes all memory for frames of `frameSize` samples and up to `maxPartials` partials.
    void prepare(int frameSize, int channels, int maxPartials);

    // Forgets every partial, as after silence.
    void reset();

    // Analyses the zero-phase spectra (frameSize/2 + 1 bins per channel) of a frame `hop`
    // samples after the previous one. The shifted copies' phase offsets advance with the
    // pitch ratio, taken as the mean of `ratioBefore` and `ratioNow` over the hop.
    // `jointFit` fits neighbouring partials together; otherwise each partial alone.
    // `onsetFromCentre` is where the latest attack in the frame lies (samples from the centre,
    // negative before it), or 0 when there is none: a partial born there gets the phase offset
    // it would have gathered since then, so partials that start together stay aligned.
    void analyze(const std::complex<float>* const* spectra, int hop, double ratioBefore,
                 double ratioNow, bool jointFit, double onsetFromCentre = 0.0);

    // Where the next frame's spectra may be written (frameSize/2 + 1 bins per channel, channel
    // after channel): analysed there, they need no copy to be kept for the frame after.
    [[nodiscard]] std::complex<float>* nextSpectra() { return prev_->spectra.data(); }

    // Partials, in order of frequency.
    [[nodiscard]] int partialCount() const { return cur_->count; }
    [[nodiscard]] const Partial& partial(int index) const {
        return cur_->partials[static_cast<std::size_t>(index)];
    }
    // Complex amplitude (A/2)·e^{iφ} of a partial in a channel, phase at the frame centre.
    [[nodiscard]] std::complex<float> amplitude(int index, int channel) const {
        return cur_->amplitudes[amplitudeIndex(index, channel)];
    }

    // The bins that belong to each spectral peak: from the low point below it to the low point
    // above it, in order of frequency. Together they cover bins 1 … frameSize/2 − 1.
    [[nodiscard]] int regionCount() const { return cur_->regionCount; }
    [[nodiscard]] int regionStart(int region) const {
        return cur_->regionStarts[static_cast<std::size_t>(region)];
    }
    [[nodiscard]] int regionEnd(int region) const {
        return cur_->regionStarts[static_cast<std::size_t>(region) + 1];
    }
    // The partial found at the region's peak.
    [[nodiscard]] int regionOwner(int region) const {
        return cur_->regionOwners[static_cast<std::size_t>(region)];
    }
    // Every region's owner, regionCount() of them.
    [[nodiscard]] const std::int32_t* regionOwners() const { return cur_->regionOwners.data(); }
    // While set, every phase offset also moves back towards zero by at most `share` of its
    // partial's own phase advance (a pitch off by that share) or `floorRadians` per sample of
    // the hop, whichever is more: how the output returns to the input before the shift is
    // switched off.
    void setUnwinding(double share, double floorRadians) {
        unwindShare_ = share;
        unwindFloor_ = floorRadians;
    }
    // The largest phase offset of the frame's partials, in radians.
    [[nodiscard]] double largestOffset() const { return largestOffset_; }

    // Power of the loudest bin in the frame, summed over the channels.
    [[nodiscard]] float loudestPower() const { return loudest_; }

  private:
    [[nodiscard]] std::size_t amplitudeIndex(int index, int channel) const {
        return static_cast<std::size_t>(index) * static_cast<std::size_t>(channels_) +
               static_cast<std::size_t>(channel);
    }
    [[nodiscard]] std::size_t spectrumIndex(int channel, int bin) const {
        return static_cast<std::size_t>(channel) * static_cast<std::size_t>(bins_) +
               static_cast<std::size_t>(bin);
    }

    // Peak tracking (PartialTracking.cpp): peaks to partials, followed from the previous frame.
    void findPeaks(const std::complex<float>* const* spectra);
    void estimateFrequencies(const std::complex<float>* const* spectra, int hop);
    // A peak's frequency from its shape, and from its phase advance (which also tells noise).
    [[nodiscard]] double frequencyFromShape(int k) const;
    void frequencyFromPhase(Partial& partial, const std::complex<float>* const* spectra,
                            int hop) const;
    // Marks the peaks that have many other peaks around them.
    void markCrowded();
    void matchPrevious();
    void continueHidden();
    // Adds a partial unless another one lies within kSameBins of it; the check reads what
    // markOccupied() recorded of the partials' frequencies, so it is called first.
    void addPartial(double bins, std::int32_t previous);
    void markOccupied();
    void markOccupied(double bins);
    void sortPartials();
    // Lays the frame's partials and their amplitudes out in the scratch lists in `order` (the
    // first `count` of them); the caller swaps the lists.
    void movePartials(const std::int32_t* order, int count);
    // Merges two lists of partial indices, each in order of frequency (or of peak bin), into
    // `out`.
    void mergeByFrequency(const std::int32_t* a, int aCount, const std::int32_t* b, int bCount,
                          std::int32_t* out, bool byPeak) const;
    // Measures each followed partial's phase advance since the previous frame and, when asked,
    // moves its frequency towards what the advance says.
    void refineFromPhaseAdvance(int hop, bool updateFrequencies);

    // Cluster fitting (ClusterFitting.cpp): amplitudes and close frequencies by least squares.
    // Chooses the fits' loops and takes their table of the window, once window_ is prepared.
    void prepareFits();
    // Fits every group, or only those with a partial that moved or whose members were not
    // fitted together.
    void fitAmplitudes(const std::complex<float>* const* spectra, bool jointFit,
                       bool onlyChanged = false);
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
    void discoverHidden(const std::complex<float>* const* spectra, bool jointFit);
    // Where, within half a bin of `bin`, the unexplained power in `residuals` (by bin) peaks.
    [[nodiscard]] static double unexplainedPeakOffset(const double* residuals, int bin);
    // The power the group of `n` partials from `first` leaves unexplained in each of the bins
    // [lo, hi], into out[lo] … out[hi].
    void clusterResiduals(const std::complex<float>* const* spectra, int first, int n, int lo,
                          int hi, double* out) const;
    // Where discoverHidden() keeps the residuals of the group from `first` (by bin, from lo),
    // for judgeFit() to reuse while the group keeps that fit; binResidual_ when it cannot.
    [[nodiscard]] double* keepResiduals(int first, int n, int lo, int hi);
    // The residuals kept for the group from `first`, by bin, or null when its fit changed since.
    [[nodiscard]] const double* keptResiduals(int first, int n);
    // Where the group from `first`, just refitted while fitAmplitudes() fits only the changed
    // groups, keeps the residuals of its new fit (by bin, from lo), for judgeFit(); null when
    // there is no room.
    [[nodiscard]] double* keepFreshResiduals(int first, int lo, int hi);
    // The residuals kept for the group from `first` over [lo, hi] as it was refitted, or null.
    [[nodiscard]] const double* freshResiduals(int first, int n, int lo, int hi);
    void solveCloseFrequencies(const std::complex<float>* const* spectra);
    // One Gauss-Newton step on the frequencies of the partials [runFirst, runEnd) of the cluster
    // of `n` partials from `first`, unless their fit is already close enough; returns the share
    // of the run's bins' energy left unexplained before the step.
    double stepFrequencies(const std::complex<float>* const* spectra, int first, int n,
                           int runFirst, int runEnd);
    void judgeFit(const std::complex<float>* const* spectra, bool jointFit);
    [[nodiscard]] int clusterEnd(int first, bool jointFit) const;
    // Narrows [from, to) (indices within the cluster of `n` partials from `first`) to the
    // partials near `bin`; bins must come in rising order.
    void nearby(int first, int n, int bin, int& from, int& to) const;
    // The window transform's mirror images of a partial at `nu` in `bin`.
    [[nodiscard]] float mirrorAt(int bin, double nu) const;
    // What the cluster's fitted partials put into `bin`, channel by channel.
    void models(int first, int n, int bin, int& from, int& to, std::complex<double>* out) const;
    // The power in `bin`, over the channels, that the cluster's partials leave unexplained.
    [[nodiscard]] double residualPower(const std::complex<float>* const* spectra, int first, int n,
                                       int bin, int& from, int& to) const;

    // Regions (PeakRegions.cpp): the bins each peak owns, this frame and the one before.
    // Leaves faint peaks to their neighbours' regions where those move them by nearly their
    // own shift at the pitch `ratio`; the faint peaks kept are noise peaks.
    void leaveFaintPeaksToNeighbours(double ratio);
    void findRegions();
    // The previous frame's peak whose region held `bin`, when the bin was already sounding
    // (and, in a frame with an attack, has not grown much since).
    [[nodiscard]] int previousOwner(int bin, bool attack) const;

    void advanceOffsets(double meanRatio, double ratioNow, double onsetFromCentre, int hop);
    // The phase offset a partial carries on with from the previous frame, or starts with.
    void setOffset(Partial& partial, double meanRatio, double ratioNow, double onsetFromCentre,
                   double radiansPerBin) const;
    // Puts the frame's partials in order of frequency, as the next frame's matching walks
    // them, and keeps its spectra.
    void finishFrame(const std::complex<float>* const* spectra);

    WindowTransform window_;
    int frameSize_ = 0;
    int bins_ = 0;
    int channels_ = 0;
    int maxPartials_ = 0;
    bool vectorLoops_ = false;  // the AVX2 loops, chosen when prepared
    // The fits' AVX2 loops (stereo only), set by prepareFits() where fitTable_ gives window_'s
    // values.
    bool vectorFits_ = false;

    std::vector<float> power_;
    std::vector<double> binResidual_;  // scratch: what a group's fit leaves in each bin
    // Each group's residuals as discoverHidden() found them, group after group, and which fit
    // and bins they are of: a group that judgeFit() finds with the same fit (no member added,
    // none moved) leaves the same residuals.
    ResidualStore kept_;
    // The residuals of the groups the changed-only fitAmplitudes() refitted on the vector loops,
    // taken while their fits' window values and spectra are at hand, group after group.
    ResidualStore fresh_;
    bool keepFresh_ = false;  // while fitAmplitudes() refits only the changed groups
    // Scratch: every peak's bin, from peakBins(), with room on both sides for the crowding
    // marks' vector loop to read past the ends.
    static constexpr int kPeakBinsRoom = 16;
    std::vector<std::int32_t> peakBins_;
    [[nodiscard]] std::int32_t* peakBins() { return peakBins_.data() + kPeakBinsRoom; }
    float loudest_ = 0.0F;

    // The frame being analysed and the one before it; swapped at the start of every frame.
    PartialFrame frames_[2];
    PartialFrame* cur_ = &frames_[0];
    PartialFrame* prev_ = &frames_[1];
    bool hasPrevious_ = false;

    double unwindShare_ = 0.0;
    double unwindFloor_ = 0.0;
    double largestOffset_ = 0.0;
    int sinceSolved_ = 0;               // samples since close partials were last solved for
    std::int64_t fits_ = 0;             // fits so far: each one's number marks its partials
    std::vector<char> taken_;           // per previous partial
    std::vector<std::int32_t> order_;   // scratch: partials by frequency
    std::vector<Partial> scratch_;      // scratch: fitted partials while sorting
    std::vector<std::int32_t> merged_;  // scratch: partials in their new order
    std::vector<std::complex<float>> amplitudeScratch_;  // scratch: amplitudes while sorting
    std::vector<std::int32_t> inverse_;                  // scratch: where each one went
    // Per whole bin (from bin −1), the lowest and highest frequency of the partials in it, valid
    // where the stamp is the latest marking's.
    struct Occupancy {
        std::int64_t stamp = -1;
        double lowest = 0.0;
        double highest = 0.0;
    };
    std::vector<Occupancy> occupied_;
    std::int64_t occupancyStamp_ = 0;
    // markOccupied(bins) on the entries `occupied`, the last one at `lastEntry`: the stores
    // through them would otherwise make every step of a marking reload the list and the stamp.
    static void occupy(Occupancy* occupied, int lastEntry, std::int64_t stamp, double bins);

    // The window's table out to kReach bins (with its next step) for the fits' vector lookups,
    // taken by prepareFits().
    static constexpr int kFitTableSize = 8 * 1024 + 2;
    std::array<float, kFitTableSize> fitTable_{};
};

}  // namespace brimo::timepitch
