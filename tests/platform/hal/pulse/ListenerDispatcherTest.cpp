#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/hal/pulse/ListenerDispatcher.h"

namespace brimo::hal::pulse {
namespace {

constexpr AudioObjectPropertyAddress defaultOutput{kAudioHardwarePropertyDefaultOutputDevice,
                                                   kAudioObjectPropertyScopeGlobal,
                                                   kAudioObjectPropertyElementMain};
constexpr AudioObjectPropertyAddress everything{kAudioObjectPropertySelectorWildcard,
                                                kAudioObjectPropertyScopeWildcard,
                                                kAudioObjectPropertyElementWildcard};

struct Counter {
    std::atomic<int> calls{0};
    std::atomic<bool> slow{false};
    std::atomic<bool> entered{false};
    static OSStatus heard(AudioObjectID, UInt32 count, const AudioObjectPropertyAddress*,
                          void* self) {
        auto& counter = *static_cast<Counter*>(self);
        counter.entered = true;
        if (counter.slow) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        counter.calls.fetch_add(static_cast<int>(count));
        return noErr;
    }
};

TEST(ListenerDispatcher, DeliversEachChangeToEveryMatchingRegistrationOnce) {
    ListenerDispatcher dispatcher;
    Counter exact;
    Counter wildcard;
    Counter elsewhere;
    ASSERT_EQ(dispatcher.add(kAudioObjectSystemObject, defaultOutput, &Counter::heard, &exact),
              noErr);
    // A second identical registration is the same registration.
    ASSERT_EQ(dispatcher.add(kAudioObjectSystemObject, defaultOutput, &Counter::heard, &exact),
              noErr);
    ASSERT_EQ(dispatcher.add(kAudioObjectSystemObject, everything, &Counter::heard, &wildcard),
              noErr);
    ASSERT_EQ(dispatcher.add(7, everything, &Counter::heard, &elsewhere), noErr);

    dispatcher.post({{kAudioObjectSystemObject, defaultOutput},
                     {kAudioObjectSystemObject,
                      {kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeGlobal, 0}}});
    dispatcher.flush();
    EXPECT_EQ(exact.calls.load(), 1);
    EXPECT_EQ(wildcard.calls.load(), 2);
    EXPECT_EQ(elsewhere.calls.load(), 0);
    EXPECT_EQ(dispatcher.remove(kAudioObjectSystemObject, defaultOutput, &Counter::heard, &exact),
              noErr);
    EXPECT_EQ(dispatcher.remove(kAudioObjectSystemObject, defaultOutput, &Counter::heard, &exact),
              kAudioHardwareIllegalOperationError);
}

TEST(ListenerDispatcher, ARegistrationHearsOnlyOfChangesAfterIt) {
    ListenerDispatcher dispatcher;
    Counter busy;
    busy.slow = true;
    Counter late;
    dispatcher.add(kAudioObjectSystemObject, defaultOutput, &Counter::heard, &busy);
    dispatcher.post(
        {{kAudioObjectSystemObject, defaultOutput}, {kAudioObjectSystemObject, defaultOutput}});
    // The second change is still queued behind the slow first call when `late` registers.
    dispatcher.add(kAudioObjectSystemObject, defaultOutput, &Counter::heard, &late);
    dispatcher.flush();
    EXPECT_EQ(late.calls.load(), 0);
    dispatcher.post({{kAudioObjectSystemObject, defaultOutput}});
    dispatcher.flush();
    EXPECT_EQ(late.calls.load(), 1);
    EXPECT_EQ(busy.calls.load(), 3);
}

TEST(ListenerDispatcher, RemovalWaitsForARunningCallAndStopsLaterOnes) {
    ListenerDispatcher dispatcher;
    Counter counter;
    counter.slow = true;
    dispatcher.add(kAudioObjectSystemObject, defaultOutput, &Counter::heard, &counter);
    dispatcher.post(
        {{kAudioObjectSystemObject, defaultOutput}, {kAudioObjectSystemObject, defaultOutput}});
    while (!counter.entered) {
        std::this_thread::yield();  // until the first call is running
    }

    dispatcher.remove(kAudioObjectSystemObject, defaultOutput, &Counter::heard, &counter);
    const int afterRemoval = counter.calls.load();
    EXPECT_EQ(afterRemoval, 1) << "the running call ended before remove returned";
    dispatcher.flush();
    EXPECT_EQ(counter.calls.load(), afterRemoval) << "no call after the removal";
}

}  // namespace
}  // namespace brimo::hal::pulse
