#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/hal/AudioObject.h"
#include "platform/hal/HalTestSupport.h"
#include "platform/hal/sim/ScopedSimulatedBackend.h"

namespace brimo::hal {
namespace {

using sim::DeviceConfig;
using test::address;

// Collects every call a listener gets, with the thread it came on.
struct Heard {
    std::mutex mutex;
    std::vector<std::pair<AudioObjectID, AudioObjectPropertySelector>> calls;
    std::vector<std::thread::id> threads;

    static OSStatus listener(AudioObjectID object, UInt32 count,
                             const AudioObjectPropertyAddress* addresses, void* clientData) {
        auto* self = static_cast<Heard*>(clientData);
        const std::lock_guard guard(self->mutex);
        for (UInt32 i = 0; i < count; ++i) {
            self->calls.emplace_back(object, addresses[i].mSelector);
        }
        self->threads.push_back(std::this_thread::get_id());
        return noErr;
    }

    std::size_t count() {
        const std::lock_guard guard(mutex);
        return calls.size();
    }
};

class PropertyListenerTest : public ::testing::Test {
  protected:
    sim::ScopedSimulatedBackend sim;
    const AudioObjectPropertyAddress defaultOutput =
        address(kAudioHardwarePropertyDefaultOutputDevice);
};

TEST_F(PropertyListenerTest, DefaultOutputChangesAreHeardOncePerChangeOnABackendThread) {
    const AudioDeviceID speakers = sim->addDevice(DeviceConfig::speakers("Speakers", "s"));
    const AudioDeviceID vetrix =
        sim->addDevice(DeviceConfig::loopbackDevice("Brimola Vetrix", "v"));
    sim->waitForNotifications();

    Heard heard;
    ASSERT_EQ(AudioObjectAddPropertyListener(kAudioObjectSystemObject, &defaultOutput,
                                             &Heard::listener, &heard),
              noErr);
    sim->setDefaultOutputDevice(vetrix);
    sim->setDefaultOutputDevice(vetrix);  // no change, nothing to hear
    sim->setDefaultOutputDevice(speakers);
    sim->renameDevice(speakers, "Other");  // another property
    sim->waitForNotifications();

    const std::lock_guard guard(heard.mutex);
    ASSERT_EQ(heard.calls.size(), 2U);
    for (const auto& [object, selector] : heard.calls) {
        EXPECT_EQ(object, kAudioObjectSystemObject);
        EXPECT_EQ(selector, kAudioHardwarePropertyDefaultOutputDevice);
    }
    for (const auto& thread : heard.threads) {
        EXPECT_NE(thread, std::this_thread::get_id());
    }
}

TEST_F(PropertyListenerTest, RemovedDefaultDeviceMovesTheDefaultAndTellsDeviceListeners) {
    const AudioDeviceID a = sim->addDevice(DeviceConfig::speakers("A", "a"));
    sim->addDevice(DeviceConfig::speakers("B", "b"));
    sim->waitForNotifications();

    Heard system;
    Heard device;
    const auto anything = AudioObjectPropertyAddress{kAudioObjectPropertySelectorWildcard,
                                                     kAudioObjectPropertyScopeWildcard,
                                                     kAudioObjectPropertyElementWildcard};
    ASSERT_EQ(AudioObjectAddPropertyListener(kAudioObjectSystemObject, &anything, &Heard::listener,
                                             &system),
              noErr);
    const auto alive = address(kAudioDevicePropertyDeviceIsAlive);
    ASSERT_EQ(AudioObjectAddPropertyListener(a, &alive, &Heard::listener, &device), noErr);
    sim->removeDevice(a);
    sim->waitForNotifications();

    EXPECT_EQ(system.calls,
              (std::vector<std::pair<AudioObjectID, AudioObjectPropertySelector>>{
                  {kAudioObjectSystemObject, kAudioHardwarePropertyDevices},
                  {kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice}}));
    EXPECT_EQ(device.count(), 1U);
}

TEST_F(PropertyListenerTest, ARemovedListenerIsNeverCalledAgain) {
    const AudioDeviceID a = sim->addDevice(DeviceConfig::speakers("A", "a"));
    const AudioDeviceID b = sim->addDevice(DeviceConfig::speakers("B", "b"));
    Heard heard;
    ASSERT_EQ(AudioObjectAddPropertyListener(kAudioObjectSystemObject, &defaultOutput,
                                             &Heard::listener, &heard),
              noErr);
    // Registering the same thing twice still hears each change once.
    ASSERT_EQ(AudioObjectAddPropertyListener(kAudioObjectSystemObject, &defaultOutput,
                                             &Heard::listener, &heard),
              noErr);
    sim->setDefaultOutputDevice(b);
    sim->waitForNotifications();
    ASSERT_EQ(heard.count(), 1U);

    // Changes racing with the removal: whatever was heard, nothing is heard after it.
    std::thread flipper([&] {
        for (int i = 0; i < 200; ++i) {
            sim->setDefaultOutputDevice(i % 2 == 0 ? a : b);
        }
    });
    std::this_thread::yield();
    ASSERT_EQ(AudioObjectRemovePropertyListener(kAudioObjectSystemObject, &defaultOutput,
                                                &Heard::listener, &heard),
              noErr);
    const std::size_t atRemoval = heard.count();
    flipper.join();
    sim->waitForNotifications();
    EXPECT_EQ(heard.count(), atRemoval);

    EXPECT_EQ(AudioObjectRemovePropertyListener(kAudioObjectSystemObject, &defaultOutput,
                                                &Heard::listener, &heard),
              kAudioHardwareIllegalOperationError);
}

TEST_F(PropertyListenerTest, RegistrationCanBeMadeToFail) {
    sim->failListenerRegistration(kAudioObjectSystemObject,
                                  kAudioHardwarePropertyDefaultOutputDevice, 560947818);
    Heard heard;
    EXPECT_EQ(AudioObjectAddPropertyListener(kAudioObjectSystemObject, &defaultOutput,
                                             &Heard::listener, &heard),
              560947818);
    const AudioDeviceID a = sim->addDevice(DeviceConfig::speakers("A", "a"));
    sim->waitForNotifications();
    EXPECT_EQ(heard.count(), 0U);

    const auto name = address(kAudioObjectPropertyName);
    EXPECT_EQ(AudioObjectAddPropertyListener(a, &name, &Heard::listener, &heard), noErr)
        << "other properties still register";
    EXPECT_EQ(AudioObjectAddPropertyListener(999, &name, &Heard::listener, &heard),
              kAudioHardwareBadObjectError);
}

}  // namespace
}  // namespace brimo::hal
