#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <random>
#include <thread>
#include <vector>

#include "audio/engine/AudioRingBuffer.h"

using brimo::audio::AudioRingBuffer;

namespace {

std::vector<float> iota(int from, int to) {
    std::vector<float> v;
    for (int i = from; i <= to; ++i) {
        v.push_back(static_cast<float>(i));
    }
    return v;
}

std::vector<float> readInto(AudioRingBuffer& ring, std::int64_t n, std::int64_t& got) {
    std::vector<float> out(static_cast<std::size_t>(n), 0.0F);
    got = ring.read(out.data(), n);
    return out;
}

}  // namespace

// The engine's way back from an overflow: the oldest audio goes at once, across the wrap, and
// what stays reads in order; asking for more than there is empties the buffer.
TEST(AudioRingBuffer, DiscardsTheOldestSamplesAcrossTheWrap) {
    AudioRingBuffer ring(8);
    ring.write(std::vector<float>{1, 2, 3, 4, 5, 6});
    std::vector<float> out(8, 0.0F);
    ASSERT_EQ(ring.read(out.data(), 4), 4);
    ring.write(std::vector<float>{7, 8, 9, 10});
    ring.discardOldest(3);
    ASSERT_EQ(ring.count(), 3);
    ASSERT_EQ(ring.read(out.data(), 8), 3);
    EXPECT_EQ(out[0], 8.0F);
    EXPECT_EQ(out[2], 10.0F);
    ring.write(std::vector<float>{11, 12});
    ring.discardOldest(5);
    ring.discardOldest(-1);
    EXPECT_EQ(ring.count(), 0);
    ring.write(std::vector<float>{13});
    ASSERT_EQ(ring.read(out.data(), 8), 1);
    EXPECT_EQ(out[0], 13.0F);
}

TEST(AudioRingBuffer, ShortReadsCopyWhatThereIsAndLeaveTheCallersZeros) {
    AudioRingBuffer ring(8);
    std::int64_t got = -1;
    EXPECT_EQ(readInto(ring, 4, got), std::vector<float>(4, 0.0F));
    EXPECT_EQ(got, 0);

    ring.write(iota(1, 6));
    EXPECT_EQ(readInto(ring, 4, got), iota(1, 4));
    EXPECT_EQ(got, 4);
    EXPECT_EQ(ring.count(), 2);
    EXPECT_EQ(readInto(ring, 4, got), (std::vector<float>{5, 6, 0, 0}));
    EXPECT_EQ(got, 2);

    ring.write({});
    EXPECT_EQ(ring.count(), 0);
}

TEST(AudioRingBuffer, OverflowDropsTheOldestSamplesNeverTheNewest) {
    std::int64_t got = 0;
    AudioRingBuffer oneWrite(8);
    oneWrite.write(iota(1, 10));
    EXPECT_EQ(oneWrite.count(), 8);
    EXPECT_EQ(readInto(oneWrite, 8, got), iota(3, 10));

    AudioRingBuffer twoWrites(8);
    twoWrites.write(iota(1, 8));
    twoWrites.write(iota(9, 10));
    EXPECT_EQ(twoWrites.count(), 8);
    EXPECT_EQ(readInto(twoWrites, 8, got), iota(3, 10));

    // A write several times the capacity, starting mid-buffer, keeps exactly the last 8.
    AudioRingBuffer huge(8);
    huge.write(iota(1, 3));
    huge.read(std::vector<float>(2).data(), 2);
    huge.write(iota(100, 130));
    EXPECT_EQ(readInto(huge, 9, got),
              (std::vector<float>{123, 124, 125, 126, 127, 128, 129, 130, 0}));
    EXPECT_EQ(got, 8);
}

TEST(AudioRingBuffer, RandomTrafficMatchesADropOldestQueueAndKeepsFramesPaired) {
    // Even-sized writes and reads, as the engine makes them, across wrap-arounds and
    // overflows: every read frame must be a written frame, left and right together, in order.
    constexpr std::int64_t kCapacity = 2 * 37;
    AudioRingBuffer ring(kCapacity);
    std::deque<float> model;
    std::mt19937 random(42);
    float nextFrame = 0;
    for (int round = 0; round < 2000; ++round) {
        std::vector<float> block(2 * (random() % 50));
        for (std::size_t i = 0; i < block.size(); i += 2) {
            block[i] = nextFrame;
            block[i + 1] = nextFrame + 0.5F;
            ++nextFrame;
        }
        ring.write(block);
        model.insert(model.end(), block.begin(), block.end());
        while (static_cast<std::int64_t>(model.size()) > kCapacity) {
            model.pop_front();
        }

        const auto wanted = static_cast<std::int64_t>(2 * (random() % 50));
        std::int64_t got = 0;
        const auto out = readInto(ring, wanted, got);
        ASSERT_EQ(got, std::min<std::int64_t>(wanted, static_cast<std::int64_t>(model.size())));
        for (std::int64_t i = 0; i < got; ++i) {
            ASSERT_EQ(out[static_cast<std::size_t>(i)], model.front()) << "round " << round;
            model.pop_front();
        }
        for (std::int64_t i = 0; i + 1 < got; i += 2) {
            ASSERT_EQ(out[static_cast<std::size_t>(i + 1)],
                      out[static_cast<std::size_t>(i)] + 0.5F);
        }
        ASSERT_EQ(ring.count(), static_cast<std::int64_t>(model.size()));
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
