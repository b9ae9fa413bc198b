#include "integration/app_audio/ToneCapture.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <thread>

#include "integration/hal_pulse/AudioClients.h"
#include "integration/hal_pulse/HalUnit.h"
#include "integration/hal_pulse/ToneTools.h"
#include "platform/hal/AudioHardwareBackend.h"
#include "platform/process/ProcessRunner.h"
#include "support/TemporaryDirectory.h"
#include "support/ToneAnalysis.h"

namespace brimo::testing {

namespace {

using namespace std::chrono_literals;

constexpr float kSoundThreshold = 0.1F;

double nominalRate(hal::AudioDeviceID device) {
    hal::Float64 rate = 0.0;
    hal::UInt32 size = sizeof(rate);
    const hal::AudioObjectPropertyAddress where{hal::kAudioDevicePropertyNominalSampleRate,
                                                hal::kAudioObjectPropertyScopeGlobal,
                                                hal::kAudioObjectPropertyElementMain};
    hal::AudioObjectGetPropertyData(device, &where, 0, nullptr, &size, &rate);
    return rate > 0.0 ? rate : 48000.0;
}

// The tone's frequency from the mean length of its undisturbed periods: a dropout spoils the
// periods it touches, which are counted as disturbed, but moves no other one.
double steadyFrequency(const std::vector<float>& samples, std::size_t begin, std::size_t length,
                       double sampleRate, double expectedHz) {
    const double expected = sampleRate / expectedHz;
    double previous = -1.0;
    double total = 0.0;
    std::size_t periods = 0;
    for (std::size_t i = begin + 1; i < std::min(samples.size(), begin + length); ++i) {
        if (samples[i - 1] < 0.0F && samples[i] >= 0.0F) {
            const double at =
                static_cast<double>(i - 1) + samples[i - 1] / (samples[i - 1] - samples[i]);
            if (previous >= 0.0 && std::fabs(at - previous - expected) <= 0.02 * expected) {
                total += at - previous;
                ++periods;
            }
            previous = at;
        }
    }
    return periods == 0 ? 0.0 : sampleRate * static_cast<double>(periods) / total;
}

// The median of the peaks of two-period blocks: a dropout silences a few blocks without moving
// the median, a wrong gain moves it.
float steadyAmplitude(const std::vector<float>& samples, std::size_t begin, std::size_t length,
                      double period) {
    const auto block = static_cast<std::size_t>(2.0 * period) + 1;
    std::vector<float> peaks;
    for (std::size_t at = begin; at + block <= begin + length; at += block) {
        peaks.push_back(peak(slice(samples, at, block)));
    }
    if (peaks.empty()) {
        return 0.0F;
    }
    std::nth_element(peaks.begin(), peaks.begin() + static_cast<std::ptrdiff_t>(peaks.size() / 2),
                     peaks.end());
    return peaks[peaks.size() / 2];
}

void judge(HeardTone& heard, double expectedHz) {
    const auto& samples = heard.samples;
    const double rate = heard.sampleRate;
    heard.overallPeak = peak(samples);
    const auto soundStart = onset(samples, kSoundThreshold).value_or(0);
    const auto interior = soundStart + static_cast<std::size_t>(rate / 2);
    const auto length = static_cast<std::size_t>(rate * 1.5);
    if (samples.size() < interior + length) {
        return;
    }
    heard.frequencyHz = steadyFrequency(samples, interior, length, rate, expectedHz);
    heard.disturbedPeriods = disturbedPeriods(samples, interior, length, rate, expectedHz);
    heard.level = steadyAmplitude(samples, interior, length, rate / expectedHz);
}

}  // namespace

std::vector<HeardTone> playToneAndRecord(const std::vector<hal::AudioDeviceID>& devices,
                                         double expectedHz, double seconds, const Pump& pump) {
    std::vector<std::unique_ptr<Recorder>> recorders;
    std::vector<std::unique_ptr<HalUnit>> units;
    std::vector<HeardTone> heard(devices.size());
    for (std::size_t i = 0; i < devices.size(); ++i) {
        heard[i].sampleRate = nominalRate(devices[i]);
        recorders.push_back(
            std::make_unique<Recorder>(static_cast<std::size_t>(heard[i].sampleRate * 12)));
        units.push_back(std::make_unique<HalUnit>(devices[i], *recorders[i], heard[i].sampleRate));
        if (units[i]->start() != hal::noErr) {
            return heard;
        }
    }

    TemporaryDirectory directory;
    const std::string tone = (directory.path() / "tone.wav").string();
    writeToneWav(tone, 440.0, seconds, 48000, 0.5);
    std::atomic<bool> playerDone{false};
    std::thread player([&] {
        process::runProgram({"paplay", "-d", "brimola_vetrix", tone});
        playerDone = true;
    });
    // An idle null sink may hold a new monitor stream back for a while: wait for the sound,
    // noting when each device first heard it.
    pump(
        [&] {
            bool all = true;
            for (std::size_t i = 0; i < devices.size(); ++i) {
                if (!heard[i].arrived && recorders[i]->heardAnything(kSoundThreshold)) {
                    heard[i].arrived = true;
                    heard[i].heardAt = std::chrono::steady_clock::now();
                }
                all = all && heard[i].arrived;
            }
            return all;
        },
        std::chrono::milliseconds(static_cast<long>(seconds * 1000) + 8000));
    // The rest of the tone, and its way through the engine.
    pump([&] { return playerDone.load(); }, 20s);
    player.join();
    pump([] { return false; }, 500ms);
    for (auto& unit : units) {
        unit->stop();
    }
    for (std::size_t i = 0; i < devices.size(); ++i) {
        heard[i].samples = recorders[i]->samples();
        if (heard[i].arrived) {
            judge(heard[i], expectedHz);
        }
    }
    return heard;
}

}  // namespace brimo::testing
