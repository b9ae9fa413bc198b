#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "audio/engine/AudioEngineService.h"
#include "platform/dispatch/VirtualTimeMainQueue.h"
#include "platform/hal/sim/ScopedSimulatedBackend.h"
#include "support/LineCollector.h"
#include "support/TemporaryDirectory.h"
#include "support/ToneAnalysis.h"

namespace brimo::testing {

// An engine on a fresh simulated backend with the virtual device (ID 62, loopback) and a pair
// of speakers (ID 57), a virtual-time main queue, a private log folder and recorded pauses.
class EngineTest : public ::testing::Test {
  protected:
    static constexpr std::uint32_t kVirtualID = 62;
    static constexpr std::uint32_t kSpeakersID = 57;

    explicit EngineTest(hal::sim::ClockMode mode = hal::sim::ClockMode::stepped) : sim_(mode) {
        auto loop = hal::sim::DeviceConfig::loopbackDevice("Brimola Vetrix", "brimola_vetrix");
        loop.id = kVirtualID;
        sim_->addDevice(loop);
        auto speakers = hal::sim::DeviceConfig::speakers("Speakers", "speakers");
        speakers.id = kSpeakersID;
        sim_->addDevice(speakers);
        engine_ = makeEngine();
    }

    std::shared_ptr<audio::AudioEngineService> makeEngine() {
        audio::AudioEngineService::Options options;
        options.mainQueue = &main_;
        options.logDirectory = [path = documents_.path()] { return path; };
        options.sleep = [this](std::chrono::duration<double> span) {
            const std::lock_guard guard(pausesLock_);
            pauses_.push_back(span.count());
        };
        return audio::AudioEngineService::create(std::move(options));
    }

    // The engine's messages so far, without time stamps and tags.
    std::vector<std::string> logLines() const {
        return diagnosticLines(documents_.path() / "Brimolavetrix_debug.log", "AudioEngine");
    }
    void clearLog() { std::filesystem::remove(documents_.path() / "Brimolavetrix_debug.log"); }

    std::vector<double> pauses() {
        const std::lock_guard guard(pausesLock_);
        return pauses_;
    }

    static audio::AudioDevice device(std::uint32_t id, std::string name) {
        return audio::AudioDevice{id, std::move(name), "uid-" + std::to_string(id), true, true};
    }

    void connectAndStart() {
        engine_->setInputDevice(device(kVirtualID, "Brimola Vetrix"));
        engine_->setOutputDevice(device(kSpeakersID, "Speakers"));
        engine_->start();
        engine_->waitUntilIdle();
    }

    // The last `seconds` the speakers played, left channel.
    std::vector<float> playedTail(double seconds) {
        const auto left = sim_->recording(kSpeakersID).channel(0);
        const auto n = static_cast<std::size_t>(seconds * 48000.0);
        return slice(left, left.size() > n ? left.size() - n : 0, n);
    }

    // Runs the simulated devices and the main queue side by side.
    void run(double seconds) {
        constexpr double kStep = 0.01;
        for (double t = 0; t < seconds - 1e-9; t += kStep) {
            sim_->advanceSeconds(kStep);
            main_.advanceBy(std::chrono::milliseconds(10));
        }
    }

    TemporaryDirectory documents_;
    dispatch::VirtualTimeMainQueue main_;
    hal::sim::ScopedSimulatedBackend sim_;
    std::mutex pausesLock_;
    std::vector<double> pauses_;
    std::shared_ptr<audio::AudioEngineService> engine_;
};

}  // namespace brimo::testing
