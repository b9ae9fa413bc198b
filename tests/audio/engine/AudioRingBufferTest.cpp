#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <random>
#include <thread>
#include <vector>

#include "audio/engine/AudioRingBuffer.h"

using brimo::audio::AudioRingBuffer;

// Writes of any size up to three times the capacity, reads and discards of any size (a negative
// one drops nothing), across wrap-arounds and overflows, against a queue that drops its oldest
// sample when full: every read copies the queue's oldest samples in order and leaves the rest
// of the caller's buffer as it was, and the count always agrees.
TEST(AudioRingBuffer, RandomTrafficMatchesADropOldestQueue) {
    constexpr std::int64_t kCapacity = 2 * 37;
    AudioRingBuffer ring(kCapacity);
    std::deque<float> model;
    const auto modelSize = [&] { return static_cast<std::int64_t>(model.size()); };
    std::mt19937 random(42);
    float next = 0;
    for (int round = 0; round < 5000; ++round) {
        std::vector<float> block(random() % (3 * kCapacity));
        for (float& sample : block) {
            sample = next++;
        }
        ring.write(block);
        model.insert(model.end(), block.begin(), block.end());
        while (modelSize() > kCapacity) {
            model.pop_front();
        }
        if (round % 3 == 0) {
            const auto dropped = static_cast<std::int64_t>(random() % 60) - 10;
            ring.discardOldest(dropped);
            for (std::int64_t i = 0; i < dropped && !model.empty(); ++i) {
                model.pop_front();
            }
        }

        const auto wanted = static_cast<std::int64_t>(random() % 100);
        std::vector<float> out(static_cast<std::size_t>(wanted) + 4, -1.0F);
        const auto got = ring.read(out.data(), wanted);
        ASSERT_EQ(got, std::min(wanted, modelSize())) << "round " << round;
        for (std::size_t i = 0; i < out.size(); ++i) {
            if (static_cast<std::int64_t>(i) < got) {
                ASSERT_EQ(out[i], model.front()) << "round " << round;
                model.pop_front();
            } else {
                ASSERT_EQ(out[i], -1.0F) << "round " << round << ", past what was read";
            }
        }
        ASSERT_EQ(ring.count(), modelSize());
    }
}

// Millions of blocks between a writer and a reader on two threads, with a buffer so small that
// the writer laps the reader all the time, also in the middle of its copies: whatever is read
// is a run of written frames, in order, each left sample with its own right sample and never
// a value that was not written (run under ThreadSanitizer too).
TEST(AudioRingBuffer, LockFreeHandOverSurvivesMillionsOfRacingBlocks) {
    constexpr std::int64_t kCapacity = 2 * 24;
    constexpr std::uint32_t kBlocks = 2'000'000;
    AudioRingBuffer ring(kCapacity);
    std::atomic<bool> done{false};
    // Both samples of a frame carry its number, exact in a float below 2^24.
    static_assert(kBlocks * 8ULL < (1ULL << 24U));
    const auto encode = [](std::uint64_t frame, float* out) {
        out[0] = out[1] = static_cast<float>(frame);
    };
    std::thread writer([&] {
        std::vector<float> block(2 * 8);
        std::uint64_t frame = 0;
        for (std::uint32_t b = 0; b < kBlocks; ++b) {
            const std::uint32_t frames = 1 + (b * 7U) % 8;
            for (std::uint32_t f = 0; f < frames; ++f) {
                encode(frame++, &block[2 * f]);
            }
            ring.write({block.data(), 2 * static_cast<std::size_t>(frames)});
        }
        done = true;
    });

    std::vector<float> out(2 * 16);
    std::int64_t last = -1;
    std::uint64_t framesRead = 0;
    bool intact = true;
    for (std::uint32_t r = 0; intact; ++r) {
        const bool finished = done.load();
        std::fill(out.begin(), out.end(), -1.0F);
        const auto wanted = static_cast<std::int64_t>(2 * (1 + r % 16));
        const auto got = ring.read(out.data(), wanted);
        intact = got >= 0 && got <= wanted && got % 2 == 0;
        for (std::int64_t i = 0; intact && i < got; i += 2) {
            const float left = out[static_cast<std::size_t>(i)];
            const auto frame = static_cast<std::int64_t>(left);
            intact = left >= 0.0F && out[static_cast<std::size_t>(i + 1)] == left && frame > last;
            last = frame;
        }
        for (auto i = static_cast<std::size_t>(got); intact && i < out.size(); ++i) {
            intact = out[i] == -1.0F || (i < static_cast<std::size_t>(wanted) && out[i] == 0.0F);
        }
        framesRead += static_cast<std::uint64_t>(got / 2);
        if (finished && got == 0) {
            break;
        }
    }
    writer.join();
    EXPECT_TRUE(intact) << "after frame " << last;
    EXPECT_GT(framesRead, 0U);
    EXPECT_GT(ring.overruns(), 0U) << "the writer never lapped the reader: the race went untested";
}
