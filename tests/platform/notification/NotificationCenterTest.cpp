#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/notification/NotificationCenter.h"

using brimo::notification::NotificationCenter;

TEST(NotificationCenter, PostReachesObserversOfThatNameInOrder) {
    NotificationCenter center;
    std::vector<std::string> calls;
    int first = 0;
    int second = 0;
    center.addObserver(&first, "AudioDeviceChanged", [&] { calls.emplace_back("first"); });
    center.addObserver(&second, "Other", [&] { calls.emplace_back("other"); });
    center.addObserver(&second, "AudioDeviceChanged", [&] { calls.emplace_back("second"); });

    center.post("AudioDeviceChanged");
    EXPECT_EQ(calls, (std::vector<std::string>{"first", "second"}));

    center.removeObserver(&second);  // every name at once
    calls.clear();
    center.post("AudioDeviceChanged");
    center.post("Other");
    EXPECT_EQ(calls, (std::vector<std::string>{"first"}));
    EXPECT_EQ(center.observerCount(), 1U);
}

TEST(NotificationCenter, ObserverRemovedDuringAPostIsSkippedAndMayPostAgain) {
    NotificationCenter center;
    int first = 0;
    int second = 0;
    int secondCalls = 0;
    int firstCalls = 0;
    center.addObserver(&first, "n", [&] {
        if (++firstCalls == 1) {
            center.removeObserver(&second);
            center.post("n");  // re-entrant post from a handler
        }
    });
    center.addObserver(&second, "n", [&] { ++secondCalls; });
    center.post("n");
    EXPECT_EQ(firstCalls, 2);
    EXPECT_EQ(secondCalls, 0);
}
