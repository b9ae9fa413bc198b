#include <benchmark/benchmark.h>

#include <array>

#include "platform/hal/AudioUnit.h"
#include "platform/hal/StreamFormat.h"
#include "platform/hal/sim/ScopedSimulatedBackend.h"

namespace {

using namespace brimo::hal;

// What the simulated backend and the HAL output units cost around the engine's own work: a
// tone played into a loopback device, captured by one unit and played by another on a second
// device, advanced one simulated second per iteration. The callbacks only copy.
struct Chain {
    std::array<float, 16384> scratch{};
    AudioUnit capture = nullptr;
    AudioUnit playback = nullptr;

    static OSStatus input(void* refCon, AudioUnitRenderActionFlags* flags,
                          const AudioTimeStamp* time, UInt32, UInt32 frames, AudioBufferList*) {
        auto* self = static_cast<Chain*>(refCon);
        AudioBufferListStorage<1> list;
        list.mBuffers[0] = {2, frames * 8U, self->scratch.data()};
        return AudioUnitRender(self->capture, flags, time, 1, frames, list.list());
    }

    static OSStatus output(void* refCon, AudioUnitRenderActionFlags*, const AudioTimeStamp*, UInt32,
                           UInt32 frames, AudioBufferList* data) {
        auto* self = static_cast<Chain*>(refCon);
        auto* out = static_cast<float*>(data->mBuffers[0].mData);
        std::copy_n(self->scratch.data(), 2 * frames, out);
        return noErr;
    }

    Chain(AudioDeviceID from, AudioDeviceID to, double unitRate) {
        const AudioComponentDescription d{kAudioUnitType_Output, kAudioUnitSubType_HALOutput,
                                          kAudioUnitManufacturer_Apple, 0, 0};
        const AudioComponent hal = AudioComponentFindNext(nullptr, &d);
        AudioComponentInstanceNew(hal, &capture);
        AudioComponentInstanceNew(hal, &playback);
        const UInt32 on = 1;
        const UInt32 off = 0;
        const auto format = floatStreamFormat(unitRate, 2, true);
        AudioUnitSetProperty(capture, kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Input, 1,
                             &on, 4);
        AudioUnitSetProperty(capture, kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Output, 0,
                             &off, 4);
        AudioUnitSetProperty(capture, kAudioOutputUnitProperty_CurrentDevice,
                             kAudioUnitScope_Global, 0, &from, 4);
        AudioUnitSetProperty(capture, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output, 1,
                             &format, 40);
        const AURenderCallbackStruct in{&Chain::input, this};
        AudioUnitSetProperty(capture, kAudioOutputUnitProperty_SetInputCallback,
                             kAudioUnitScope_Global, 0, &in, 16);
        AudioUnitSetProperty(playback, kAudioOutputUnitProperty_CurrentDevice,
                             kAudioUnitScope_Global, 0, &to, 4);
        AudioUnitSetProperty(playback, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 0,
                             &format, 40);
        const AURenderCallbackStruct out{&Chain::output, this};
        AudioUnitSetProperty(playback, kAudioUnitProperty_SetRenderCallback, kAudioUnitScope_Input,
                             0, &out, 16);
        for (AudioUnit u : {capture, playback}) {
            AudioUnitInitialize(u);
            AudioOutputUnitStart(u);
        }
    }
    ~Chain() {
        AudioComponentInstanceDispose(capture);
        AudioComponentInstanceDispose(playback);
    }
    Chain(const Chain&) = delete;
    Chain& operator=(const Chain&) = delete;
    Chain(Chain&&) = delete;
    Chain& operator=(Chain&&) = delete;
};

// range(0): the devices' rate; the units always run at 48 kHz.
void BM_SimulatedSecondLoopbackToSpeakers(benchmark::State& state) {
    const sim::ScopedSimulatedBackend sim;
    auto loop = sim::DeviceConfig::loopbackDevice("Vetrix", "v");
    auto out = sim::DeviceConfig::speakers("Speakers", "s");
    loop.nominalSampleRate = out.nominalSampleRate = static_cast<double>(state.range(0));
    const AudioDeviceID vetrix = sim->addDevice(loop);
    const AudioDeviceID speakers = sim->addDevice(out);
    sim->play(vetrix, sim::Signal::tone(440.0, 0.5F));
    const Chain chain(vetrix, speakers, 48000.0);
    for (auto _ : state) {
        sim->advanceSeconds(1.0);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
    state.counters["realtime_factor"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SimulatedSecondLoopbackToSpeakers)
    ->Arg(48000)
    ->Arg(44100)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
