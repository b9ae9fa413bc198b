#include "dsp/timepitch/RealFft.h"

#include <fftw3.h>
#include <immintrin.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "dsp/timepitch/MeasuredPlans.h"
#include "dsp/timepitch/VectorLoops.h"

namespace brimo::timepitch {

namespace {

// FFTW's planner is not thread-safe; executing a plan is.
std::mutex& plannerLock() {
    static std::mutex lock;
    return lock;
}

// A plan from the kept measurements where the library takes them (its version and the
// processor's instructions must match theirs), else the one it estimates. Called under the
// planner's lock.
template <typename Plan>
void* planOf(Plan plan) {
    static const bool kept = fftwf_import_wisdom_from_string(kMeasuredPlans) != 0;
    void* measured = kept ? plan(FFTW_MEASURE | FFTW_WISDOM_ONLY) : nullptr;
    return measured != nullptr ? measured : plan(FFTW_ESTIMATE);
}

void multiplyPlain(const float* x, const float* window, float* y, int count) {
    for (int i = 0; i < count; ++i) {
        y[i] = x[i] * window[i];
    }
}

__attribute__((target("avx2,fma"))) void multiplyAvx2(const float* x, const float* window, float* y,
                                                      int count) {
    int i = 0;
    for (; i + 8 <= count; i += 8) {
        _mm256_storeu_ps(y + i, _mm256_mul_ps(_mm256_loadu_ps(x + i), _mm256_loadu_ps(window + i)));
    }
    for (; i < count; ++i) {
        y[i] = x[i] * window[i];
    }
}

// `bins` interleaved bins from x to y, odd ones negated (exact: only the signs turn).
void copyCentredPlain(const float* x, float* y, int bins) {
    for (int k = 0; k < bins; ++k) {
        const float sign = k % 2 == 0 ? 1.0F : -1.0F;
        y[2 * k] = sign * x[2 * k];
        y[2 * k + 1] = sign * x[2 * k + 1];
    }
}

__attribute__((target("avx2,fma"))) void copyCentredAvx2(const float* x, float* y, int bins) {
    // Four bins a register, the second and fourth negated.
    const __m256 odd = _mm256_setr_ps(0.0F, 0.0F, -0.0F, -0.0F, 0.0F, 0.0F, -0.0F, -0.0F);
    int k = 0;
    for (; k + 4 <= bins; k += 4) {
        _mm256_storeu_ps(y + 2 * k, _mm256_xor_ps(_mm256_loadu_ps(x + 2 * k), odd));
    }
    copyCentredPlain(x + 2 * k, y + 2 * k, bins - k);
}

}  // namespace

RealFft::~RealFft() {
    release();
}

void RealFft::release() {
    const std::lock_guard guard(plannerLock());
    for (void* plan : {plan_, inversePlan_}) {
        if (plan != nullptr) {
            fftwf_destroy_plan(static_cast<fftwf_plan>(plan));
        }
    }
    fftwf_free(input_);
    fftwf_free(output_);
    fftwf_free(inverseInput_);
    fftwf_free(inverseOutput_);
    plan_ = nullptr;
    inversePlan_ = nullptr;
    input_ = nullptr;
    output_ = nullptr;
    inverseInput_ = nullptr;
    inverseOutput_ = nullptr;
    size_ = 0;
}

void RealFft::prepare(int size) {
    release();
    const std::lock_guard guard(plannerLock());
    size_ = size;
    const auto bins = static_cast<std::size_t>(size / 2) + 1;
    input_ = fftwf_alloc_real(static_cast<std::size_t>(size));
    auto* output = fftwf_alloc_complex(bins);
    output_ = output;
    plan_ = planOf([&](unsigned flags) {
        return static_cast<void*>(fftwf_plan_dft_r2c_1d(size, input_, output, flags));
    });
    std::memset(input_, 0, sizeof(float) * static_cast<std::size_t>(size));
    auto* inverseInput = fftwf_alloc_complex(bins);
    inverseInput_ = reinterpret_cast<std::complex<float>*>(inverseInput);
    inverseOutput_ = fftwf_alloc_real(static_cast<std::size_t>(size));
    inversePlan_ = planOf([&](unsigned flags) {
        return static_cast<void*>(fftwf_plan_dft_c2r_1d(size, inverseInput, inverseOutput_, flags));
    });
    std::fill_n(inverseInput_, bins, std::complex<float>{});
    // Touch the outputs here so the first render does not take their page faults.
    std::fill_n(reinterpret_cast<std::complex<float>*>(output), bins, std::complex<float>{});
    std::memset(inverseOutput_, 0, sizeof(float) * static_cast<std::size_t>(size));
    const bool avx2 = vectorLoopsEnabled();
    multiply_ = avx2 ? multiplyAvx2 : multiplyPlain;
    copyCentred_ = avx2 ? copyCentredAvx2 : copyCentredPlain;
}

void RealFft::forward(std::complex<float>* spectrum) {
    fftwf_execute(static_cast<fftwf_plan>(plan_));
    std::memcpy(spectrum, output_, sizeof(fftwf_complex) * static_cast<std::size_t>(size_ / 2 + 1));
}

void RealFft::forwardCentred(const float* x, const float* window, std::complex<float>* spectrum) {
    multiply_(x, window, input_, size_);
    fftwf_execute(static_cast<fftwf_plan>(plan_));
    // Starts at an even bin, so the blocks of four keep the pattern.
    copyCentred_(static_cast<const float*>(output_), reinterpret_cast<float*>(spectrum),
                 size_ / 2 + 1);
}

const float* RealFft::inverse() {
    fftwf_execute(static_cast<fftwf_plan>(inversePlan_));
    return inverseOutput_;
}

}  // namespace brimo::timepitch
