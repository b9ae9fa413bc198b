#pragma once

#include <complex>

namespace brimo::timepitch {

// Forward real-to-complex and inverse complex-to-real FFTs of one fixed size on FFTW's
// single-precision library. Planning happens in prepare(); forward() and inverse() only execute
// the plans, so they are safe on a real-time thread.
class RealFft {
  public:
    RealFft() = default;
    ~RealFft();
    RealFft(const RealFft&) = delete;
    RealFft& operator=(const RealFft&) = delete;

    void prepare(int size);

    // The time-domain input of the next transform: size() samples.
    [[nodiscard]] float* input() { return input_; }

    // Transforms input() into size()/2 + 1 bins written to `spectrum`.
    void forward(std::complex<float>* spectrum);

    // Transforms x[i]·window[i] (size() samples each) into size()/2 + 1 bins written to
    // `spectrum`, every odd bin negated: phases relative to the middle sample rather than the
    // first. The product and the copy out each in one pass, on the AVX2 loops where the
    // processor has them; the same values as filling input() and calling forward().
    void forwardCentred(const float* x, const float* window, std::complex<float>* spectrum);

    // The spectrum of the next inverse transform: size()/2 + 1 bins.
    [[nodiscard]] std::complex<float>* inverseInput() { return inverseInput_; }

    // Transforms inverseInput() (which it overwrites) into size() samples, unnormalised: the
    // forward transform of the result is size() times the spectrum.
    [[nodiscard]] const float* inverse();

    [[nodiscard]] int size() const { return size_; }

  private:
    void release();

    int size_ = 0;
    float* input_ = nullptr;
    void* output_ = nullptr;
    void* plan_ = nullptr;
    std::complex<float>* inverseInput_ = nullptr;
    float* inverseOutput_ = nullptr;
    void* inversePlan_ = nullptr;
    // The processor's best versions of the product into input() and of the copy out.
    void (*multiply_)(const float*, const float*, float*, int) = nullptr;
    void (*copyCentred_)(const float*, float*, int) = nullptr;
};

}  // namespace brimo::timepitch
