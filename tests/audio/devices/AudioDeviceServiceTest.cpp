#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "audio/devices/AudioDeviceService.h"
#include "platform/dispatch/VirtualTimeMainQueue.h"
#include "platform/hal/sim/ScopedSimulatedBackend.h"
#include "support/LineCollector.h"

using brimo::audio::AudioDevice;
using brimo::audio::AudioDeviceService;
using brimo::notification::NotificationCenter;
using Lines = std::vector<std::string>;
namespace hal = brimo::hal;
namespace sim = brimo::hal::sim;

namespace {

class AudioDeviceServiceTest : public ::testing::Test {
  protected:
    hal::AudioDeviceID add(sim::DeviceConfig config) { return sim_->addDevice(std::move(config)); }

    std::unique_ptr<AudioDeviceService> makeService() {
        // Changes made while setting up the system are not the service's to hear.
        sim_->waitForNotifications();
        return std::make_unique<AudioDeviceService>(
            AudioDeviceService::Options{&main_, console_.writer(), &center_});
    }

    static std::vector<std::string> names(const std::vector<AudioDevice>& devices) {
        std::vector<std::string> result;
        for (const auto& device : devices) {
            result.push_back(device.name);
        }
        return result;
    }

    // Lets the backend's listener thread finish, then runs what it scheduled.
    void deliverNotifications() {
        sim_->waitForNotifications();
        main_.runUntilIdle();
    }

    brimo::dispatch::VirtualTimeMainQueue main_;
    sim::ScopedSimulatedBackend sim_;
    NotificationCenter center_;
    brimo::testing::LineCollector console_;
};

}  // namespace

TEST_F(AudioDeviceServiceTest, ListsClassifiesAndFindsTheCaptureDevice) {
    const auto blackHole = add(sim::DeviceConfig::loopbackDevice("BlackHole 2ch", "BH2"));
    const auto speakers = add(sim::DeviceConfig::speakers("Speakers", "spk"));
    add(sim::DeviceConfig::microphone("Mic", "mic"));
    const auto outputOnly = add(sim::DeviceConfig::speakers("Brimola Vetrix", "out-only"));
    add(sim::DeviceConfig::loopbackDevice("Loop", "COM.BRIMOLAVETRIX.DEVICE"));
    add(sim::DeviceConfig::speakers("Speakers", "spk-2"));  // same name, other ID
    auto silent = sim::DeviceConfig::speakers("No streams", "none");
    silent.outputStreams = {};
    add(silent);
    const auto noUid = add(sim::DeviceConfig::speakers("No UID", "gone"));
    sim_->failProperty({noUid, hal::kAudioDevicePropertyDeviceUID, std::nullopt,
                        sim::PropertyFault::Call::anyRead, hal::kAudioHardwareUnspecifiedError});

    auto service = makeService();
    EXPECT_EQ(names(service->getAllDevices()),
              (Lines{"BlackHole 2ch", "Speakers", "Mic", "Brimola Vetrix", "Loop", "Speakers"}));
    EXPECT_EQ(names(service->getOutputDevices()), (Lines{"Speakers", "Speakers"}));
    // Found by its capitalised UID, ahead of the BlackHole device listed first; the
    // output-only "Brimola Vetrix" is never the capture source.
    EXPECT_EQ(service->findBrimolavetrixDevice()->name, "Loop");
    EXPECT_FALSE(service->getDevice(noUid).has_value());
    EXPECT_EQ(service->getDevice(speakers)->uid, "spk");

    sim_->setDefaultOutputDevice(blackHole);
    EXPECT_TRUE(service->isBrimolavetrixSelectedAsSystemOutput());
    sim_->setDefaultOutputDevice(speakers);
    EXPECT_FALSE(service->isBrimolavetrixSelectedAsSystemOutput());
    // Not a capture source, yet chosen as the system output it counts as selected.
    sim_->setDefaultOutputDevice(outputOnly);
    EXPECT_TRUE(service->isBrimolavetrixSelectedAsSystemOutput());
}

TEST_F(AudioDeviceServiceTest, FailedDeviceListGivesEmptyResultsButNotTheDefaultOutput) {
    const auto loop = add(sim::DeviceConfig::loopbackDevice("Brimola Vetrix", "bv"));
    auto service = makeService();
    sim_->failProperty({hal::kAudioObjectSystemObject, hal::kAudioHardwarePropertyDevices,
                        std::nullopt, sim::PropertyFault::Call::data,
                        hal::kAudioHardwareUnspecifiedError});
    testing::internal::CaptureStderr();
    EXPECT_TRUE(service->getAllDevices().empty());
    EXPECT_FALSE(service->findBrimolavetrixDevice().has_value());
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(service->getDefaultOutputDevice()->id, loop);
    EXPECT_TRUE(service->isBrimolavetrixSelectedAsSystemOutput());
    if (!brimo::log::journalIsReachable()) {
        EXPECT_NE(errors.find("com.brimolavetrix[AudioDeviceService] error: Failed to get "
                              "devices: 2003329396"),
                  std::string::npos)
            << errors;
    }
}

TEST_F(AudioDeviceServiceTest, EachDefaultOutputChangeBecomesOneEventOnTheMainThread) {
    const auto speakers = add(sim::DeviceConfig::speakers("Speakers", "spk"));
    const auto loop = add(sim::DeviceConfig::loopbackDevice("Brimola Vetrix", "bv"));
    auto service = makeService();
    EXPECT_TRUE(service->listenerRegistered());
    EXPECT_EQ(console_.take(),
              (Lines{"✅ [AudioDeviceService] Device change listener registered successfully!"}));

    int events = 0;
    auto subscription = service->defaultOutputDeviceChanged().subscribe([&](const auto&) {
        EXPECT_TRUE(main_.isMainThread());
        ++events;
    });
    sim_->setDefaultOutputDevice(loop);
    sim_->setDefaultOutputDevice(speakers);
    sim_->waitForNotifications();
    EXPECT_EQ(events, 0);  // nothing reaches the service before the main queue runs
    main_.runUntilIdle();
    EXPECT_EQ(events, 2);
    EXPECT_EQ(console_.take(),
              (Lines{"🔊 [CoreAudio] DEVICE CHANGED! Native callback triggered!",
                     "🔊 [CoreAudio] DEVICE CHANGED! Native callback triggered!",
                     "🔊 [AudioDeviceService] Device change notification received!",
                     "🔊 [AudioDeviceService] Device change notification received!"}));

    // A post from elsewhere in the process counts too; a late subscriber sees only later events.
    center_.post("AudioDeviceChanged");
    EXPECT_EQ(events, 3);
    int lateEvents = 0;
    auto late = service->defaultOutputDeviceChanged().subscribe([&](const auto&) { ++lateEvents; });
    EXPECT_EQ(lateEvents, 0);
    sim_->setDefaultOutputDevice(loop);
    deliverNotifications();
    EXPECT_EQ(events, 4);
    EXPECT_EQ(lateEvents, 1);
}

TEST_F(AudioDeviceServiceTest, DestroyedServiceHearsNothingAndLeavesNoObserver) {
    const auto speakers = add(sim::DeviceConfig::speakers("Speakers", "spk"));
    const auto loop = add(sim::DeviceConfig::loopbackDevice("Brimola Vetrix", "bv"));
    auto service = makeService();
    service.reset();
    EXPECT_EQ(center_.observerCount(), 0U);
    console_.take();
    sim_->setDefaultOutputDevice(loop);
    deliverNotifications();
    EXPECT_TRUE(console_.lines().empty());

    // A failed registration is reported, and the service still observes and unregisters.
    sim_->failListenerRegistration(hal::kAudioObjectSystemObject,
                                   hal::kAudioHardwarePropertyDefaultOutputDevice, -66);
    service = makeService();
    EXPECT_FALSE(service->listenerRegistered());
    EXPECT_EQ(console_.take(),
              (Lines{"❌ [AudioDeviceService] Failed to register device change listener: -66"}));
    sim_->setDefaultOutputDevice(speakers);
    deliverNotifications();
    EXPECT_TRUE(console_.lines().empty());
    center_.post("AudioDeviceChanged");
    EXPECT_EQ(console_.take(),
              (Lines{"🔊 [AudioDeviceService] Device change notification received!"}));
    service.reset();
    EXPECT_EQ(center_.observerCount(), 0U);
}
