#pragma once

#include <memory>

#include "integration/hal_pulse/HalQueries.h"
#include "integration/hal_pulse/PrivateAudioServer.h"
#include "platform/hal/AudioHardwareBackend.h"
#include "platform/hal/pulse/PulseAudioBackend.h"

namespace brimo::testing {

// The backend on the private server, installed under the hardware layer for the test, with
// the two sinks every test starts from.
class PulseBackendTest : public PrivateAudioServerTest {
  protected:
    void SetUp() override {
        PrivateAudioServerTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        backend = hal::pulse::PulseAudioBackend::create();
        installation = std::make_unique<hal::ScopedAudioHardwareBackend>(backend);
        ASSERT_TRUE(backend->isConnected());
        brimola = deviceWithUid("brimola_vetrix");
        speakers = deviceWithUid("speakers");
        ASSERT_NE(brimola, kAudioObjectUnknown);
        ASSERT_NE(speakers, kAudioObjectUnknown);
    }

    void TearDown() override {
        installation.reset();
        backend.reset();
    }

    std::shared_ptr<hal::pulse::PulseAudioBackend> backend;
    std::unique_ptr<hal::ScopedAudioHardwareBackend> installation;
    AudioDeviceID brimola = kAudioObjectUnknown;
    AudioDeviceID speakers = kAudioObjectUnknown;
};

}  // namespace brimo::testing
