#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/hal/SnapshotDiff.h"
#include "platform/hal/SnapshotProperties.h"
#include "platform/hal/pulse/DeviceMirror.h"

namespace brimo::hal::pulse {
namespace {

SinkRecord sink(UInt32 index, const std::string& name, const std::string& description,
                bool isNull) {
    return {
        index, name, description, 48000.0, 2, "front-left,front-right", isNull, name + ".monitor"};
}

SourceRecord source(UInt32 index, const std::string& name, bool isMonitor) {
    return {index, name, name + " description", 48000.0, 2, "front-left,front-right", isMonitor};
}

// A desktop with a real sound card, its microphone, and the virtual device.
ServerView desktop() {
    ServerView view;
    view.connected = true;
    view.defaultSinkName = "alsa_output.pci";
    view.defaultSourceName = "alsa_input.pci";
    view.sinks = {sink(0, "alsa_output.pci", "Built-in Audio", false),
                  sink(3, "brimola_vetrix", "Brimola Vetrix", true)};
    view.sources = {source(0, "alsa_output.pci.monitor", true), source(1, "alsa_input.pci", false),
                    source(4, "brimola_vetrix.monitor", true)};
    return view;
}

const DeviceRecord& byUid(const DeviceSnapshot& snapshot, const std::string& uid) {
    auto found = std::find_if(snapshot.devices.begin(), snapshot.devices.end(),
                              [&](const DeviceRecord& device) { return device.uid == uid; });
    EXPECT_NE(found, snapshot.devices.end()) << uid;
    return *found;
}

// The source or sink a side connects to; empty when the device has no such side.
std::string serverName(const std::vector<StreamRecord>& side) {
    return side.empty() ? "" : side.front().serverName;
}

AudioObjectPropertyAddress at(AudioObjectPropertySelector selector,
                              AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal) {
    return {selector, scope, kAudioObjectPropertyElementMain};
}

bool has(const std::vector<PropertyChange>& changes, AudioObjectID object,
         AudioObjectPropertySelector selector) {
    return std::any_of(changes.begin(), changes.end(), [&](const PropertyChange& change) {
        return change.object == object && change.address.mSelector == selector;
    });
}

// What listeners hear when the backend publishes the mirror of `view` after the one before.
std::vector<PropertyChange> changesOf(DeviceMirror& mirror, const ServerView& view) {
    const auto before = mirror.snapshot();
    mirror.apply(view);
    return snapshotChanges(*before, *mirror.snapshot());
}

TEST(DeviceMirror, MapsSinksSourcesAndTheNullSinksMonitorAndAnswersReadsFromTheSnapshot) {
    DeviceMirror mirror(0.010);
    mirror.apply(desktop());
    const auto& snapshot = *mirror.snapshot();

    ASSERT_EQ(snapshot.devices.size(), 3U);  // no monitor is a device of its own
    const auto& card = byUid(snapshot, "alsa_output.pci");
    const auto& brimola = byUid(snapshot, "brimola_vetrix");
    const auto& microphone = byUid(snapshot, "alsa_input.pci");
    EXPECT_EQ(card.name, "Built-in Audio");
    EXPECT_EQ(card.inputChannels(), 0U);  // a real sink's monitor is no input side
    EXPECT_EQ(card.outputChannels(), 2U);
    EXPECT_EQ(serverName(brimola.inputStreams), "brimola_vetrix.monitor");
    EXPECT_EQ(serverName(brimola.outputStreams), "brimola_vetrix");
    EXPECT_EQ(microphone.inputChannels(), 2U);
    EXPECT_EQ(microphone.outputChannels(), 0U);
    EXPECT_EQ(snapshot.defaultOutput, card.id);
    EXPECT_EQ(snapshot.defaultInput, microphone.id);

    std::vector<AudioObjectID> ids;
    for (const auto& device : snapshot.devices) {
        ids.push_back(device.id);
        for (const auto* side : {&device.inputStreams, &device.outputStreams}) {
            for (const auto& stream : *side) {
                ids.push_back(stream.id);
            }
        }
    }
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(std::adjacent_find(ids.begin(), ids.end()), ids.end()) << "IDs must be unique";
    EXPECT_GT(ids.front(), kAudioObjectSystemObject);

    // Arrays are cut to the room given; fixed-size values need all of theirs.
    AudioObjectID first = 0;
    UInt32 size = sizeof(first);
    ASSERT_EQ(snapshotPropertyData(snapshot, kAudioObjectSystemObject,
                                   at(kAudioHardwarePropertyDevices), size, &first),
              noErr);
    EXPECT_EQ(size, sizeof(first));
    EXPECT_EQ(first, snapshot.devices.front().id);
    Float64 rate = 0.0;
    size = 4;
    EXPECT_EQ(snapshotPropertyData(snapshot, brimola.id, at(kAudioDevicePropertyNominalSampleRate),
                                   size, &rate),
              kAudioHardwareBadPropertySizeError);

    AudioObjectPropertyString name;
    size = sizeof(name);
    ASSERT_EQ(snapshotPropertyData(snapshot, brimola.id, at(kAudioObjectPropertyName), size, &name),
              noErr);
    EXPECT_EQ(name, "Brimola Vetrix");

    size = 0;
    ASSERT_EQ(snapshotPropertyDataSize(
                  snapshot, microphone.id,
                  at(kAudioDevicePropertyStreams, kAudioObjectPropertyScopeOutput), size),
              noErr);
    EXPECT_EQ(size, 0U) << "a microphone has no output stream";

    AudioBufferListStorage<1> configuration;
    size = sizeof(configuration);
    ASSERT_EQ(snapshotPropertyData(
                  snapshot, brimola.id,
                  at(kAudioDevicePropertyStreamConfiguration, kAudioObjectPropertyScopeInput), size,
                  configuration.list()),
              noErr);
    EXPECT_EQ(configuration.mNumberBuffers, 1U);
    EXPECT_EQ(configuration.mBuffers[0].mNumberChannels, 2U);

    EXPECT_EQ(snapshotPropertyDataSize(snapshot, 9999, at(kAudioObjectPropertyName), size),
              kAudioHardwareBadObjectError);
    EXPECT_FALSE(snapshotHasProperty(snapshot, brimola.id, at(fourCharCode("zzzz"))));
    EXPECT_TRUE(snapshotHasProperty(snapshot, brimola.id, at(kAudioDevicePropertyDeviceIsAlive)));
}

TEST(DeviceMirror, KeepsIdsReportsOnlyRealChangesAndNeverGivesARecreatedObjectAnOldId) {
    DeviceMirror mirror(0.010);
    mirror.apply(desktop());
    const auto before = mirror.snapshot();
    const AudioDeviceID brimola = byUid(*before, "brimola_vetrix").id;
    const AudioDeviceID card = byUid(*before, "alsa_output.pci").id;

    EXPECT_TRUE(changesOf(mirror, desktop()).empty()) << "an unchanged server changes nothing";

    ServerView chosen = desktop();
    chosen.defaultSinkName = "brimola_vetrix";
    const auto changes = changesOf(mirror, chosen);
    EXPECT_THAT(changes,
                ::testing::ElementsAre(PropertyChange{
                    kAudioObjectSystemObject, at(kAudioHardwarePropertyDefaultOutputDevice)}));
    EXPECT_EQ(mirror.snapshot()->defaultOutput, brimola);
    EXPECT_EQ(byUid(*mirror.snapshot(), "brimola_vetrix").id, brimola);

    ServerView renamed = chosen;
    renamed.sinks[0].description = "Speakers";
    renamed.sinks[0].sampleRate = 44100.0;
    const auto renaming = changesOf(mirror, renamed);
    EXPECT_TRUE(has(renaming, card, kAudioObjectPropertyName));
    EXPECT_TRUE(has(renaming, card, kAudioDevicePropertyNominalSampleRate));
    EXPECT_FALSE(has(renaming, kAudioObjectSystemObject, kAudioHardwarePropertyDevices));

    // Unplugging the card that is the default takes it and moves the default.
    mirror.apply(desktop());
    ServerView unplugged = desktop();
    unplugged.sinks.erase(unplugged.sinks.begin());
    unplugged.sources.erase(unplugged.sources.begin());
    unplugged.defaultSinkName = "brimola_vetrix";
    const auto unplugging = changesOf(mirror, unplugged);
    EXPECT_TRUE(has(unplugging, card, kAudioDevicePropertyDeviceIsAlive));
    EXPECT_TRUE(has(unplugging, kAudioObjectSystemObject, kAudioHardwarePropertyDevices));
    EXPECT_TRUE(
        has(unplugging, kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice));

    // PipeWire hands out a freed index again; the device behind it is a new one.
    mirror.apply(desktop());
    EXPECT_NE(byUid(*mirror.snapshot(), "alsa_output.pci").id, card);

    // A lost connection takes every device; after it, all come back under new IDs.
    const AudioDeviceID brimolaBefore = byUid(*mirror.snapshot(), "brimola_vetrix").id;
    mirror.apply(ServerView{});
    EXPECT_TRUE(mirror.snapshot()->devices.empty());
    EXPECT_EQ(mirror.snapshot()->defaultOutput, kAudioObjectUnknown);
    mirror.apply(desktop());
    EXPECT_NE(byUid(*mirror.snapshot(), "brimola_vetrix").id, brimolaBefore);
}

TEST(DeviceMirror, CyclesArePowersOfTwoNearTheirPeriod) {
    EXPECT_EQ(ioCycleFrames(48000.0, 0.010), 512U);
    EXPECT_EQ(ioCycleFrames(44100.0, 0.010), 512U);
    EXPECT_EQ(ioCycleFrames(96000.0, 0.010), 1024U);
    EXPECT_EQ(ioCycleFrames(48000.0, 0.005), 256U);
    EXPECT_EQ(ioCycleFrames(0.0, 0.010), 512U);
    EXPECT_EQ(ioCycleFrames(8000.0, 0.001), 64U);
}

}  // namespace
}  // namespace brimo::hal::pulse
