#include "Shifters.h"

#include <rubberband/RubberBandStretcher.h>
#include <soundtouch/SoundTouch.h>

#include <algorithm>
#include <cmath>

#include "StereoPull.h"
#include "dsp/timepitch/TimePitchShifter.h"

namespace brimo::bench {

namespace {

// Turns the blocks a push-style shifter produced into the live output: the priming is the
// largest shortfall of produced frames against the frames the output had to play by then.
Rendered fromPushedBlocks(const Stereo& produced, const std::vector<long>& producedAfterBlock,
                          long frames) {
    Rendered rendered;
    long priming = 0;
    for (std::size_t k = 0; k < producedAfterBlock.size(); ++k) {
        const long due = static_cast<long>(k + 1) * kBlock;
        priming = std::max(priming, due - producedAfterBlock[k]);
    }
    rendered.primingFrames = priming;
    rendered.output.assign(2, std::vector<float>(static_cast<std::size_t>(frames), 0.0F));
    for (int c = 0; c < 2; ++c) {
        const auto& from = produced[static_cast<std::size_t>(c)];
        auto& to = rendered.output[static_cast<std::size_t>(c)];
        for (long i = priming; i < frames && i - priming < static_cast<long>(from.size()); ++i) {
            to[static_cast<std::size_t>(i)] = from[static_cast<std::size_t>(i - priming)];
        }
    }
    return rendered;
}

// Runs a push-style shifter over `input` in blocks of kBlock: `pushBlock(at, produced)` hands it
// the block from frame `at` and appends whatever it gives back to `produced`. The thread CPU
// time of each block and the process CPU time of the loop are measured around those calls.
template <typename PushBlock>
Rendered runPushedBlocks(const Stereo& input, PushBlock pushBlock) {
    const long frames = static_cast<long>(input[0].size());
    Stereo produced(2);
    std::vector<long> producedAfter;
    produced[0].reserve(static_cast<std::size_t>(frames) + 65536);
    produced[1].reserve(static_cast<std::size_t>(frames) + 65536);
    std::vector<double> slices;
    const double started = processCpuSeconds();
    for (long at = 0; at + kBlock <= frames; at += kBlock) {
        const double before = threadCpuSeconds();
        pushBlock(at, produced);
        slices.push_back(threadCpuSeconds() - before);
        producedAfter.push_back(static_cast<long>(produced[0].size()));
    }
    const double cpu = processCpuSeconds() - started;
    Rendered rendered = fromPushedBlocks(produced, producedAfter, frames);
    rendered.cpuSeconds = cpu;
    rendered.sliceSeconds = std::move(slices);
    return rendered;
}

class OurShifter final : public Shifter {
  public:
    OurShifter(float overlap, float rate, bool passthrough = false)
        : overlap_(overlap), rate_(rate), passthrough_(passthrough) {}
    [[nodiscard]] std::string name() const override {
        return passthrough_ ? "ours 0 cents"
                            : "ours ov" + std::to_string(static_cast<int>(overlap_));
    }

    Rendered run(const Stereo& input, double sampleRate, double cents) override {
        // The run's own buffers first, as an engine has its own before it starts a stream:
        // filling megabytes between prepare() and the first render would time the harness's
        // cache misses in that render.
        const long frames = static_cast<long>(input[0].size());
        Stereo produced(2, std::vector<float>(static_cast<std::size_t>(frames), 0.0F));
        std::vector<double> slices;
        slices.reserve(static_cast<std::size_t>(frames / kBlock));
        timepitch::TimePitchShifter shifter;
        shifter.prepare(sampleRate, 2, kBlock);
        shifter.setOverlap(overlap_);
        shifter.setRate(rate_);
        shifter.setPitchCents(passthrough_ ? 0.0F : static_cast<float>(cents));
        StereoPull source{&input, 0};
        long priming = 0;
        const double started = processCpuSeconds();
        for (long at = 0; at + kBlock <= frames; at += kBlock) {
            float* out[2] = {produced[0].data() + at, produced[1].data() + at};
            const double before = threadCpuSeconds();
            shifter.render(kBlock, out, source.source());
            slices.push_back(threadCpuSeconds() - before);
            // The source must already hold every frame pulled so far.
            priming = std::max(priming, source.position - (at + kBlock));
        }
        const double cpu = processCpuSeconds() - started;
        Rendered rendered;
        rendered.cpuSeconds = cpu;
        rendered.sliceSeconds = std::move(slices);
        rendered.primingFrames = priming;
        rendered.reportedLatencyFrames = shifter.latencyFrames();
        rendered.output.assign(2, std::vector<float>(static_cast<std::size_t>(frames), 0.0F));
        for (int c = 0; c < 2; ++c) {
            std::copy(produced[static_cast<std::size_t>(c)].begin(),
                      produced[static_cast<std::size_t>(c)].end() - priming,
                      rendered.output[static_cast<std::size_t>(c)].begin() + priming);
        }
        return rendered;
    }

  private:
    float overlap_;
    float rate_;
    bool passthrough_;
};

class RubberBandShifter final : public Shifter {
  public:
    RubberBandShifter(bool finer, int pitchOption, std::string name)
        : finer_(finer), pitchOption_(pitchOption), name_(std::move(name)) {}
    [[nodiscard]] std::string name() const override { return name_; }

    Rendered run(const Stereo& input, double sampleRate, double cents) override {
        using RB = ::RubberBand::RubberBandStretcher;
        // Real time, everything else at its default but the pitch method (see the names).
        const RB::Options options = RB::OptionProcessRealTime | pitchOption_ |
                                    (finer_ ? RB::OptionEngineFiner : RB::OptionEngineFaster);
        RB stretcher(static_cast<std::size_t>(sampleRate), 2, options);
        stretcher.setPitchScale(std::exp2(cents / 1200.0));
        stretcher.setTimeRatio(1.0);
        stretcher.setMaxProcessSize(kBlock);
        std::vector<float> scratch[2] = {std::vector<float>(8192), std::vector<float>(8192)};
        Rendered rendered = runPushedBlocks(input, [&](long at, Stereo& produced) {
            const float* in[2] = {input[0].data() + at, input[1].data() + at};
            stretcher.process(in, kBlock, false);
            int available = stretcher.available();
            while (available > 0) {
                const int n = std::min(available, 8192);
                float* out[2] = {scratch[0].data(), scratch[1].data()};
                const auto got =
                    static_cast<int>(stretcher.retrieve(out, static_cast<std::size_t>(n)));
                for (int c = 0; c < 2; ++c) {
                    produced[static_cast<std::size_t>(c)].insert(
                        produced[static_cast<std::size_t>(c)].end(), scratch[c].begin(),
                        scratch[c].begin() + got);
                }
                available = stretcher.available();
            }
        });
        rendered.reportedLatencyFrames = static_cast<long>(stretcher.getStartDelay());
        return rendered;
    }

  private:
    bool finer_;
    int pitchOption_;
    std::string name_;
};

class SoundTouchShifter final : public Shifter {
  public:
    [[nodiscard]] std::string name() const override { return "SoundTouch 2"; }

    Rendered run(const Stereo& input, double sampleRate, double cents) override {
        soundtouch::SoundTouch touch;
        touch.setSampleRate(static_cast<unsigned>(sampleRate));
        touch.setChannels(2);
        touch.setPitch(std::exp2(cents / 1200.0));
        touch.setTempo(1.0);
        std::vector<float> interleaved(2 * kBlock);
        std::vector<float> out(2 * 8192);
        Rendered rendered = runPushedBlocks(input, [&](long at, Stereo& produced) {
            for (int i = 0; i < kBlock; ++i) {
                interleaved[2 * static_cast<std::size_t>(i)] =
                    input[0][static_cast<std::size_t>(at + i)];
                interleaved[2 * static_cast<std::size_t>(i) + 1] =
                    input[1][static_cast<std::size_t>(at + i)];
            }
            touch.putSamples(interleaved.data(), kBlock);
            unsigned got = 0;
            while ((got = touch.receiveSamples(out.data(), 8192)) > 0) {
                for (unsigned i = 0; i < got; ++i) {
                    produced[0].push_back(out[2 * i]);
                    produced[1].push_back(out[2 * i + 1]);
                }
            }
        });
        rendered.reportedLatencyFrames = touch.getSetting(SETTING_INITIAL_LATENCY);
        return rendered;
    }
};

}  // namespace

std::unique_ptr<Shifter> makeOurShifter(float overlap, float rate) {
    return std::make_unique<OurShifter>(overlap, rate);
}
std::unique_ptr<Shifter> makeOurPassthrough(float rate) {
    return std::make_unique<OurShifter>(32.0F, rate, true);
}
std::unique_ptr<Shifter> makeRubberBandR3() {
    return std::make_unique<RubberBandShifter>(
        true, RubberBand::RubberBandStretcher::OptionPitchHighQuality, "R3 rt HQ");
}
std::unique_ptr<Shifter> makeRubberBandR2(bool tuned) {
    using RB = RubberBand::RubberBandStretcher;
    if (tuned) {
        return std::make_unique<RubberBandShifter>(
            false, RB::OptionPitchHighQuality | RB::OptionTransientsSmooth, "R2 rt HQ smooth");
    }
    return std::make_unique<RubberBandShifter>(false, RB::OptionPitchHighSpeed, "R2 rt default");
}
std::unique_ptr<Shifter> makeSoundTouch() {
    return std::make_unique<SoundTouchShifter>();
}

}  // namespace brimo::bench
