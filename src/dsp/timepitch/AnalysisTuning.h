#pragma once

#include <cmath>
#include <complex>
#include <cstdint>
#include <numbers>

// The partial analysis' tuning, shared by its peak tracking, cluster fitting and regions.
namespace brimo::timepitch::analysis {

inline constexpr double kTwoPi = 2.0 * std::numbers::pi;

// Half-width, in bins, of the main lobe that each partial's fit is judged on.
inline constexpr int kLobe = 2;
// Partials closer than this (bins) are fitted together. Beyond it a neighbour's side lobes are
// some 40 dB down in a partial's bins; what that leaves in the residual lies in the partial's
// own peak region and moves with it, so the output hardly depends on it.
inline constexpr double kClusterGap = 5.0;
inline constexpr int kMaxCluster = 16;
// How far, in bins, a partial's window transform is taken into the fit: its side lobes are
// about 60 dB down there.
inline constexpr int kReach = 8;
// A peak this far below the loudest one in the frame is left alone: its own level is its error.
inline constexpr double kRelativeFloor = 1e-10;
// A peak this far below the loudest one (as far down as hidden partials are followed) needs no
// region of its own where the regions around it move its bins within kNeighbourMiss bins of
// their own shift: what is left of its error is that small a mistuning, 60 dB down. Where it
// keeps a region, it is moved with it rather than fitted.
inline constexpr double kFaintPeak = 1e-6;
inline constexpr double kNeighbourMiss = 0.25;
// A peak stands at least this share above the lower of its neighbours: an impulse's flat
// spectrum has ripples of the transform's rounding only (some 1e-6), which are no peaks, and
// whether they show would otherwise depend on the FFT's plan.
inline constexpr float kPeakProminence = 1e-3F;
// A partial is shifted only when the fit leaves at most this share of its energy unexplained.
inline constexpr double kFitTolerance = 0.01;
// A partial without a peak of its own is followed on while the fit explained it at least once
// in the last few frames (attacks of neighbours spoil fits for a while) and it is no more than
// 60 dB below the loudest partial.
inline constexpr int kGraceFrames = 6;
// Only partials followed for this many frames, or fitted well in the last one, count as
// established enough to be looked for.
inline constexpr int kSettledFrames = 3;
inline constexpr double kHiddenFloor = 1e-6;
// Where the fit leaves at least this share of a bin's power unexplained, at a peak of the
// unexplained power, a partial is assumed to hide.
inline constexpr double kDiscoverShare = 0.1;
// Gauss-Newton steps on the frequencies of a group of close partials, and the largest change
// of a frequency (bins) one step may make.
inline constexpr int kFrequencySteps = 4;
inline constexpr double kLargestFrequencyStep = 0.25;
// Partials closer than this (bins) share their main lobes; and the share of a run's energy
// that, once unexplained, needs no further step.
inline constexpr double kLobeOverlap = 3.5;
inline constexpr double kSolvedShare = 1e-4;
// A group whose fit leaves more than this share of its power unexplained is mostly noise:
// neither solving for its frequencies nor looking for more partials in it helps.
inline constexpr double kNoiseShare = 0.25;
// A partial whose frequency moved less than this (bins) since its amplitudes were fitted keeps
// them: the fit would change by far less than its tolerance.
inline constexpr double kRefitBins = 1e-3;
// A peak whose frequency from its shape and from its phase advance differ by more than this
// (bins), among at least kCrowdPeaks other peaks within kCrowdReach bins, is noise: it is
// moved with its region but not fitted.
inline constexpr double kTonalAgreement = 0.15;
inline constexpr int kCrowdReach = 16;
inline constexpr int kCrowdPeaks = 7;
// A partial without a peak of its own is not taken closer than this (bins) to another one: the
// fit could not tell them apart.
inline constexpr double kSameBins = 1.0;

// a · conj(b) in double precision, in real arithmetic: the library's complex product also
// guards against infinities, at several times the cost.
inline std::complex<double> timesConjugate(std::complex<float> a, std::complex<float> b) {
    const auto ar = static_cast<double>(a.real());
    const auto ai = static_cast<double>(a.imag());
    const auto br = static_cast<double>(b.real());
    const auto bi = static_cast<double>(b.imag());
    return {ar * br + ai * bi, ai * br - ar * bi};
}

inline bool isZero(std::complex<double> z) {
    return z.real() == 0.0 && z.imag() == 0.0;
}

// The phase of z (not zero), as std::arg but without the library's general-purpose atan2: the
// ratio of the smaller to the larger part, reduced to within tan(π/12) of zero, and the arc
// tangent's series there to the 15th power, which leaves an error below 2e-11 radians.
inline double phaseOf(std::complex<double> z) {
    constexpr double kSqrt3 = std::numbers::sqrt3;
    constexpr double kTanPiOver12 = 2.0 - kSqrt3;
    const double x = std::abs(z.real());
    const double y = std::abs(z.imag());
    const bool steep = y > x;
    const double t = steep ? x / y : y / x;
    const bool reduced = t > kTanPiOver12;
    const double u = reduced ? (t * kSqrt3 - 1.0) / (t + kSqrt3) : t;
    const double u2 = u * u;
    double series = 1.0 / 15.0;
    for (const double c : {1.0 / 13.0, 1.0 / 11.0, 1.0 / 9.0, 1.0 / 7.0, 1.0 / 5.0, 1.0 / 3.0}) {
        series = c - u2 * series;
    }
    double angle = u * (1.0 - u2 * series) + (reduced ? std::numbers::pi / 6.0 : 0.0);
    angle = steep ? std::numbers::pi / 2.0 - angle : angle;
    angle = z.real() < 0.0 ? std::numbers::pi - angle : angle;
    return z.imag() < 0.0 ? -angle : angle;
}

// The nearest whole bin to a frequency (not negative), halves rounded up as lround does, without
// the library call.
inline int nearestBin(double bins) {
    const auto whole = static_cast<int>(bins);
    return bins - whole >= 0.5 ? whole + 1 : whole;
}

// The floor of x, as std::floor gives it, through a truncation: without SSE4.1 the library's
// inline floor takes about twice the instructions. Values beyond ±2^52 are whole already.
inline double floorOf(double x) {
    if (!(std::abs(x) < 0x1p52)) {
        return x;
    }
    const auto whole = static_cast<double>(static_cast<std::int64_t>(x));
    return whole > x ? whole - 1.0 : whole;
}

inline double wrapPhase(double phase) {
    return phase - kTwoPi * floorOf(phase / kTwoPi + 0.5);
}

}  // namespace brimo::timepitch::analysis
