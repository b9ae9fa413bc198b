#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/hal/AudioObject.h"
#include "platform/hal/HalTestSupport.h"
#include "platform/hal/contract/ContractBackend.h"

// What every backend promises through the layer's object calls, run against the simulated
// backend and against each real audio server, so that a rule the tests of one backend rely on
// cannot be missing from another.

namespace brimo::hal::contract {
namespace {

using namespace std::chrono_literals;
using test::read;
using test::valueOf;

constexpr AudioObjectID kNoSuchObject = 0x7FFF0000;
constexpr auto kGlobal = kAudioObjectPropertyScopeGlobal;
constexpr auto kInput = kAudioObjectPropertyScopeInput;
constexpr auto kOutput = kAudioObjectPropertyScopeOutput;
constexpr auto kMain = kAudioObjectPropertyElementMain;

AudioDeviceID deviceWithUID(const std::string& uid) {
    for (const AudioObjectID id : test::deviceList()) {
        if (test::deviceUID(id) == uid) {
            return id;
        }
    }
    return kAudioObjectUnknown;
}

std::vector<AudioStreamID> streamsOf(AudioDeviceID device, AudioObjectPropertyScope scope) {
    const AudioObjectPropertyAddress where{kAudioDevicePropertyStreams, scope, kMain};
    UInt32 size = 0;
    if (AudioObjectGetPropertyDataSize(device, &where, 0, nullptr, &size) != noErr) {
        return {};
    }
    std::vector<AudioStreamID> ids(size / sizeof(AudioStreamID));
    if (AudioObjectGetPropertyData(device, &where, 0, nullptr, &size, ids.data()) != noErr) {
        return {};
    }
    ids.resize(size / sizeof(AudioStreamID));
    return ids;
}

// A listener at one address that counts its calls for as long as it lives.
class Probe {
  public:
    Probe(AudioObjectID object, const AudioObjectPropertyAddress& where)
        : object_(object), where_(where) {
        status = AudioObjectAddPropertyListener(object_, &where_, &heard, this);
    }
    ~Probe() {
        if (status == noErr) {
            AudioObjectRemovePropertyListener(object_, &where_, &heard, this);
        }
    }
    Probe(const Probe&) = delete;
    Probe& operator=(const Probe&) = delete;
    Probe(Probe&&) = delete;
    Probe& operator=(Probe&&) = delete;

    [[nodiscard]] int calls() const { return calls_.load(); }

    OSStatus status = noErr;

  private:
    static OSStatus heard(AudioObjectID, UInt32, const AudioObjectPropertyAddress*, void* self) {
        static_cast<Probe*>(self)->calls_.fetch_add(1);
        return noErr;
    }

    AudioObjectID object_;
    AudioObjectPropertyAddress where_;
    std::atomic<int> calls_{0};
};

class BackendContract : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string reason;
        backend = makeContractBackend(reason);
        if (backend == nullptr) {
            GTEST_SKIP() << reason;
        }
        speakers = deviceWithUID("speakers");
        brimola = deviceWithUID("brimola_vetrix");
        ASSERT_NE(speakers, kAudioObjectUnknown);
        ASSERT_NE(brimola, kAudioObjectUnknown);
    }

    void TearDown() override { backend.reset(); }

    // Waits for `probe` to hear `calls` changes (a real server takes a moment to report one),
    // then for the listener thread to fall idle; true when it heard exactly that many.
    bool heardExactly(const Probe& probe, int calls) {
        const auto deadline = std::chrono::steady_clock::now() + 3s;
        while (probe.calls() < calls && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(10ms);
        }
        backend->waitForNotifications();
        return probe.calls() == calls;
    }

    std::unique_ptr<ContractBackend> backend;
    AudioDeviceID speakers = kAudioObjectUnknown;
    AudioDeviceID brimola = kAudioObjectUnknown;
};

TEST_F(BackendContract, ReadsAnswerInTheGlobalInputAndOutputScopesOfTheMainElementOnly) {
    const auto rate =
        valueOf<Float64>(brimola, {kAudioDevicePropertyNominalSampleRate, kGlobal, kMain});
    ASSERT_TRUE(rate.has_value());
    for (const auto scope : {kGlobal, kInput, kOutput}) {
        EXPECT_EQ(
            valueOf<AudioObjectPropertyString>(brimola, {kAudioObjectPropertyName, scope, kMain}),
            "Brimola Vetrix")
            << "a property without a direction reads the same in scope " << scope;
        EXPECT_EQ(valueOf<Float64>(brimola, {kAudioDevicePropertyNominalSampleRate, scope, kMain}),
                  rate);
        EXPECT_EQ(valueOf<AudioDeviceID>(kAudioObjectSystemObject,
                                         {kAudioHardwarePropertyDefaultOutputDevice, scope, kMain}),
                  speakers);
    }

    Float64 value = 0.0;
    for (const AudioObjectPropertyAddress elsewhere :
         {AudioObjectPropertyAddress{kAudioDevicePropertyNominalSampleRate,
                                     kAudioObjectPropertyScopeWildcard, kMain},
          AudioObjectPropertyAddress{kAudioDevicePropertyNominalSampleRate, kGlobal, 1},
          AudioObjectPropertyAddress{kAudioDevicePropertyNominalSampleRate, kGlobal,
                                     kAudioObjectPropertyElementWildcard}}) {
        EXPECT_EQ(read(brimola, elsewhere, value), kAudioHardwareUnknownPropertyError)
            << elsewhere.mScope << "/" << elsewhere.mElement;
        EXPECT_FALSE(AudioObjectHasProperty(brimola, &elsewhere));
    }

    const AudioObjectPropertyAddress globalConfiguration{kAudioDevicePropertyStreamConfiguration,
                                                         kGlobal, kMain};
    const AudioObjectPropertyAddress outputConfiguration{kAudioDevicePropertyStreamConfiguration,
                                                         kOutput, kMain};
    EXPECT_FALSE(AudioObjectHasProperty(brimola, &globalConfiguration)) << "needs a direction";
    EXPECT_TRUE(AudioObjectHasProperty(brimola, &outputConfiguration));
    EXPECT_EQ(read(kNoSuchObject, {kAudioObjectPropertyName, kGlobal, kMain}, value),
              kAudioHardwareBadObjectError);
}

TEST_F(BackendContract, EachSideHasOneStreamAnObjectWithoutPropertiesOfItsOwn) {
    const auto input = streamsOf(brimola, kInput);
    const auto output = streamsOf(brimola, kOutput);
    ASSERT_EQ(input.size(), 1U);
    ASSERT_EQ(output.size(), 1U);
    EXPECT_EQ(streamsOf(brimola, kGlobal), (std::vector<AudioStreamID>{input[0], output[0]}))
        << "the global scope lists the input streams, then the output ones";
    const auto devices = test::deviceList();
    for (const AudioStreamID stream : {input[0], output[0]}) {
        EXPECT_EQ(std::count(devices.begin(), devices.end(), stream), 0) << "IDs are unique";
        EXPECT_GT(stream, kAudioObjectSystemObject);
    }
    EXPECT_NE(input[0], output[0]);

    for (const auto scope : {kInput, kOutput}) {
        AudioBufferListStorage<2> configuration;
        UInt32 size = sizeof(configuration);
        const AudioObjectPropertyAddress where{kAudioDevicePropertyStreamConfiguration, scope,
                                               kMain};
        ASSERT_EQ(
            AudioObjectGetPropertyData(brimola, &where, 0, nullptr, &size, configuration.list()),
            noErr);
        EXPECT_EQ(size, audioBufferListSize(1));
        EXPECT_EQ(configuration.mNumberBuffers, 1U);
        EXPECT_EQ(configuration.mBuffers[0].mNumberChannels, 2U);
    }

    // A stream is an object one may listen to, with no property of this layer.
    const AudioObjectPropertyAddress name{kAudioObjectPropertyName, kGlobal, kMain};
    AudioObjectPropertyString text;
    EXPECT_EQ(read(output[0], name, text), kAudioHardwareUnknownPropertyError);
    EXPECT_FALSE(AudioObjectHasProperty(output[0], &name));
    {
        const Probe onStream(output[0], name);
        EXPECT_EQ(onStream.status, noErr);
    }
    const Probe nowhere(kNoSuchObject, name);
    EXPECT_EQ(nowhere.status, kAudioHardwareBadObjectError);
}

TEST_F(BackendContract, ADeviceWideChangeReachesListenersOfEveryScopeOnce) {
    backend->addDevice("contract_probe");
    const AudioDeviceID device = deviceWithUID("contract_probe");
    ASSERT_NE(device, kAudioObjectUnknown);
    const auto alive = [](AudioObjectPropertyScope scope, AudioObjectPropertyElement element) {
        return AudioObjectPropertyAddress{kAudioDevicePropertyDeviceIsAlive, scope, element};
    };
    const Probe global(device, alive(kGlobal, kMain));
    const Probe input(device, alive(kInput, kMain));
    const Probe output(device, alive(kOutput, kMain));
    const Probe anyScope(device, alive(kAudioObjectPropertyScopeWildcard, kMain));
    const Probe anyElement(device, alive(kGlobal, kAudioObjectPropertyElementWildcard));
    const Probe otherElement(device, alive(kGlobal, 1));
    const Probe deviceList(kAudioObjectSystemObject,
                           {kAudioHardwarePropertyDevices, kOutput, kMain});
    for (const Probe* probe :
         {&global, &input, &output, &anyScope, &anyElement, &otherElement, &deviceList}) {
        ASSERT_EQ(probe->status, noErr);
    }

    backend->removeDevice("contract_probe");
    for (const Probe* probe : {&global, &input, &output, &anyScope, &anyElement, &deviceList}) {
        EXPECT_TRUE(heardExactly(*probe, 1)) << probe->calls() << " calls";
    }
    EXPECT_EQ(otherElement.calls(), 0) << "every property lives in the main element";

    const Probe late(device, alive(kGlobal, kMain));
    EXPECT_EQ(late.status, kAudioHardwareBadObjectError) << "a gone device takes no listener";
}

TEST_F(BackendContract, DefaultOutputChangesAreHeardOnceAtAnyScope) {
    const Probe global(kAudioObjectSystemObject,
                       {kAudioHardwarePropertyDefaultOutputDevice, kGlobal, kMain});
    const Probe output(kAudioObjectSystemObject,
                       {kAudioHardwarePropertyDefaultOutputDevice, kOutput, kMain});
    ASSERT_EQ(global.status, noErr);
    ASSERT_EQ(output.status, noErr);
    const auto setDefaultOutput = [](AudioDeviceID device) {
        const AudioObjectPropertyAddress where{kAudioHardwarePropertyDefaultOutputDevice, kGlobal,
                                               kMain};
        return AudioObjectSetPropertyData(kAudioObjectSystemObject, &where, 0, nullptr,
                                          sizeof(device), &device);
    };

    ASSERT_EQ(setDefaultOutput(brimola), noErr);
    EXPECT_TRUE(heardExactly(global, 1));
    EXPECT_TRUE(heardExactly(output, 1));
    // Setting what is already the default is no change; the change after it is heard once.
    ASSERT_EQ(setDefaultOutput(brimola), noErr);
    ASSERT_EQ(setDefaultOutput(speakers), noErr);
    EXPECT_TRUE(heardExactly(global, 2)) << global.calls() << " calls";
    EXPECT_TRUE(heardExactly(output, 2)) << output.calls() << " calls";
    EXPECT_EQ(test::defaultOutputDevice(), speakers);
}

}  // namespace
}  // namespace brimo::hal::contract
