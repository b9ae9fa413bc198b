#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/observable/Published.h"
#include "platform/observable/Subject.h"

using brimo::observable::Published;
using brimo::observable::Subject;
using brimo::observable::Subscription;

TEST(Published, NewObserverGetsCurrentValueThenEveryAssignmentEvenEqualOnes) {
    Published<float> level(0.25F);
    std::vector<float> seen;
    auto subscription = level.subscribe([&](float v) { seen.push_back(v); });
    level = 0.5F;
    level = 0.5F;
    EXPECT_EQ(seen, (std::vector<float>{0.25F, 0.5F, 0.5F}));
    EXPECT_EQ(level.value(), 0.5F);
}

TEST(Published, DroppingTheHandleEndsTheSubscription) {
    Published<int> value(1);
    int calls = 0;
    {
        auto subscription = value.subscribe([&](int) { ++calls; });
        value = 2;
    }
    value = 3;
    EXPECT_EQ(calls, 2);

    Subscription moved;
    {
        auto subscription = value.subscribe([&](int) { ++calls; });
        moved = std::move(subscription);
    }
    value = 4;  // the moved-to handle keeps it alive
    EXPECT_EQ(calls, 4);
    moved.cancel();
    value = 5;
    EXPECT_EQ(calls, 4);
}

TEST(Subject, KeepsNoValueAndDeliversInSubscriptionOrder) {
    Subject<std::string> changed;
    changed.send("before anyone listens");
    std::vector<std::string> seen;
    auto first = changed.subscribe([&](const std::string& s) { seen.push_back("1:" + s); });
    auto second = changed.subscribe([&](const std::string& s) { seen.push_back("2:" + s); });
    EXPECT_TRUE(seen.empty());
    changed.send("x");
    EXPECT_EQ(seen, (std::vector<std::string>{"1:x", "2:x"}));
}

TEST(Subject, ObserversMayCancelOrSubscribeDuringDelivery) {
    Subject<int> subject;
    std::vector<std::string> seen;
    Subscription second;
    Subscription late;
    auto first = subject.subscribe([&](int v) {
        seen.push_back("first " + std::to_string(v));
        second.cancel();  // cancelled before its turn: must not be called
        if (!late.isActive()) {
            late = subject.subscribe([&](int w) { seen.push_back("late " + std::to_string(w)); });
        }
    });
    second = subject.subscribe([&](int v) { seen.push_back("second " + std::to_string(v)); });
    subject.send(1);
    subject.send(2);
    EXPECT_EQ(seen, (std::vector<std::string>{"first 1", "first 2", "late 2"}));
}

TEST(Subject, HandlesOutlivingTheSubjectAreHarmless) {
    Subscription subscription;
    {
        Subject<int> subject;
        subscription = subject.subscribe([](int) {});
        EXPECT_EQ(subject.observerCount(), 1U);
    }
    subscription.cancel();
    EXPECT_FALSE(subscription.isActive());
}

TEST(Published, ObserverAssigningDuringDeliveryDoesNotChangeWhatOthersReceive) {
    Published<int> value(0);
    std::vector<int> seenBySecond;
    auto first = value.subscribe([&](int v) {
        if (v == 1) {
            value = 2;
        }
    });
    auto second = value.subscribe([&](int v) { seenBySecond.push_back(v); });
    value = 1;
    EXPECT_EQ(seenBySecond, (std::vector<int>{0, 2, 1}));
    EXPECT_EQ(value.value(), 2);
}
