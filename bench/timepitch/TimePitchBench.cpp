// Runs our time-pitch shifter and its peers side by side on the same inputs (48 kHz stereo,
// 432/440 pitch, tempo 1.0, 512-frame blocks). Prints the quality table with pass or miss per
// target, then CPU and per-slice timing on every kind of input, peers in the same run, and
// writes all of it as one JSON object (to the path given as the first argument, or
// timepitch-bench.json). With "quick" as the second argument it runs only ours and Rubber Band
// R2 default (the CPU reference), three repetitions: for iterating, not for reporting. With
// "quality" it prints only ours' quality table, without any timing.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "Inputs.h"
#include "Measures.h"
#include "Shifters.h"
#include "Signals.h"

namespace brimo::bench {
namespace {

const double kCents = 1200.0 * std::log2(432.0 / 440.0);
const double kRatio = 432.0 / 440.0;
constexpr int kRepetitions = 5;

using Results = std::map<std::string, double>;

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

long frames(double seconds) {
    return static_cast<long>(seconds * kRate);
}

void measureLatency(Shifter& shifter, Results& r, long& measured) {
    const auto input = burst(0.5, 1.5);
    const auto out = shifter.run(stereoOf(input), kRate, kCents);
    measured = onsetFrame(out.output[0], 0.1) - onsetFrame(input, 0.1);
    r["latency reported ms"] = 1000.0 * static_cast<double>(out.reportedLatencyFrames) / kRate;
    r["latency measured ms"] = 1000.0 * static_cast<double>(measured) / kRate;
    r["priming ms"] = 1000.0 * static_cast<double>(out.primingFrames) / kRate;
}

void measureSines(Shifter& shifter, Results& r) {
    double wobble = 0.0;
    for (double hz : {100.0, 440.0, 1000.0}) {
        const auto out = shifter.run(stereoOf(sine(hz, 0.5, 6.0)), kRate, kCents).output[0];
        const double ideal = hz * kRatio;
        const double measured = sineFrequency(out, frames(1.0), frames(4.5), ideal);
        r["pitch error " + std::to_string(static_cast<int>(hz)) + " Hz cents"] =
            1200.0 * std::log2(measured / ideal);
        double lo = 1e9;
        double hi = -1e9;
        for (double t = 1.0; t + 0.5 <= 5.5; t += 0.5) {
            const double f = sineFrequency(out, frames(t), frames(0.5), ideal);
            const double cents = 1200.0 * std::log2(f / ideal);
            lo = std::min(lo, cents);
            hi = std::max(hi, cents);
        }
        wobble = std::max(wobble, hi - lo);
        if (hz == 440.0) {
            r["THD+N dB"] = toDb(bandEnergy(out, frames(1.0), frames(4.0), {}, true).outsideShare);
            r["level dB"] =
                20.0 * std::log10(rms(out, frames(1.0), frames(4.0)) / (0.5 / std::sqrt(2.0)));
        }
    }
    r["pitch wobble cents"] = wobble;
}

void measureChords(Shifter& shifter, Results& r) {
    const std::vector<std::pair<std::string, std::vector<double>>> chords = {
        {"chord A minor 7 dB", {220.0, 277.18, 329.63, 440.0, 659.26}},
        {"chord wide low dB", {65.41, 98.0, 164.81, 261.63, 392.0}},
        {"chord semitone cluster dB", {440.0, 466.16, 493.88, 523.25}},
    };
    for (const auto& [name, hz] : chords) {
        const auto input = chord(hz, 0.15, 6.0);
        const auto out = shifter.run(stereoOf(input), kRate, kCents).output[0];
        std::vector<double> ideal;
        for (double f : hz) {
            ideal.push_back(f * kRatio);
        }
        const auto got = bandEnergy(out, frames(1.0), frames(4.0), ideal, false);
        r[name] = toDb(got.outsideShare);
        if (name == "chord semitone cluster dB") {
            const auto reference = bandEnergy(input, frames(1.0), frames(4.0), hz, false);
            double worst = 0.0;
            for (std::size_t i = 0; i < hz.size(); ++i) {
                const double change = toDb(got.inside[i] / reference.inside[i]);
                worst = std::abs(change) > std::abs(worst) ? change : worst;
            }
            r["cluster worst partial dB"] = worst;
        }
    }
}

void measureMusic(Shifter& shifter, Results& r, long latency) {
    const double seconds = 8.0;
    const auto input = music(seconds);
    const auto ideal = music(seconds, kRatio);
    const auto out = shifter.run(stereoOf(input), kRate, kCents).output[0];
    // Aligned by the measured latency: cross-correlation is unreliable once every partial
    // carries its own phase.
    const auto convergence = spectralConvergence(out, ideal, latency, musicOnsets(seconds));
    r["music steady dB"] = convergence.steadyDb;
    r["music onsets dB"] = convergence.onsetDb;

    const auto passed = shifter.run(stereoOf(input), kRate, 0.0).output[0];
    const long passLag = bestLag(input, passed, std::max(8192L, 2 * latency));
    double error = 0.0;
    double reference = 0.0;
    for (long i = frames(0.5); i + passLag < static_cast<long>(passed.size()); ++i) {
        const double d =
            passed[static_cast<std::size_t>(i + passLag)] - input[static_cast<std::size_t>(i)];
        error += d * d;
        reference += static_cast<double>(input[static_cast<std::size_t>(i)]) *
                     input[static_cast<std::size_t>(i)];
    }
    r["passthrough error dB"] = toDb(error / reference);
}

void measureClicks(Shifter& shifter, Results& r, long latency) {
    const auto input = clicks(3.0);
    const auto out = shifter.run(stereoOf(input), kRate, kCents).output[0];
    std::vector<long> positions;
    for (long i = 0; i < static_cast<long>(input.size()); ++i) {
        if (input[static_cast<std::size_t>(i)] != 0.0F) {
            positions.push_back(i);
        }
    }
    const auto spread = clickSpread(out, positions, std::max(0L, latency));
    r["click span ms"] = spread.spanMs;
    r["click pre-echo dB"] = spread.preEchoDb;
}

// Output level and passthrough on real recorded music: no level, stereo or dropout problem
// that the synthetic signals would miss.
void measureRealMusic(Shifter& shifter, Results& r, const Input& music, long latency) {
    if (!music.missing.empty()) {
        return;
    }
    const auto out = shifter.run(music.audio, kRate, kCents);
    const long from = frames(1.0);
    const long count = static_cast<long>(music.audio[0].size()) - frames(2.0) - latency;
    double levelIn = 0.0;
    double levelOut = 0.0;
    double worstDrop = 0.0;
    for (int c = 0; c < 2; ++c) {
        const auto& x = music.audio[static_cast<std::size_t>(c)];
        const auto& y = out.output[static_cast<std::size_t>(c)];
        levelIn += rms(x, from, count) * rms(x, from, count);
        levelOut += rms(y, from + latency, count) * rms(y, from + latency, count);
        // Dropouts: the largest fall of a 50 ms block's level against the input's.
        for (long at = from; at + frames(0.05) < from + count; at += frames(0.05)) {
            const double in = rms(x, at, frames(0.05));
            const double got = rms(y, at + latency, frames(0.05));
            if (in > 0.01) {
                worstDrop = std::min(worstDrop, 20.0 * std::log10(std::max(got, 1e-9) / in));
            }
        }
    }
    r["real music level dB"] = 10.0 * std::log10(levelOut / levelIn);
    r["real music worst 50 ms dB"] = worstDrop;
}

struct Target {
    std::string metric;
    std::string text;
    std::function<bool(double)> met;
};

// Timing of one shifter on one input, over every repetition.
struct Timing {
    std::vector<double> cpu;   // CPU seconds per audio second, per repetition
    std::vector<double> vsR2;  // against R2 default on the same input in the same repetition
    // Seconds per 512-frame slice, each the least over the repetitions: input and shifter are
    // deterministic, so what a slice takes above its least is the machine (preemption, other
    // work), not the shifter; one preempted slice must not stand as the worst.
    std::vector<double> slices;
};

std::string quoted(const std::string& text) {
    return '"' + text + '"';
}

std::string number(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.6g", std::isfinite(value) ? value : 0.0);
    return text;
}

}  // namespace
}  // namespace brimo::bench

int main(int argc, char** argv) {
    using namespace brimo::bench;
    const std::string jsonPath = argc > 1 ? argv[1] : "timepitch-bench.json";
    const bool qualityOnly = argc > 2 && std::string(argv[2]) == "quality";
    const bool quick = qualityOnly || (argc > 2 && std::string(argv[2]) == "quick");
    std::vector<std::unique_ptr<Shifter>> shifters;
    if (!quick) {
        shifters.push_back(makeOurShifter(8.0F));
    }
    shifters.push_back(makeOurShifter(32.0F));
    const std::size_t ours = quick ? 0 : 1;
    if (!quick) {
        shifters.push_back(makeRubberBandR3());
    }
    const std::size_t r2 = shifters.size();
    if (!qualityOnly) {
        shifters.push_back(makeRubberBandR2(false));
    }
    if (!quick) {
        shifters.push_back(makeRubberBandR2(true));
        shifters.push_back(makeSoundTouch());
    }
    const int repetitions = qualityOnly ? 0 : quick ? 3 : kRepetitions;

    const Input real = realMusic(40.0, 20.0);
    std::vector<Results> results(shifters.size());
    for (std::size_t s = 0; s < shifters.size(); ++s) {
        std::fprintf(stderr, "measuring %s\n", shifters[s]->name().c_str());
        long latency = 0;
        measureLatency(*shifters[s], results[s], latency);
        measureSines(*shifters[s], results[s]);
        measureChords(*shifters[s], results[s]);
        measureMusic(*shifters[s], results[s], latency);
        measureClicks(*shifters[s], results[s], latency);
        measureRealMusic(*shifters[s], results[s], real, latency);
    }

    // CPU in the quality table: ten seconds of the music-like mixture per run, the shifters
    // interleaved A B C … A B C …
    const double seconds = 10.0;
    const auto load = stereoOf(music(seconds));
    std::vector<std::vector<double>> cpu(shifters.size());
    for (int rep = 0; rep < repetitions; ++rep) {
        for (std::size_t s = 0; s < shifters.size(); ++s) {
            cpu[s].push_back(shifters[s]->run(load, kRate, kCents).cpuSeconds / seconds);
        }
    }
    for (std::size_t s = 0; s < shifters.size() && !qualityOnly; ++s) {
        results[s]["CPU s per s"] = median(cpu[s]);
        std::vector<double> ratios;
        for (int rep = 0; rep < repetitions; ++rep) {
            ratios.push_back(cpu[s][static_cast<std::size_t>(rep)] /
                             cpu[r2][static_cast<std::size_t>(rep)]);
        }
        results[s]["CPU vs R2"] = median(ratios);
    }

    // CPU and per-slice timing on every input: ours as the engine runs it (overlap 32, the
    // tempo trimmed for clock drift), ours with the shift off, and the peers, interleaved.
    // 100 ppm: as far as real device clocks drift apart.
    constexpr float kTrim = 1.0001F;
    std::vector<std::unique_ptr<Shifter>> runners;
    runners.push_back(makeOurShifter(32.0F, kTrim));
    runners.push_back(makeOurPassthrough(kTrim));
    const std::size_t r2Runner = runners.size();
    runners.push_back(makeRubberBandR2(false));
    if (!quick) {
        runners.push_back(makeRubberBandR3());
        runners.push_back(makeSoundTouch());
    }
    const auto inputs = cpuInputs(seconds);
    std::vector<std::vector<Timing>> timing(inputs.size(), std::vector<Timing>(runners.size()));
    for (int rep = 0; rep < repetitions; ++rep) {
        for (std::size_t i = 0; i < inputs.size(); ++i) {
            if (!inputs[i].missing.empty()) {
                continue;
            }
            std::fprintf(stderr, "timing %s, round %d\n", inputs[i].name.c_str(), rep + 1);
            std::vector<double> round(runners.size());
            for (std::size_t s = 0; s < runners.size(); ++s) {
                auto rendered = runners[s]->run(inputs[i].audio, kRate, kCents);
                round[s] = rendered.cpuSeconds / seconds;
                auto& t = timing[i][s];
                t.cpu.push_back(round[s]);
                if (t.slices.empty()) {
                    t.slices = rendered.sliceSeconds;
                }
                const std::size_t n = std::min(t.slices.size(), rendered.sliceSeconds.size());
                for (std::size_t k = 0; k < n; ++k) {
                    t.slices[k] = std::min(t.slices[k], rendered.sliceSeconds[k]);
                }
            }
            for (std::size_t s = 0; s < runners.size(); ++s) {
                timing[i][s].vsR2.push_back(round[s] / round[r2Runner]);
            }
        }
    }

    const auto atMost = [](double limit) { return [limit](double v) { return v <= limit; }; };
    const auto within = [](double limit) {
        return [limit](double v) { return std::abs(v) <= limit; };
    };
    const std::vector<Target> targets = {
        {"CPU s per s", "", nullptr},
        {"CPU vs R2", "", nullptr},
        {"latency reported ms", "", nullptr},
        {"latency measured ms", "<= 34.5", atMost(34.5)},
        {"priming ms", "(in measured)", nullptr},
        {"pitch error 100 Hz cents", "|e| < 0.01", within(0.00999)},
        {"pitch error 440 Hz cents", "|e| < 0.01", within(0.00999)},
        {"pitch error 1000 Hz cents", "|e| < 0.01", within(0.00999)},
        {"pitch wobble cents", "< 0.01", within(0.00999)},
        {"THD+N dB", "<= -66", atMost(-66.0)},
        {"chord A minor 7 dB", "<= -40", atMost(-40.0)},
        {"chord wide low dB", "<= -40", atMost(-40.0)},
        {"chord semitone cluster dB", "<= -40", atMost(-40.0)},
        {"cluster worst partial dB", "|x| <= 3 (no collapse)", within(3.0)},
        {"music steady dB", "<= -38", atMost(-38.0)},
        {"music onsets dB", "<= -20", atMost(-20.0)},
        {"click span ms", "<= 1", atMost(1.0)},
        {"click pre-echo dB", "<= -24", atMost(-24.0)},
        {"level dB", "|x| <= 0.05", within(0.05)},
        {"passthrough error dB", "<= -100", atMost(-100.0)},
        {"real music level dB", "|x| <= 0.2", within(0.2)},
        {"real music worst 50 ms dB", ">= -6 (no dropout)", [](double v) { return v >= -6.0; }},
    };

    std::printf("%-27s", "metric");
    for (const auto& s : shifters) {
        std::printf(" %15s", s->name().c_str());
    }
    std::printf("  %-24s %s\n", "target", "ov32");
    std::string json = "{\"quality\": {";
    for (std::size_t m = 0; m < targets.size(); ++m) {
        const auto& target = targets[m];
        std::printf("%-27s", target.metric.c_str());
        json += (m > 0 ? ", " : "") + quoted(target.metric) + ": {";
        for (std::size_t s = 0; s < shifters.size(); ++s) {
            std::printf(" %15.5g", results[s][target.metric]);
            json += (s > 0 ? ", " : "") + quoted(shifters[s]->name()) + ": " +
                    number(results[s][target.metric]);
        }
        const double v = results[ours][target.metric];
        const std::string verdict = target.met ? (target.met(v) ? "pass" : "MISS") : "";
        std::printf("  %-24s %s\n", target.text.c_str(), verdict.c_str());
        json += ", \"target\": " + quoted(target.text) + ", \"ov32\": " + quoted(verdict) + "}";
    }
    if (qualityOnly) {
        std::ofstream(jsonPath) << json << "}}\n";
        return 0;
    }
    json += "}, \"cpu\": [";

    std::printf(
        "\nCPU (%% of one core, median of %d) and 512-frame slices (ms: median, p99, worst, "
        "worst/median; then the first slice ms, and the steady worst ms and steady worst/median "
        "of the slices after it; each slice's least over the runs), 10 s per input\n",
        repetitions);
    std::printf("%-20s", "input");
    for (const auto& s : runners) {
        std::printf(" %15s", s->name().c_str());
    }
    std::printf("   %s slices\n", runners[0]->name().c_str());
    double worstCpu = 0.0;
    std::string worstInput;
    double worstSlice = 0.0;
    double worstSpread = 0.0;
    double worstFirst = 0.0;
    double worstSteady = 0.0;
    double worstSteadySpread = 0.0;
    double worstPassthrough = 0.0;
    double realCpu = 0.0;
    bool firstEntry = true;
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        std::printf("%-20s", inputs[i].name.c_str());
        if (!inputs[i].missing.empty()) {
            std::printf(" skipped: %s\n", inputs[i].missing.c_str());
            json += std::string(firstEntry ? "" : ", ") + "{\"input\": " + quoted(inputs[i].name) +
                    ", \"missing\": " + quoted(inputs[i].missing) + "}";
            firstEntry = false;
            continue;
        }
        for (std::size_t s = 0; s < runners.size(); ++s) {
            const auto& t = timing[i][s];
            const double c = median(t.cpu);
            const SliceFigures slices = sliceFigures(t.slices);
            std::printf(" %14.3f%%", 100.0 * c);
            json += std::string(firstEntry ? "" : ", ") + "{\"input\": " + quoted(inputs[i].name) +
                    ", \"shifter\": " + quoted(runners[s]->name()) +
                    ", \"cpu_seconds_per_second\": " + number(c) +
                    ", \"vs_r2_default\": " + number(median(t.vsR2)) +
                    ", \"slice_median_ms\": " + number(1e3 * slices.median) +
                    ", \"slice_p99_ms\": " + number(1e3 * slices.p99) +
                    ", \"slice_worst_ms\": " + number(1e3 * slices.worst) +
                    ", \"worst_over_median\": " + number(slices.spread()) +
                    ", \"first_slice_ms\": " + number(1e3 * slices.first) +
                    ", \"steady_worst_ms\": " + number(1e3 * slices.steadyWorst) +
                    ", \"steady_worst_over_median\": " + number(slices.steadySpread()) + "}";
            firstEntry = false;
        }
        const auto& t = timing[i][0];
        const SliceFigures slices = sliceFigures(t.slices);
        std::printf("   %.3f %.3f %.3f %.2f | first %.3f | steady %.3f %.2f\n", 1e3 * slices.median,
                    1e3 * slices.p99, 1e3 * slices.worst, slices.spread(), 1e3 * slices.first,
                    1e3 * slices.steadyWorst, slices.steadySpread());
        if (median(t.cpu) > worstCpu) {
            worstCpu = median(t.cpu);
            worstInput = inputs[i].name;
        }
        worstSlice = std::max(worstSlice, slices.worst);
        worstSpread = std::max(worstSpread, slices.spread());
        worstFirst = std::max(worstFirst, slices.first);
        worstSteady = std::max(worstSteady, slices.steadyWorst);
        worstSteadySpread = std::max(worstSteadySpread, slices.steadySpread());
        worstPassthrough = std::max(worstPassthrough, median(timing[i][1].cpu));
        if (inputs[i].name == "real music") {
            realCpu = median(t.cpu);
        }
    }
    char summary[512];
    std::snprintf(summary, sizeof summary,
                  "ours ov32: real music %.2f %% of a core (goal 1), worst input %s at %.2f %% "
                  "(goal 2), worst slice %.3f ms (goal 1), worst/median %.2f (goal 3); "
                  "first slice %.3f ms, steady worst %.3f ms, steady worst/median %.2f; "
                  "0 cents worst %.3f %% (goal 0.3)",
                  100.0 * realCpu, worstInput.c_str(), 100.0 * worstCpu, 1e3 * worstSlice,
                  worstSpread, 1e3 * worstFirst, 1e3 * worstSteady, worstSteadySpread,
                  100.0 * worstPassthrough);
    std::printf("%s\n", summary);
    json += "], \"summary\": {\"real_music_cpu_seconds_per_second\": " + number(realCpu) +
            ", \"worst_input\": " + quoted(worstInput) +
            ", \"worst_input_cpu_seconds_per_second\": " + number(worstCpu) +
            ", \"worst_slice_ms\": " + number(1e3 * worstSlice) +
            ", \"worst_over_median\": " + number(worstSpread) +
            ", \"first_slice_ms\": " + number(1e3 * worstFirst) +
            ", \"steady_worst_ms\": " + number(1e3 * worstSteady) +
            ", \"steady_worst_over_median\": " + number(worstSteadySpread) +
            ", \"passthrough_worst_cpu_seconds_per_second\": " + number(worstPassthrough) +
            ", \"text\": " + quoted(summary) + "}}\n";
    std::ofstream(jsonPath) << json;
    std::printf("CPU ratios are against %s. JSON written to %s\n",
                runners[r2Runner]->name().c_str(), jsonPath.c_str());
    return 0;
}
