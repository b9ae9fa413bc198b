#pragma once

#include "platform/hal/AudioTypes.h"

struct SRC_STATE_tag;  // libsamplerate's converter state

namespace brimo::hal {

// Streaming rate conversion of interleaved float frames (libsamplerate's windowed-sinc
// converter). Made and reset on the control thread; process() is real-time safe.
class SampleRateConverter {
  public:
    SampleRateConverter() = default;
    ~SampleRateConverter();
    SampleRateConverter(const SampleRateConverter&) = delete;
    SampleRateConverter& operator=(const SampleRateConverter&) = delete;
    SampleRateConverter(SampleRateConverter&&) = delete;
    SampleRateConverter& operator=(SampleRateConverter&&) = delete;

    // False when the converter cannot be made for that many channels.
    bool prepare(UInt32 channels);
    void reset();

    // Whether output rate / input rate is a ratio the converter supports.
    static bool supportsRatio(double ratio);

    struct Result {
        UInt32 framesUsed = 0;
        UInt32 framesMade = 0;
    };
    // Converts up to `inputFrames` into at most `outputFrames`; ratio = output / input rate.
    Result process(const float* input, UInt32 inputFrames, float* output, UInt32 outputFrames,
                   double ratio);

  private:
    SRC_STATE_tag* src_ = nullptr;
};

}  // namespace brimo::hal
