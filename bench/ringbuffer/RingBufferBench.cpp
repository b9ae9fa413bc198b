#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "audio/engine/AudioRingBuffer.h"

namespace {

constexpr std::int64_t kSamples = 2 * 512;

// A buffer as the engine makes it at 48 kHz, pre-filled with 100 ms so reads wrap like in use.
std::unique_ptr<brimo::audio::AudioRingBuffer> engineSizedRing() {
    auto ring = std::make_unique<brimo::audio::AudioRingBuffer>(2 * 24000);
    const std::vector<float> prefill(2 * 4800, 0.0F);
    ring->write(prefill);
    return ring;
}

// One capture block written and one render block read, 512 stereo frames each: the work the
// two real-time threads do in the ring buffer per block, without the other side in the way.
void BM_WriteThenRead512StereoFrames(benchmark::State& state) {
    auto ring = engineSizedRing();
    std::vector<float> block(kSamples, 0.25F);
    std::vector<float> out(kSamples, 0.0F);
    for (auto _ : state) {
        ring->write(block);
        benchmark::DoNotOptimize(ring->read(out.data(), kSamples));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * 512);
}
BENCHMARK(BM_WriteThenRead512StereoFrames);

// The same blocks with the writer and the reader on two threads at once, as the capture and
// playback threads are: the cost of sharing the buffer (cache lines moving between cores) and
// the proof that neither side waits for the other. Thread 0 writes, thread 1 reads.
std::unique_ptr<brimo::audio::AudioRingBuffer> sharedRing;

void BM_ConcurrentWriterAndReader512StereoFrames(benchmark::State& state) {
    if (state.thread_index() == 0) {
        sharedRing = engineSizedRing();
    }
    std::vector<float> block(kSamples, 0.25F);
    for (auto _ : state) {
        if (state.thread_index() == 0) {
            sharedRing->write(block);
        } else {
            benchmark::DoNotOptimize(sharedRing->read(block.data(), kSamples));
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * 512);
}
BENCHMARK(BM_ConcurrentWriterAndReader512StereoFrames)->Threads(2)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
