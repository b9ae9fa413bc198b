#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "audio/engine/EngineTestFixture.h"

namespace {

class EngineRealTimeTest : public brimo::testing::EngineTest {
  protected:
    EngineRealTimeTest() : EngineTest(brimo::hal::sim::ClockMode::realTime) {}
};

}  // namespace

// Devices run on their own threads while the main thread starts, restarts, switches devices and
// glides the pitch; the thread sanitizer build checks that nothing races.
TEST_F(EngineRealTimeTest, ControlFromTheMainThreadWhileAudioRuns) {
    using namespace std::chrono_literals;
    auto headphones = brimo::hal::sim::DeviceConfig::speakers("Headphones", "headphones");
    headphones.id = 70;
    headphones.nominalSampleRate = 44100.0;
    sim_->addDevice(headphones);
    sim_->play(kVirtualID, brimo::hal::sim::Signal::tone(440.0, 0.5F));

    connectAndStart();
    ASSERT_TRUE(engine_->isRunning());
    for (int step = 1; step <= 10; ++step) {
        engine_->setFrequency(440.0 - 0.8 * step);
        engine_->setVolume(0.1F * static_cast<float>(step));
        std::this_thread::sleep_for(10ms);
        main_.advanceBy(10ms);
    }
    engine_->setOutputDevice(device(70, "Headphones"));
    engine_->restart();
    engine_->waitUntilIdle();
    EXPECT_TRUE(engine_->isRunning());
    std::this_thread::sleep_for(100ms);
    main_.advanceBy(100ms);
    EXPECT_GT(engine_->audioLevel().value(), 0.0F);
    engine_->stop();
    engine_->waitUntilIdle();
    EXPECT_FALSE(engine_->isRunning());
}
