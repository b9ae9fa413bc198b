#include "Inputs.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <numbers>
#include <string>

#include "Signals.h"

namespace brimo::bench {

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;
// Recorded music from Debian's fb-music-high (a game's soundtrack: sampled instruments, drums,
// stereo), decoded at bench time, so no one else's music is kept with our code.
constexpr const char* kRealMusicFile = "/usr/share/games/frozen-bubble/snd/frozen-mainzik-2p.xm";

std::size_t framesOf(double seconds) {
    return static_cast<std::size_t>(seconds * kRate);
}

struct Random {
    std::uint32_t seed;
    double uniform() {  // in [0, 1)
        seed = seed * 1664525U + 1013904223U;
        return static_cast<double>(seed >> 8U) / 16777216.0;
    }
};

// A two-pole resonator: the formants of speech-like sound.
struct Resonator {
    double y1 = 0.0;
    double y2 = 0.0;
    double process(double x, double hz, double bandwidth) {
        const double r = std::exp(-std::numbers::pi * bandwidth / kRate);
        const double a1 = 2.0 * r * std::cos(kTwoPi * hz / kRate);
        const double a2 = -r * r;
        const double y = (1.0 - r) * x + a1 * y1 + a2 * y2;
        y2 = y1;
        y1 = y;
        return y;
    }
};

// Sixteen voices with up to fifteen harmonics each, bowed (slow swells, vibrato, a little bow
// noise), spread over the stereo field, chords changing every two seconds: many partials close
// together, all of them moving.
Stereo orchestral(double seconds) {
    static const double kChords[][4] = {{130.81, 196.00, 261.63, 329.63},
                                        {110.00, 164.81, 220.00, 277.18},
                                        {146.83, 220.00, 293.66, 349.23},
                                        {98.00, 146.83, 196.00, 246.94},
                                        {123.47, 185.00, 246.94, 311.13}};
    Stereo out(2, std::vector<float>(framesOf(seconds), 0.0F));
    Random random{777};
    const std::size_t n = out[0].size();
    const std::size_t chordFrames = framesOf(2.0);
    for (int v = 0; v < 16; ++v) {
        const double pan = random.uniform();
        const double vibratoHz = 4.5 + random.uniform();
        const double vibratoDepth = 0.002 + 0.002 * random.uniform();
        const double octave = v < 4 ? 0.5 : (v < 12 ? 1.0 : 2.0);
        double phases[16] = {};
        for (double& p : phases) {
            p = kTwoPi * random.uniform();
        }
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t chord = (i / chordFrames) % 5;
            const double t = static_cast<double>(i) / kRate;
            const double within = static_cast<double>(i % chordFrames) / kRate;
            const double f0 = kChords[chord][v % 4] * octave *
                              (1.0 + vibratoDepth * std::sin(kTwoPi * vibratoHz * t + v));
            const double swell = std::min(1.0, within / 0.15) * (0.7 + 0.3 * std::sin(1.3 * t + v));
            double x = 0.0;
            for (int h = 1; h <= 15; ++h) {
                const double hz = f0 * h;
                if (hz > 15000.0) {
                    break;
                }
                phases[h] += kTwoPi * hz / kRate;
                x += std::sin(phases[h]) / (h * 1.3);
            }
            x = 0.012 * swell * (x + 0.05 * (random.uniform() - 0.5));
            out[0][i] += static_cast<float>(x * (1.0 - pan));
            out[1][i] += static_cast<float>(x * pan);
        }
    }
    return out;
}

// A rock beat at 120 beats per minute: kick, snare and closed hi-hat on eighths.
Stereo drums(double seconds) {
    std::vector<float> mono(framesOf(seconds), 0.0F);
    Random random{4242};
    const std::size_t eighth = framesOf(0.25);
    for (std::size_t at = 0, step = 0; at < mono.size(); at += eighth, ++step) {
        const std::size_t length = std::min(mono.size() - at, framesOf(0.4));
        const bool kick = step % 4 == 0 || step % 8 == 5;
        const bool snare = step % 4 == 2;
        double phase = 0.0;
        double hiss = 0.0;
        for (std::size_t i = 0; i < length; ++i) {
            const double t = static_cast<double>(i) / kRate;
            const double white = random.uniform() - 0.5;
            double x = 0.0;
            if (kick) {
                phase += kTwoPi * (50.0 + 100.0 * std::exp(-t / 0.03)) / kRate;
                x += 0.8 * std::exp(-t / 0.15) * std::sin(phase);
            }
            if (snare) {
                x += std::exp(-t / 0.08) * (0.5 * white + 0.3 * std::sin(kTwoPi * 190.0 * t));
            }
            // Hi-hat: noise through a first difference (bright), very short.
            const double bright = white - hiss;
            hiss = white;
            x += 0.25 * std::exp(-t / 0.02) * bright;
            mono[at + i] += static_cast<float>(0.7 * x);
        }
    }
    return stereoOf(mono);
}

// A voice: a glottal pulse train gliding between 90 and 220 Hz through three formants that
// move every syllable, with fricative noise and pauses between phrases.
Stereo speech(double seconds) {
    std::vector<float> mono(framesOf(seconds), 0.0F);
    Random random{99};
    static const double kVowels[][3] = {{730, 1090, 2440}, {270, 2290, 3010}, {530, 1840, 2480},
                                        {570, 840, 2410},  {300, 870, 2240},  {660, 1720, 2410}};
    Resonator f1;
    Resonator f2;
    Resonator f3;
    double glottal = 0.0;
    const std::size_t syllable = framesOf(0.18);
    for (std::size_t i = 0; i < mono.size(); ++i) {
        const double t = static_cast<double>(i) / kRate;
        const std::size_t s = i / syllable;
        const double phrase = std::fmod(t, 2.5);
        const bool pause = phrase > 2.1;
        const bool fricative = s % 5 == 3 && (i % syllable) < syllable / 3;
        const double pitch = 140.0 + 60.0 * std::sin(kTwoPi * 0.4 * t) + 20.0 * std::sin(7.0 * t);
        glottal += pitch / kRate;
        double excitation = 0.0;
        if (glottal >= 1.0) {
            glottal -= 1.0;
            excitation = 1.0;
        }
        const double white = random.uniform() - 0.5;
        const double* vowel = kVowels[(s * 7 + 3) % 6];
        double x = f1.process(excitation, vowel[0], 90.0) * 1.0 +
                   f2.process(excitation, vowel[1], 110.0) * 0.5 +
                   f3.process(excitation, vowel[2], 160.0) * 0.25;
        x *= 3.0;
        if (fricative) {
            x = 0.08 * white;
        }
        mono[i] = pause ? 0.0F : static_cast<float>(x);
    }
    return stereoOf(mono);
}

// A logarithmic sine sweep from 20 Hz to 20 kHz.
Stereo sweep(double seconds) {
    std::vector<float> mono(framesOf(seconds));
    const double k = std::log(20000.0 / 20.0);
    for (std::size_t i = 0; i < mono.size(); ++i) {
        const double t = static_cast<double>(i) / kRate;
        const double phase = kTwoPi * 20.0 * seconds / k * (std::exp(t / seconds * k) - 1.0);
        mono[i] = static_cast<float>(0.4 * std::sin(phase));
    }
    return stereoOf(mono);
}

}  // namespace

Input realMusic(double offset, double seconds) {
    Input input{"real music", {}, {}};
    // Seeking after the input: the tracker module has no index to seek in.
    const std::string command = std::string("ffmpeg -v error -nostdin -i '") + kRealMusicFile +
                                "' -ss " + std::to_string(offset) + " -t " +
                                std::to_string(seconds) + " -f f32le -ac 2 -ar 48000 - 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        input.missing = "cannot run ffmpeg";
        return input;
    }
    std::vector<float> interleaved(2 * framesOf(seconds));
    const std::size_t frames =
        std::fread(interleaved.data(), 2 * sizeof(float), framesOf(seconds), pipe);
    pclose(pipe);
    if (frames < framesOf(seconds)) {
        input.missing = std::string("could not decode ") + kRealMusicFile +
                        " (install ffmpeg and fb-music-high)";
        return input;
    }
    input.audio.assign(2, std::vector<float>(frames));
    for (std::size_t i = 0; i < frames; ++i) {
        input.audio[0][i] = interleaved[2 * i];
        input.audio[1][i] = interleaved[2 * i + 1];
    }
    return input;
}

const std::vector<std::string>& cpuInputNames() {
    static const std::vector<std::string> names = {
        "tone 440 Hz",     "white noise", "music-like mixture",
        "orchestral-like", "drums",       "speech-like",
        "silence",         "sweep",       "real music"};
    return names;
}

Input cpuInput(const std::string& name, double seconds) {
    if (name == "tone 440 Hz") {
        return {name, stereoOf(sine(440.0, 0.5, seconds)), {}};
    }
    if (name == "white noise") {
        return {name, stereoOf(noise(seconds)), {}};
    }
    if (name == "music-like mixture") {
        return {name, stereoOf(music(seconds)), {}};
    }
    if (name == "orchestral-like") {
        return {name, orchestral(seconds), {}};
    }
    if (name == "drums") {
        return {name, drums(seconds), {}};
    }
    if (name == "speech-like") {
        return {name, speech(seconds), {}};
    }
    if (name == "silence") {
        return {name, stereoOf(std::vector<float>(framesOf(seconds), 0.0F)), {}};
    }
    if (name == "sweep") {
        return {name, sweep(seconds), {}};
    }
    if (name == "real music") {
        return realMusic(40.0, seconds);
    }
    return {name, {}, "no input of that name"};
}

std::vector<Input> cpuInputs(double seconds) {
    std::vector<Input> inputs;
    for (const std::string& name : cpuInputNames()) {
        inputs.push_back(cpuInput(name, seconds));
    }
    return inputs;
}

}  // namespace brimo::bench
