#include <benchmark/benchmark.h>

#include <vector>

#include "audio/engine/AudioRingBuffer.h"

namespace {

// One capture block written and one render block read, 512 stereo frames each: the work the
// two real-time threads do under the ring buffer's lock per block.
void BM_WriteThenRead512StereoFrames(benchmark::State& state) {
    constexpr std::int64_t kSamples = 2 * 512;
    brimo::audio::AudioRingBuffer ring(2 * 24000);
    std::vector<float> block(kSamples, 0.25F);
    std::vector<float> out(kSamples, 0.0F);
    // Pre-fill as the engine does (100 ms at 48 kHz) so reads wrap like in real use.
    std::vector<float> prefill(2 * 4800, 0.0F);
    ring.write(prefill);
    for (auto _ : state) {
        ring.write(block);
        benchmark::DoNotOptimize(ring.read(out.data(), kSamples));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * 512);
}
BENCHMARK(BM_WriteThenRead512StereoFrames);

}  // namespace

BENCHMARK_MAIN();
