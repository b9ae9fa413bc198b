#pragma once

#include <complex>

namespace brimo::timepitch {

// A forward real-to-complex FFT of one fixed size on FFTW's single-precision library. Planning
// happens in prepare(); forward() only executes the plan, so it is safe on a real-time thread.
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

    [[nodiscard]] int size() const { return size_; }

  private:
    void release();

    int size_ = 0;
    float* input_ = nullptr;
    void* output_ = nullptr;
    void* plan_ = nullptr;
};

}  // namespace brimo::timepitch
