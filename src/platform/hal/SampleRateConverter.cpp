#include "platform/hal/SampleRateConverter.h"

#include <samplerate.h>

namespace brimo::hal {

SampleRateConverter::~SampleRateConverter() {
    if (src_ != nullptr) {
        src_delete(src_);
    }
}

bool SampleRateConverter::prepare(UInt32 channels) {
    if (src_ != nullptr) {
        src_delete(src_);
        src_ = nullptr;
    }
    int error = 0;
    // Medium quality: a 90 % pass band at 121 dB of stop-band rejection for a fraction of the
    // cost of the best setting; conversion only runs when a device's rate differs.
    src_ = src_new(SRC_SINC_MEDIUM_QUALITY, static_cast<int>(channels), &error);
    return src_ != nullptr;
}

void SampleRateConverter::reset() {
    if (src_ != nullptr) {
        src_reset(src_);
    }
}

bool SampleRateConverter::supportsRatio(double ratio) {
    return src_is_valid_ratio(ratio) != 0;
}

SampleRateConverter::Result SampleRateConverter::process(const float* input, UInt32 inputFrames,
                                                         float* output, UInt32 outputFrames,
                                                         double ratio) {
    if (src_ == nullptr) {
        return {};
    }
    SRC_DATA data{};
    data.data_in = input;
    data.data_out = output;
    data.input_frames = static_cast<long>(inputFrames);
    data.output_frames = static_cast<long>(outputFrames);
    data.src_ratio = ratio;
    data.end_of_input = 0;
    if (src_process(src_, &data) != 0) {
        return {};
    }
    return {static_cast<UInt32>(data.input_frames_used),
            static_cast<UInt32>(data.output_frames_gen)};
}

}  // namespace brimo::hal
