#include "Measures.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>

#include "Signals.h"

namespace brimo::bench {

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;

// Power spectrum of x (already windowed), bins 0 … n/2.
std::vector<double> powerSpectrum(std::vector<double> x) {
    const int n = static_cast<int>(x.size());
    std::vector<std::complex<double>> out(static_cast<std::size_t>(n / 2 + 1));
    fftw_plan plan = fftw_plan_dft_r2c_1d(n, x.data(), reinterpret_cast<fftw_complex*>(out.data()),
                                          FFTW_ESTIMATE);
    fftw_execute(plan);
    fftw_destroy_plan(plan);
    std::vector<double> power(out.size());
    for (std::size_t k = 0; k < out.size(); ++k) {
        power[k] = std::norm(out[k]);
    }
    return power;
}

double hannDtftMagnitude(const std::vector<float>& y, long from, long count, double hz) {
    const double w = kTwoPi * hz / kRate;
    std::complex<double> sum;
    std::complex<double> rotor(1.0, 0.0);
    const std::complex<double> step = std::polar(1.0, -w);
    for (long i = 0; i < count; ++i) {
        const double window =
            0.5 - 0.5 * std::cos(kTwoPi * static_cast<double>(i) / static_cast<double>(count));
        sum += window * static_cast<double>(y[static_cast<std::size_t>(from + i)]) * rotor;
        rotor *= step;
        if ((i & 1023) == 0) {
            rotor /= std::abs(rotor);
        }
    }
    return std::abs(sum);
}

}  // namespace

double toDb(double energyRatio) {
    return 10.0 * std::log10(std::max(energyRatio, 1e-30));
}

double rms(const std::vector<float>& y, long from, long count) {
    double sum = 0.0;
    for (long i = from; i < from + count; ++i) {
        sum += static_cast<double>(y[static_cast<std::size_t>(i)]) * y[static_cast<std::size_t>(i)];
    }
    return std::sqrt(sum / static_cast<double>(count));
}

long onsetFrame(const std::vector<float>& y, double fraction) {
    float peak = 0.0F;
    for (float v : y) {
        peak = std::max(peak, std::abs(v));
    }
    for (std::size_t i = 0; i < y.size(); ++i) {
        if (std::abs(y[i]) >= fraction * peak && peak > 0.0F) {
            return static_cast<long>(i);
        }
    }
    return -1;
}

double sineFrequency(const std::vector<float>& y, long from, long count, double guessHz) {
    // Golden-section search on the windowed spectrum's magnitude, within ±2 % of the guess.
    double lo = guessHz * 0.98;
    double hi = guessHz * 1.02;
    // A coarse scan first, so the search starts on the main lobe.
    double best = guessHz;
    double bestMagnitude = -1.0;
    for (int i = 0; i <= 80; ++i) {
        const double hz = lo + (hi - lo) * i / 80.0;
        const double m = hannDtftMagnitude(y, from, count, hz);
        if (m > bestMagnitude) {
            bestMagnitude = m;
            best = hz;
        }
    }
    lo = best - (hi - lo) / 80.0;
    hi = best + (hi - lo) / 80.0;
    const double golden = 0.5 * (std::sqrt(5.0) - 1.0);
    double a = hi - golden * (hi - lo);
    double b = lo + golden * (hi - lo);
    double fa = hannDtftMagnitude(y, from, count, a);
    double fb = hannDtftMagnitude(y, from, count, b);
    for (int i = 0; i < 60; ++i) {
        if (fa > fb) {
            hi = b;
            b = a;
            fb = fa;
            a = hi - golden * (hi - lo);
            fa = hannDtftMagnitude(y, from, count, a);
        } else {
            lo = a;
            a = b;
            fa = fb;
            b = lo + golden * (hi - lo);
            fb = hannDtftMagnitude(y, from, count, b);
        }
    }
    return 0.5 * (lo + hi);
}

BandEnergy bandEnergy(const std::vector<float>& y, long from, long count,
                      const std::vector<double>& hz, bool aroundPeak) {
    // A 4-term Blackman-Harris window: side lobes 92 dB down, main lobe ±4 bins, which at
    // 4 s is ±1 Hz and fits inside the ±2 Hz bands.
    std::vector<double> x(static_cast<std::size_t>(count));
    for (long i = 0; i < count; ++i) {
        const double t = kTwoPi * static_cast<double>(i) / static_cast<double>(count);
        const double w =
            0.35875 - 0.48829 * std::cos(t) + 0.14128 * std::cos(2 * t) - 0.01168 * std::cos(3 * t);
        x[static_cast<std::size_t>(i)] = w * y[static_cast<std::size_t>(from + i)];
    }
    const auto power = powerSpectrum(std::move(x));
    const double binHz = kRate / static_cast<double>(count);
    std::vector<double> centres = hz;
    if (aroundPeak) {
        const auto peak = std::max_element(power.begin() + 1, power.end()) - power.begin();
        centres = {static_cast<double>(peak) * binHz};
    }
    std::vector<bool> inBand(power.size(), false);
    BandEnergy result;
    double total = 0.0;
    for (double p : power) {
        total += p;
    }
    double inside = 0.0;
    for (double centre : centres) {
        double band = 0.0;
        const auto lo = static_cast<long>(std::ceil((centre - 2.0) / binHz));
        const auto hi = static_cast<long>(std::floor((centre + 2.0) / binHz));
        for (long k = std::max(0L, lo); k <= std::min(static_cast<long>(power.size()) - 1, hi);
             ++k) {
            band += power[static_cast<std::size_t>(k)];
            if (!inBand[static_cast<std::size_t>(k)]) {
                inBand[static_cast<std::size_t>(k)] = true;
                inside += power[static_cast<std::size_t>(k)];
            }
        }
        result.inside.push_back(band);
    }
    result.outsideShare = total > 0.0 ? (total - inside) / total : 0.0;
    return result;
}

long bestLag(const std::vector<float>& reference, const std::vector<float>& delayed, long maxLag) {
    int n = 1;
    while (n < static_cast<int>(reference.size() + delayed.size())) {
        n *= 2;
    }
    std::vector<double> a(static_cast<std::size_t>(n), 0.0);
    std::vector<double> b(static_cast<std::size_t>(n), 0.0);
    std::copy(reference.begin(), reference.end(), a.begin());
    std::copy(delayed.begin(), delayed.end(), b.begin());
    std::vector<std::complex<double>> fa(static_cast<std::size_t>(n / 2 + 1));
    std::vector<std::complex<double>> fb(fa.size());
    auto forward = [n](std::vector<double>& in, std::vector<std::complex<double>>& out) {
        fftw_plan plan = fftw_plan_dft_r2c_1d(
            n, in.data(), reinterpret_cast<fftw_complex*>(out.data()), FFTW_ESTIMATE);
        fftw_execute(plan);
        fftw_destroy_plan(plan);
    };
    forward(a, fa);
    forward(b, fb);
    for (std::size_t k = 0; k < fa.size(); ++k) {
        fa[k] = fb[k] * std::conj(fa[k]);
    }
    std::vector<double> corr(static_cast<std::size_t>(n));
    fftw_plan plan = fftw_plan_dft_c2r_1d(n, reinterpret_cast<fftw_complex*>(fa.data()),
                                          corr.data(), FFTW_ESTIMATE);
    fftw_execute(plan);
    fftw_destroy_plan(plan);
    long best = 0;
    for (long lag = 1; lag <= maxLag; ++lag) {
        if (corr[static_cast<std::size_t>(lag)] > corr[static_cast<std::size_t>(best)]) {
            best = lag;
        }
    }
    return best;
}

Convergence spectralConvergence(const std::vector<float>& y, const std::vector<float>& ideal,
                                long lag, const std::vector<long>& onsets) {
    constexpr int kSize = 2048;
    constexpr int kHop = 512;
    double steadyError = 0.0;
    double steadyReference = 0.0;
    double onsetError = 0.0;
    double onsetReference = 0.0;
    std::vector<double> frame(kSize);
    for (long start = static_cast<long>(0.3 * kRate);
         start + kSize + lag < static_cast<long>(y.size()) &&
         start + kSize < static_cast<long>(ideal.size());
         start += kHop) {
        auto spectrumOf = [&](const std::vector<float>& s, long at) {
            for (int i = 0; i < kSize; ++i) {
                frame[static_cast<std::size_t>(i)] = (0.5 - 0.5 * std::cos(kTwoPi * i / kSize)) *
                                                     s[static_cast<std::size_t>(at + i)];
            }
            return powerSpectrum(frame);
        };
        const auto out = spectrumOf(y, start + lag);
        const auto ref = spectrumOf(ideal, start);
        double error = 0.0;
        double reference = 0.0;
        for (std::size_t k = 0; k < out.size(); ++k) {
            const double d = std::sqrt(out[k]) - std::sqrt(ref[k]);
            error += d * d;
            reference += ref[k];
        }
        // Frames reaching from 10 ms before to 60 ms after an onset are onset frames.
        const long centre = start + kSize / 2;
        bool nearOnset = false;
        for (long onset : onsets) {
            if (centre + kSize / 2 > onset - static_cast<long>(0.010 * kRate) &&
                centre - kSize / 2 < onset + static_cast<long>(0.060 * kRate)) {
                nearOnset = true;
            }
        }
        (nearOnset ? onsetError : steadyError) += error;
        (nearOnset ? onsetReference : steadyReference) += reference;
    }
    return {toDb(steadyError / steadyReference), toDb(onsetError / onsetReference)};
}

ClickSpread clickSpread(const std::vector<float>& y, const std::vector<long>& positions, long lag) {
    ClickSpread worst{0.0, -300.0};
    const long reach = static_cast<long>(0.100 * kRate);
    for (long position : positions) {
        const long from = position + lag - reach;
        const long to = position + lag + reach;
        if (from < 0 || to > static_cast<long>(y.size())) {
            continue;
        }
        double total = 0.0;
        long peak = from;
        for (long i = from; i < to; ++i) {
            const double e = static_cast<double>(y[static_cast<std::size_t>(i)]) *
                             y[static_cast<std::size_t>(i)];
            total += e;
            if (std::abs(y[static_cast<std::size_t>(i)]) >
                std::abs(y[static_cast<std::size_t>(peak)])) {
                peak = i;
            }
        }
        if (total <= 0.0) {
            continue;
        }
        // Shortest window holding 90 % of the energy, by two pointers.
        long shortest = to - from;
        double sum = 0.0;
        long left = from;
        for (long right = from; right < to; ++right) {
            sum += static_cast<double>(y[static_cast<std::size_t>(right)]) *
                   y[static_cast<std::size_t>(right)];
            while (sum - static_cast<double>(y[static_cast<std::size_t>(left)]) *
                             y[static_cast<std::size_t>(left)] >=
                   0.9 * total) {
                sum -= static_cast<double>(y[static_cast<std::size_t>(left)]) *
                       y[static_cast<std::size_t>(left)];
                ++left;
            }
            if (sum >= 0.9 * total) {
                shortest = std::min(shortest, right - left + 1);
            }
        }
        double early = 0.0;
        for (long i = from; i < peak - static_cast<long>(0.001 * kRate); ++i) {
            early += static_cast<double>(y[static_cast<std::size_t>(i)]) *
                     y[static_cast<std::size_t>(i)];
        }
        worst.spanMs = std::max(worst.spanMs, 1000.0 * static_cast<double>(shortest) / kRate);
        worst.preEchoDb = std::max(worst.preEchoDb, toDb(early / total));
    }
    return worst;
}

}  // namespace brimo::bench
