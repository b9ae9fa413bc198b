#include "GlitchValidation.h"

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

}  // namespace

nlohmann::json validateGlitchDetector(const std::vector<float>& music, double sampleRate) {
    const double block = 512.0 / sampleRate * 1000.0;  // one I/O cycle, in ms
    const std::vector<Injection> injections{
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
    const double seconds = 50.0;
    const auto start = static_cast<std::size_t>(37.3 * sampleRate) % music.size();
    const double ratio = 1.002;  // the trim's limit

    const GlitchReport clean =
        detectGlitches(music, excerpt(music, start, seconds, sampleRate, ratio), sampleRate);

    // Injections are made from the last to the first so the positions stay those of the clean
    // excerpt; those made later in the list move the earlier ones' times by at most 60 ms.
    std::vector<float> broken = excerpt(music, start, seconds, sampleRate, ratio);
    for (auto it = injections.rbegin(); it != injections.rend(); ++it) {
        const auto at = static_cast<std::ptrdiff_t>(it->atSeconds * sampleRate);
        const auto frames = static_cast<std::ptrdiff_t>(std::lround(it->ms / 1000.0 * sampleRate));
        switch (it->kind) {
            case Injection::Kind::insertSilence:
                broken.insert(broken.begin() + at, static_cast<std::size_t>(frames), 0.0F);
                break;
            case Injection::Kind::replaceWithSilence:
                std::fill_n(broken.begin() + at, frames, 0.0F);
                break;
            case Injection::Kind::drop:
                broken.erase(broken.begin() + at, broken.begin() + at + frames);
                break;
            case Injection::Kind::repeat: {
                const std::vector<float> copy(broken.begin() + at - frames, broken.begin() + at);
                broken.insert(broken.begin() + at, copy.begin(), copy.end());
                break;
            }
        }
    }
    const GlitchReport found = detectGlitches(music, broken, sampleRate);
    std::size_t matched = 0;
    for (const auto& injection : injections) {
        for (const auto& glitch : found.glitches) {
            if (std::fabs(glitch.atSeconds - injection.atSeconds) < 0.75) {
                ++matched;
                break;
            }
        }
    }
    nlohmann::json foundList = nlohmann::json::array();
    for (const auto& glitch : found.glitches) {
        foundList.push_back(
            {{"at_s", glitch.atSeconds}, {"kind", glitch.kind}, {"size_ms", glitch.sizeMs}});
    }
    const bool passed = clean.aligned && found.aligned && clean.glitches.empty() &&
                        matched == injections.size() && found.glitches.size() == injections.size();
    return {{"passed", passed},
            {"clean_dropouts", clean.glitches.size()},
            {"injected", injections.size()},
            {"found", found.glitches.size()},
            {"matched", matched},
            {"found_list", foundList}};
}

}  // namespace brimo::bench
