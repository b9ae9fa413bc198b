#include "GlitchDetector.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

namespace brimo::bench {

namespace {

// The loudness of every block, each taken over the `span` blocks centred on it.
std::vector<float> envelope(const std::vector<float>& samples, std::size_t block,
                            std::size_t span) {
    std::vector<double> energy(samples.size() / block);
    for (std::size_t b = 0; b < energy.size(); ++b) {
        double sum = 0.0;
        for (std::size_t i = b * block; i < (b + 1) * block; ++i) {
            sum += static_cast<double>(samples[i]) * samples[i];
        }
        energy[b] = sum / static_cast<double>(block);
    }
    std::vector<double> running(energy.size() + 1, 0.0);
    for (std::size_t b = 0; b < energy.size(); ++b) {
        running[b + 1] = running[b] + energy[b];
    }
    std::vector<float> rms(energy.size());
    const std::size_t half = span / 2;
    for (std::size_t b = 0; b < rms.size(); ++b) {
        const std::size_t from = b > half ? b - half : 0;
        const std::size_t to = std::min(energy.size(), b + half + 1);
        const double mean = (running[to] - running[from]) / static_cast<double>(to - from);
        rms[b] = static_cast<float>(std::sqrt(std::max(mean, 0.0)));
    }
    return rms;
}

// Normalised correlation of recording blocks [at, at + length) with the looped music from
// block at + offset.
double correlation(const std::vector<float>& music, const std::vector<float>& recording,
                   std::size_t at, std::size_t length, long long offset) {
    const auto n = static_cast<long long>(music.size());
    double meanA = 0.0;
    double meanB = 0.0;
    auto musicAt = [&](std::size_t i) {
        long long k = (static_cast<long long>(i) + offset) % n;
        return static_cast<double>(music[static_cast<std::size_t>(k < 0 ? k + n : k)]);
    };
    for (std::size_t i = at; i < at + length; ++i) {
        meanA += recording[i];
        meanB += musicAt(i);
    }
    meanA /= static_cast<double>(length);
    meanB /= static_cast<double>(length);
    double ab = 0.0;
    double aa = 0.0;
    double bb = 0.0;
    for (std::size_t i = at; i < at + length; ++i) {
        const double a = recording[i] - meanA;
        const double b = musicAt(i) - meanB;
        ab += a * b;
        aa += a * a;
        bb += b * b;
    }
    return aa > 0.0 && bb > 0.0 ? ab / std::sqrt(aa * bb) : 0.0;
}

struct Best {
    long long offset = 0;
    double score = -1.0;
};

Best bestOffset(const std::vector<float>& music, const std::vector<float>& recording,
                std::size_t at, std::size_t length, long long from, long long to) {
    Best best;
    for (long long offset = from; offset <= to; ++offset) {
        const double score = correlation(music, recording, at, length, offset);
        if (score > best.score) {
            best = {offset, score};
        }
    }
    return best;
}

}  // namespace

GlitchReport detectGlitches(const std::vector<float>& music, const std::vector<float>& recording,
                            double sampleRate, const GlitchDetectorOptions& options) {
    GlitchReport report;
    const auto block = static_cast<std::size_t>(std::lround(sampleRate * options.blockSeconds));
    const auto span = static_cast<std::size_t>(
        std::max(1.0, std::round(options.smoothingMs / 1000.0 / options.blockSeconds)));
    const std::vector<float> musicEnvelope = envelope(music, block, span);
    const std::vector<float> heard = envelope(recording, block, span);
    const double blocksPerSecond = 1.0 / options.blockSeconds;
    const auto window = static_cast<std::size_t>(options.windowSeconds * blocksPerSecond);
    const auto hop = static_cast<std::size_t>(options.hopSeconds * blocksPerSecond);
    const auto search = static_cast<long long>(options.searchMs / 1000.0 * blocksPerSecond);
    const double step = options.stepMs / 1000.0 * blocksPerSecond;
    if (musicEnvelope.size() < 4 * window || heard.size() < 4 * window) {
        return report;
    }

    // Judge from a second after the sound arrived (streams starting up) to a second before
    // the end.
    const auto onset =
        static_cast<std::size_t>(std::find_if(heard.begin(), heard.end(),
                                              [&](float rms) { return rms >= options.loudRms; }) -
                                 heard.begin());
    std::size_t begin = onset + static_cast<std::size_t>(blocksPerSecond);
    const std::size_t end = heard.size() - static_cast<std::size_t>(blocksPerSecond);
    const std::size_t firstWindow = std::min<std::size_t>(4 * window, musicEnvelope.size() / 2);
    if (begin + firstWindow + window >= end) {
        return report;
    }
    const auto loop = static_cast<long long>(musicEnvelope.size());
    // Where the music's loudness barely moves, no place in it stands out: the recording is
    // placed at the first stretch that matches, a few tries in.
    Best first;
    for (int tries = 0; tries < 8 && begin + firstWindow + window < end; ++tries) {
        first = bestOffset(musicEnvelope, heard, begin, firstWindow, -static_cast<long long>(begin),
                           loop - 1 - static_cast<long long>(begin));
        if (first.score >= options.minCorrelation) {
            break;
        }
        begin += firstWindow;
    }
    if (first.score < options.minCorrelation) {
        return report;
    }
    report.aligned = true;
    report.offsetSeconds = static_cast<double>(first.offset) / blocksPerSecond;
    report.judgedSeconds = static_cast<double>(end - begin) / blocksPerSecond;

    // The timeline, hop by hop; nullopt where the music is too quiet to tell.
    struct Point {
        std::size_t at = 0;
        std::optional<long long> offset;
        double score = 0.0;
    };
    std::vector<Point> timeline;
    long long previous = first.offset;
    for (std::size_t at = begin; at + window <= end; at += hop) {
        const Best best =
            bestOffset(musicEnvelope, heard, at, window, previous - search, previous + search);
        Point point{at, std::nullopt, best.score};
        if (best.score >= options.minCorrelation) {
            point.offset = best.offset;
            previous = best.offset;
        }
        timeline.push_back(point);
    }
    const auto judged = std::count_if(timeline.begin(), timeline.end(),
                                      [](const Point& point) { return point.offset.has_value(); });
    report.judgedFraction =
        timeline.empty() ? 0.0 : static_cast<double>(judged) / static_cast<double>(timeline.size());

    std::vector<Glitch> events;
    long long base = first.offset;
    std::size_t baseAt = begin;
    auto confident = [&](const Point& point) {
        return point.offset.has_value() && point.score >= options.stepCorrelation;
    };
    for (std::size_t i = 0; i < timeline.size(); ++i) {
        if (!confident(timeline[i])) {
            continue;
        }
        const long long offset = *timeline[i].offset;
        const double drift = options.maxDrift * static_cast<double>(timeline[i].at - baseAt);
        const double move = static_cast<double>(offset - base);
        if (std::fabs(move) < step + drift) {
            // Drift: the base follows, but by a block a hop at most (beyond the trim's own
            // drift), so a step that a window across it splits in two still adds up.
            const double slew = 1.0 + drift;
            base += std::llround(std::clamp(move, -slew, slew));
            baseAt = timeline[i].at;
            continue;
        }
        // A step holds when the next judged window agrees; a window across the step matches
        // somewhere between.
        std::size_t next = i + 1;
        while (next < timeline.size() && !confident(timeline[next])) {
            ++next;
        }
        if (next < timeline.size() && std::llabs(*timeline[next].offset - offset) > 1) {
            continue;
        }
        const double sizeMs = static_cast<double>(offset - base) / blocksPerSecond * 1000.0;
        events.push_back(
            {(static_cast<double>(timeline[i].at) + 0.5 * static_cast<double>(window)) /
                 blocksPerSecond,
             sizeMs > 0 ? "skipped" : "delayed", std::fabs(sizeMs)});
        base = offset;
        baseAt = timeline[i].at;
    }

    // Holes: digital silence where the music, at the timeline's offset, is loud.
    const auto minHole = static_cast<std::size_t>(options.minHoleMs / 1000.0 * sampleRate);
    std::size_t point = 0;
    long long offsetHere = first.offset;
    for (std::size_t i = begin * block; i < end * block;) {
        if (recording[i] != 0.0F) {
            ++i;
            continue;
        }
        std::size_t run = i;
        while (run < end * block && recording[run] == 0.0F) {
            ++run;
        }
        if (run - i >= minHole) {
            while (point < timeline.size() && timeline[point].at * block <= i) {
                if (timeline[point].offset) {
                    offsetHere = *timeline[point].offset;
                }
                ++point;
            }
            double loudness = 0.0;
            std::size_t blocks = 0;
            for (std::size_t b = i / block; b <= (run - 1) / block; ++b, ++blocks) {
                long long k = (static_cast<long long>(b) + offsetHere) % loop;
                loudness += musicEnvelope[static_cast<std::size_t>(k < 0 ? k + loop : k)];
            }
            // Music with a pause of its own in digital silence plays it as a hole too.
            std::size_t musicSilent = 0;
            const auto musicSamples = static_cast<long long>(music.size());
            for (std::size_t j = i; j < run; ++j) {
                long long k =
                    (static_cast<long long>(j) + offsetHere * static_cast<long long>(block)) %
                    musicSamples;
                musicSilent +=
                    music[static_cast<std::size_t>(k < 0 ? k + musicSamples : k)] == 0.0F;
            }
            const bool musicPauses = 2 * musicSilent >= run - i;
            if (!musicPauses && blocks > 0 &&
                loudness / static_cast<double>(blocks) >= options.loudRms) {
                events.push_back({static_cast<double>(i) / sampleRate, "hole",
                                  static_cast<double>(run - i) / sampleRate * 1000.0});
            }
        }
        i = run;
    }

    std::sort(events.begin(), events.end(),
              [](const Glitch& a, const Glitch& b) { return a.atSeconds < b.atSeconds; });
    for (const Glitch& event : events) {
        if (!report.glitches.empty() &&
            event.atSeconds - report.glitches.back().atSeconds < options.mergeSeconds) {
            report.glitches.back().sizeMs = std::max(report.glitches.back().sizeMs, event.sizeMs);
            continue;
        }
        report.glitches.push_back(event);
    }
    return report;
}

}  // namespace brimo::bench
