#include "GlitchValidation.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <string>

#include "GlitchDetector.h"

namespace brimo::bench {

namespace {

// `seconds` of the looped music from `start`, played `ratio` times as fast (linear
// interpolation: the drift trim's effect on the timeline).
std::vector<float> excerpt(const std::vector<float>& music, std::size_t start, double seconds,
                           double sampleRate, double ratio) {
    const auto frames = static_cast<std::size_t>(seconds * sampleRate);
    std::vector<float> out(frames);
    for (std::size_t i = 0; i < frames; ++i) {
        const double at = static_cast<double>(start) + static_cast<double>(i) * ratio;
        const auto k = static_cast<std::size_t>(at);
        const double fraction = at - static_cast<double>(k);
        const float a = music[k % music.size()];
        const float b = music[(k + 1) % music.size()];
        out[i] = static_cast<float>(a + (b - a) * fraction);
    }
    return out;
}

struct Injection {
    enum class Kind { insertSilence, replaceWithSilence, drop, repeat };
    Kind kind;
    double atSeconds;
    double ms;
};

std::vector<Injection> injections(double fromSeconds, double sampleRate) {
    const double block = 512.0 / sampleRate * 1000.0;  // one I/O cycle, in ms
    const std::vector<Injection> pattern{
        {Injection::Kind::insertSilence, 4.0, 10.0},
        {Injection::Kind::drop, 8.0, block},
        {Injection::Kind::repeat, 12.0, block},
        {Injection::Kind::replaceWithSilence, 16.0, 5.0},
        {Injection::Kind::insertSilence, 20.0, 58.0},
        {Injection::Kind::drop, 24.0, 2 * block},
        {Injection::Kind::repeat, 28.0, block},
        {Injection::Kind::replaceWithSilence, 32.0, 20.0},
        {Injection::Kind::insertSilence, 36.0, 25.0},
        {Injection::Kind::drop, 40.0, block},
        {Injection::Kind::repeat, 44.0, 2 * block},
    };
    std::vector<Injection> placed = pattern;
    for (auto& injection : placed) {
        injection.atSeconds += fromSeconds;
    }
    return placed;
}

// Injections are made from the last to the first so the positions stay those of the clean
// audio; those made later in the list move the earlier ones' times by at most 60 ms.
std::vector<float> inject(std::vector<float> audio, const std::vector<Injection>& faults,
                          double sampleRate) {
    for (auto it = faults.rbegin(); it != faults.rend(); ++it) {
        const auto at = static_cast<std::ptrdiff_t>(it->atSeconds * sampleRate);
        const auto frames = static_cast<std::ptrdiff_t>(std::lround(it->ms / 1000.0 * sampleRate));
        switch (it->kind) {
            case Injection::Kind::insertSilence:
                audio.insert(audio.begin() + at, static_cast<std::size_t>(frames), 0.0F);
                break;
            case Injection::Kind::replaceWithSilence:
                std::fill_n(audio.begin() + at, frames, 0.0F);
                break;
            case Injection::Kind::drop:
                audio.erase(audio.begin() + at, audio.begin() + at + frames);
                break;
            case Injection::Kind::repeat: {
                const std::vector<float> copy(audio.begin() + at - frames, audio.begin() + at);
                audio.insert(audio.begin() + at, copy.begin(), copy.end());
                break;
            }
        }
    }
    return audio;
}

bool near(const std::vector<Glitch>& glitches, double atSeconds) {
    return std::any_of(glitches.begin(), glitches.end(), [&](const Glitch& glitch) {
        return std::fabs(glitch.atSeconds - atSeconds) < 1.5;
    });
}

nlohmann::json judge(const GlitchReport& clean, const GlitchReport& found,
                     const std::vector<Injection>& faults) {
    // A fault made within a real dropout's span merges with it: found, not missed.
    std::size_t matched = 0;
    std::size_t masked = 0;
    for (const auto& fault : faults) {
        if (near(found.glitches, fault.atSeconds)) {
            ++matched;
        } else if (near(clean.glitches, fault.atSeconds)) {
            ++masked;
        }
    }
    // Found where nothing was made and the untouched audio shows nothing either.
    std::size_t unexplained = 0;
    nlohmann::json foundList = nlohmann::json::array();
    for (const auto& glitch : found.glitches) {
        const bool made = std::any_of(faults.begin(), faults.end(), [&](const Injection& fault) {
            return std::fabs(glitch.atSeconds - fault.atSeconds) < 1.5;
        });
        unexplained += made || near(clean.glitches, glitch.atSeconds) ? 0 : 1;
        foundList.push_back(
            {{"at_s", glitch.atSeconds}, {"kind", glitch.kind}, {"size_ms", glitch.sizeMs}});
    }
    const bool passed =
        clean.aligned && found.aligned && matched == faults.size() && unexplained == 0;
    return {{"passed", passed},           {"clean_dropouts", clean.glitches.size()},
            {"injected", faults.size()},  {"found", found.glitches.size()},
            {"matched", matched},         {"masked_by_real_dropouts", masked},
            {"unexplained", unexplained}, {"judged_fraction", found.judgedFraction},
            {"found_list", foundList}};
}

}  // namespace

nlohmann::json validateGlitchDetector(const std::vector<float>& music, double sampleRate) {
    const double seconds = 50.0;
    const auto start = static_cast<std::size_t>(37.3 * sampleRate) % music.size();
    const double ratio = 1.002;  // the trim's limit
    const std::vector<float> clean = excerpt(music, start, seconds, sampleRate, ratio);
    const auto faults = injections(0.0, sampleRate);
    const GlitchReport cleanReport = detectGlitches(music, clean, sampleRate);
    const GlitchReport found = detectGlitches(music, inject(clean, faults, sampleRate), sampleRate);
    nlohmann::json result = judge(cleanReport, found, faults);
    // Made from the music itself, the clean copy must be clean.
    result["passed"] = result["passed"].get<bool>() && cleanReport.glitches.empty();
    return result;
}

nlohmann::json validateOnRecording(const std::vector<float>& music,
                                   const std::vector<float>& recording, double fromSeconds,
                                   double sampleRate, const GlitchDetectorOptions& options) {
    const auto faults = injections(fromSeconds, sampleRate);
    if (static_cast<double>(recording.size()) / sampleRate < faults.back().atSeconds + 5.0) {
        return {{"passed", false}, {"reason", "the recording is too short"}};
    }
    const GlitchReport clean = detectGlitches(music, recording, sampleRate, options);
    const GlitchReport found =
        detectGlitches(music, inject(recording, faults, sampleRate), sampleRate, options);
    return judge(clean, found, faults);
}

}  // namespace brimo::bench
