#include "dsp/timepitch/VectorMath.h"

#include <cmath>

namespace brimo::timepitch::vectormath {

__attribute__((target("avx2,fma"))) void logs(const float* x, float* out, int count) {
    int i = 0;
    for (; i + 8 <= count; i += 8) {
        _mm256_storeu_ps(out + i, logPositive(_mm256_loadu_ps(x + i)));
    }
    for (; i < count; ++i) {
        out[i] = std::log(x[i]);
    }
}

__attribute__((target("avx2,fma"))) void sinCosines(const float* x, float* sine, float* cosine,
                                                    int count) {
    int i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m256 v = _mm256_loadu_ps(x + i);
        if (allWithinReach(v)) {
            __m256 s;
            __m256 c;
            sinCosWithinReach(v, s, c);
            _mm256_storeu_ps(sine + i, s);
            _mm256_storeu_ps(cosine + i, c);
            continue;
        }
        for (int l = i; l < i + 8; ++l) {
            sine[l] = std::sin(x[l]);
            cosine[l] = std::cos(x[l]);
        }
    }
    for (; i < count; ++i) {
        sine[i] = std::sin(x[i]);
        cosine[i] = std::cos(x[i]);
    }
}

}  // namespace brimo::timepitch::vectormath
