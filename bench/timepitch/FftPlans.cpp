// Measures FFTW's best plans for the shifter's analysis frame sizes (as RealFft plans them:
// real-to-complex and complex-to-real, out of place, on the library's aligned arrays) and
// prints them as wisdom, for src/dsp/timepitch/MeasuredPlans.h:
//
//   bench_timepitch_fft_plans 1024 2048 2304 3072 4608 6144 12288
#include <fftw3.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    for (int a = 1; a < argc; ++a) {
        const int size = std::atoi(argv[a]);
        if (size < 2) {
            continue;
        }
        const auto bins = static_cast<std::size_t>(size / 2) + 1;
        float* real = fftwf_alloc_real(static_cast<std::size_t>(size));
        fftwf_complex* spectrum = fftwf_alloc_complex(bins);
        fftwf_plan forward = fftwf_plan_dft_r2c_1d(size, real, spectrum, FFTW_MEASURE);
        fftwf_plan inverse = fftwf_plan_dft_c2r_1d(size, spectrum, real, FFTW_MEASURE);
        fftwf_destroy_plan(forward);
        fftwf_destroy_plan(inverse);
        fftwf_free(spectrum);
        fftwf_free(real);
    }
    char* wisdom = fftwf_export_wisdom_to_string();
    std::fputs(wisdom, stdout);
    std::free(wisdom);
    return 0;
}
