#include "platform/timepitch/RealFft.h"

#include <fftw3.h>

#include <cstring>
#include <mutex>

namespace brimo::timepitch {

namespace {

// FFTW's planner is not thread-safe; executing a plan is.
std::mutex& plannerLock() {
    static std::mutex lock;
    return lock;
}

}  // namespace

RealFft::~RealFft() {
    release();
}

void RealFft::release() {
    const std::lock_guard guard(plannerLock());
    if (plan_ != nullptr) {
        fftwf_destroy_plan(static_cast<fftwf_plan>(plan_));
    }
    fftwf_free(input_);
    fftwf_free(output_);
    plan_ = nullptr;
    input_ = nullptr;
    output_ = nullptr;
    size_ = 0;
}

void RealFft::prepare(int size) {
    release();
    const std::lock_guard guard(plannerLock());
    size_ = size;
    input_ = fftwf_alloc_real(static_cast<std::size_t>(size));
    auto* output = fftwf_alloc_complex(static_cast<std::size_t>(size / 2 + 1));
    output_ = output;
    plan_ = fftwf_plan_dft_r2c_1d(size, input_, output, FFTW_ESTIMATE);
    std::memset(input_, 0, sizeof(float) * static_cast<std::size_t>(size));
}

void RealFft::forward(std::complex<float>* spectrum) {
    fftwf_execute(static_cast<fftwf_plan>(plan_));
    std::memcpy(spectrum, output_, sizeof(fftwf_complex) * static_cast<std::size_t>(size_ / 2 + 1));
}

}  // namespace brimo::timepitch
