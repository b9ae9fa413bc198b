#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/hal/ListenerThread.h"

namespace brimo::hal {
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

TEST(ListenerThread, DeliversEachChangeToEveryMatchingRegistrationOnce) {
    ListenerThread dispatcher;
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

TEST(ListenerThread, ARegistrationHearsOnlyOfChangesAfterIt) {
    ListenerThread dispatcher;
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

TEST(ListenerThread, RemovalWaitsForARunningCallAndStopsLaterOnes) {
    ListenerThread dispatcher;
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

// Notices, the news of threads that may not wait: told on the listener thread in posting
// order; a withdrawn one is dropped while queued and waited for while being told.
struct Told {
    std::atomic<bool>* gate = nullptr;  // the call waits until it opens
    std::atomic<int>* told = nullptr;   // calls made so far, of every notice
    std::atomic<bool> entered{false};
    std::atomic<int> place{0};  // 1 for the first call made
    std::thread::id thread{};
    static void deliver(void* self) {
        auto& notice = *static_cast<Told*>(self);
        notice.entered = true;
        while (notice.gate != nullptr && !notice.gate->load()) {
            std::this_thread::yield();
        }
        notice.thread = std::this_thread::get_id();
        notice.place = notice.told->fetch_add(1) + 1;
    }
};

TEST(ListenerThread, NoticesAreToldInOrderOnTheListenerThreadAndWithdrawingWaitsForOneBeingTold) {
    ListenerThread dispatcher;
    std::atomic<bool> gate{false};
    std::atomic<int> told{0};
    Told first{&gate, &told};
    Told dropped{nullptr, &told};
    Told last{nullptr, &told};
    ListenerThread::Notice firstNotice{&Told::deliver, &first};
    ListenerThread::Notice droppedNotice{&Told::deliver, &dropped};
    ListenerThread::Notice lastNotice{&Told::deliver, &last};
    std::thread([&] {
        dispatcher.postNotice(firstNotice);
        dispatcher.postNotice(droppedNotice);
        dispatcher.postNotice(lastNotice);
    }).join();
    while (!first.entered) {
        std::this_thread::yield();
    }
    dispatcher.withdraw(droppedNotice);  // queued behind the call held at the gate
    int toldWhenWithdrawn = -1;
    std::thread withdrawer([&] {
        dispatcher.withdraw(firstNotice);
        toldWhenWithdrawn = first.place.load();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    gate = true;
    withdrawer.join();
    EXPECT_EQ(toldWhenWithdrawn, 1) << "withdraw returned while the notice was being told";
    while (last.place.load() == 0) {
        std::this_thread::yield();
    }
    EXPECT_EQ(last.place.load(), 2);
    EXPECT_EQ(dropped.place.load(), 0);
    EXPECT_EQ(first.thread, last.thread);
    EXPECT_NE(first.thread, std::this_thread::get_id());
}

// The rule at the interface, case by case: a registration at the left address hears a change
// at the right one (or does not).
TEST(ListenerThread, ScopesMatchWhenEqualWildcardOrGlobalAndElementsWhenEqualOrWildcard) {
    constexpr auto global = kAudioObjectPropertyScopeGlobal;
    constexpr auto input = kAudioObjectPropertyScopeInput;
    constexpr auto output = kAudioObjectPropertyScopeOutput;
    constexpr auto anyScope = kAudioObjectPropertyScopeWildcard;
    constexpr auto first = kAudioObjectPropertyElementMain;
    constexpr auto rate = kAudioDevicePropertyNominalSampleRate;
    constexpr auto streams = kAudioDevicePropertyStreams;
    struct Case {
        AudioObjectPropertyAddress wanted;
        AudioObjectPropertyAddress changed;
        bool heard = false;
    };
    const Case cases[] = {
        {{rate, output, first}, {rate, global, first}, true},  // a rate reads alike in any scope
        {{rate, anyScope, first}, {rate, global, first}, true},
        {{streams, global, first}, {streams, output, first}, true},  // global spans both sides
        {{streams, input, first}, {streams, output, first}, false},
        {{streams, anyScope, first}, {streams, input, first}, true},
        {{rate, global, 1}, {rate, global, first}, false},  // every property is in the main element
        {{rate, global, kAudioObjectPropertyElementWildcard}, {rate, global, first}, true},
        {{kAudioObjectPropertySelectorWildcard, input, first}, {rate, global, first}, true},
        {{streams, global, first}, {rate, global, first}, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ListenerThread::hears(c.wanted, c.changed), c.heard)
            << c.wanted.mSelector << "/" << c.wanted.mScope << "/" << c.wanted.mElement << " hears "
            << c.changed.mSelector << "/" << c.changed.mScope;
    }
}

}  // namespace
}  // namespace brimo::hal
