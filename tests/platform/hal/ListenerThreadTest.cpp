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

// A notice stands for news from a thread that may not wait: told on the listener thread, in
// the order posted; withdrawn, it is dropped while queued and waited for while being told.
struct Told {
    std::atomic<bool>* gate = nullptr;  // the call waits until it opens
    std::atomic<bool> entered{false};
    std::atomic<int> calls{0};
    int* sequence = nullptr;
    int position = 0;
    std::thread::id thread;
    static void deliver(void* self) {
        auto& told = *static_cast<Told*>(self);
        told.entered = true;
        while (told.gate != nullptr && !told.gate->load()) {
            std::this_thread::yield();
        }
        told.thread = std::this_thread::get_id();
        told.position = ++*told.sequence;
        told.calls.fetch_add(1);
    }
};

TEST(ListenerThread, NoticesAreToldInOrderOnTheListenerThreadAndWithdrawingWaitsForOneBeingTold) {
    ListenerThread dispatcher;
    int sequence = 0;
    std::atomic<bool> gate{false};
    Told first;
    Told second;
    Told dropped;
    Told last;
    first.gate = &gate;
    for (Told* told : {&first, &second, &dropped, &last}) {
        told->sequence = &sequence;
    }
    ListenerThread::Notice firstNotice{&Told::deliver, &first};
    ListenerThread::Notice secondNotice{&Told::deliver, &second};
    ListenerThread::Notice droppedNotice{&Told::deliver, &dropped};
    ListenerThread::Notice lastNotice{&Told::deliver, &last};
    std::thread poster([&] {
        dispatcher.postNotice(firstNotice);
        dispatcher.postNotice(secondNotice);
        dispatcher.postNotice(droppedNotice);
    });
    const auto posterId = poster.get_id();
    poster.join();
    while (!first.entered) {
        std::this_thread::yield();
    }
    dispatcher.withdraw(droppedNotice);  // queued behind the call held at the gate
    dispatcher.postNotice(lastNotice);
    std::atomic<bool> withdrawn{false};
    int callsWhenWithdrawn = -1;
    std::thread withdrawer([&] {
        dispatcher.withdraw(firstNotice);
        callsWhenWithdrawn = first.calls.load();
        withdrawn = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(withdrawn.load()) << "withdraw returned while the notice was being told";
    gate = true;
    withdrawer.join();
    EXPECT_EQ(callsWhenWithdrawn, 1);
    while (last.calls.load() == 0) {
        std::this_thread::yield();
    }
    EXPECT_EQ(first.position, 1);
    EXPECT_EQ(second.position, 2);
    EXPECT_EQ(last.position, 3);
    EXPECT_EQ(dropped.calls.load(), 0);
    EXPECT_EQ(first.thread, second.thread);
    EXPECT_NE(first.thread, posterId);
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
