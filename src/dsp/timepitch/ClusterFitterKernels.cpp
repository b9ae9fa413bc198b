#include "dsp/timepitch/ClusterFitterKernels.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>

namespace brimo::timepitch::fitkernels {

using namespace analysis;

// The stereo loops below in AVX2, four doubles to a register: a bin's two channels' real and
// imaginary parts side by side, (re₀, im₀, re₁, im₁), so that each partial's four sums of a bin
// are one product and one addition. The target leaves out FMA on purpose: every product is
// rounded before it is added, as in the plain loops, and each sum takes the same terms in the
// same order, so both give the same bits.

// A stereo bin's spectra (or a partial's amplitudes) as (re₀, im₀, re₁, im₁).
__attribute__((target("avx2"))) inline __m256d stereoBin(const std::complex<float>* left,
                                                         const std::complex<float>* right) {
    const __m128i l = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(left));
    const __m128i r = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(right));
    return _mm256_cvtps_pd(_mm_castsi128_ps(_mm_unpacklo_epi64(l, r)));
}

// ((re₀² + im₀²) + (re₁² + im₁²)) of the lanes, the plain loops' order.
__attribute__((target("avx2"))) inline double stereoPower(__m256d d) {
    const __m256d squares = _mm256_mul_pd(d, d);
    const __m256d pairs = _mm256_hadd_pd(squares, squares);
    return _mm_cvtsd_f64(
        _mm_add_sd(_mm256_castpd256_pd128(pairs), _mm256_extractf128_pd(pairs, 1)));
}

// at(first + t − nu) for t = 0 … 8·blocks − 1 into out, as WindowTransform::at() computes it
// from `table` (its values out to kReach bins): distances in double precision, the
// interpolation in single, a product and a sum rather than a fused step.
__attribute__((target("avx2"))) inline void windowRow(const float* table, int first, double nu,
                                                      int blocks, float* out, double step = 0.0) {
    const __m256d moved = _mm256_set1_pd(nu);
    const __m256d stepped = _mm256_set1_pd(step);
    const __m256d steps = _mm256_set1_pd(kTableSteps);
    const __m256d sign = _mm256_set1_pd(-0.0);
    // The last step the table holds with its next: any farther distance (a tap beyond the
    // reach, which the loops never read) stays inside the table.
    const __m256i last = _mm256_set1_epi32(kReach * kTableSteps);
    // Whole bins are exact in double precision, and so are their sums: the first bin plus a
    // lane's offset is the lane's bin.
    const __m256d base = _mm256_set1_pd(static_cast<double>(first));
    const __m256d lanes = _mm256_set_pd(3.0, 2.0, 1.0, 0.0);
    for (int block = 0; block < blocks; ++block) {
        __m128i whole[2];
        __m128 fraction[2];
        for (int half = 0; half < 2; ++half) {
            const __m256d bin = _mm256_add_pd(
                _mm256_add_pd(base, _mm256_set1_pd(static_cast<double>(8 * block + 4 * half))),
                lanes);
            // Without a step no zero is added: a negative zero's size is zero either way.
            const __m256d moves = _mm256_sub_pd(bin, moved);
            const __m256d bins = step == 0.0 ? moves : _mm256_add_pd(moves, stepped);
            const __m256d d = _mm256_mul_pd(_mm256_andnot_pd(sign, bins), steps);
            whole[half] = _mm256_cvttpd_epi32(d);
            fraction[half] = _mm256_cvtpd_ps(_mm256_sub_pd(d, _mm256_cvtepi32_pd(whole[half])));
        }
        const __m256i i = _mm256_min_epu32(_mm256_set_m128i(whole[1], whole[0]), last);
        const __m256 f = _mm256_set_m128(fraction[1], fraction[0]);
        const __m256 a = _mm256_i32gather_ps(table, i, 4);
        const __m256 b = _mm256_i32gather_ps(table + 1, i, 4);
        _mm256_storeu_ps(out + 8 * block, _mm256_add_ps(a, _mm256_mul_ps(f, _mm256_sub_ps(b, a))));
    }
}

// The bins of [lo, hi] a partial at `nu` reaches, [first, end], and its window row over them
// into `window` (from bin `first`).
struct ReachedBins {
    int first;
    int end;
};
__attribute__((target("avx2"))) inline ReachedBins reachedRow(const float* table, double nu, int lo,
                                                              int hi, float* window) {
    const int start = rowStart(nu);
    const int first = std::max(lo, start);
    const int end = std::min(hi, rowEnd(nu, start));
    windowRow(table, first, nu, end - first < 8 ? 1 : 2, window);
    return {first, end};
}

// Every partial's window row, and the bin it starts at.
__attribute__((target("avx2"))) inline void windowRows(const float* table, const Partial* partials,
                                                       int n, float (*rows)[kRowBins],
                                                       int* starts) {
    for (int j = 0; j < n; ++j) {
        starts[j] = rowStart(partials[j].bins);
        windowRow(table, starts[j], partials[j].bins, kRowBins / 8, rows[j]);
    }
}

__attribute__((target("avx2"))) void apartStereoAvx2(const float* table, const Partial* partials,
                                                     int n, int lo, int hi,
                                                     const std::complex<float>* const* spectra,
                                                     double* gram, double (*rhs)[4]) {
    float window[kMaxCluster][kRowBins];
    int starts[kMaxCluster];
    windowRows(table, partials, n, window, starts);
    // Rows of sixteen, so that a row's four-lane steps never reach the next row; the lanes
    // above the diagonal collect what is thrown away.
    alignas(32) double rows[kMaxCluster * kMaxCluster];
    // The window at each partial near the bin, zero for every other: a lane of a partial out of
    // reach adds zero, which leaves its sum as it is.
    alignas(32) double b[kMaxCluster] = {};
    const __m256d zero = _mm256_setzero_pd();
    for (int j = 0; j < n; ++j) {
        // Four lanes a step: up to n rounded up to a multiple of four.
        for (int l = 0; l < n; l += 4) {
            _mm256_store_pd(rows + j * kMaxCluster + l, zero);
        }
        _mm256_storeu_pd(rhs[j], zero);
    }
    int from = 0;
    int to = 0;
    for (int k = lo; k <= hi; ++k) {
        while (from < n && partials[from].bins <= k - kReach) {
            b[from++] = 0.0;
        }
        to = std::max(to, from);
        while (to < n && partials[to].bins < k + kReach) {
            ++to;
        }
        for (int j = from; j < to; ++j) {
            b[j] = static_cast<double>(window[j][k - starts[j]]);
        }
        const __m256d x = stereoBin(spectra[0] + k, spectra[1] + k);
        const int start = from & ~3;
        for (int j = from; j < to; ++j) {
            const __m256d bj = _mm256_set1_pd(b[j]);
            _mm256_storeu_pd(rhs[j], _mm256_add_pd(_mm256_loadu_pd(rhs[j]), _mm256_mul_pd(x, bj)));
            double* row = rows + j * kMaxCluster;
            for (int l = start; l <= j; l += 4) {
                _mm256_store_pd(row + l, _mm256_add_pd(_mm256_load_pd(row + l),
                                                       _mm256_mul_pd(bj, _mm256_load_pd(b + l))));
            }
        }
    }
    for (int j = 0; j < n; ++j) {
        for (int l = 0; l <= j; ++l) {
            gram[j * n + l] = rows[j * kMaxCluster + l];
            gram[l * n + j] = rows[j * kMaxCluster + l];
        }
    }
}

// The model a bin's residual is taken against in residualRun(), bin by bin.
struct NoModel {  // out of every partial's reach: the model is zero
    [[nodiscard]] __attribute__((target("avx2"))) __m256d operator()(int /*k*/) const {
        return _mm256_setzero_pd();
    }
};
struct SummedModel {  // what the partials summed into `model` (by bin, from lo) put there
    const double (*model)[4];
    int lo;
    [[nodiscard]] __attribute__((target("avx2"))) __m256d operator()(int k) const {
        return _mm256_load_pd(model[k - lo]);
    }
};
// The summed model plus one more partial's product, added last as the partial-by-partial loop
// adds it; with no summed model (a group of one), the product alone.
template <bool kSummed>
struct ModelWithLast {
    const double (*model)[4];
    int lo;
    const float* window;  // the last partial's window values, from bin `first`
    int first;
    __m256d z;
    [[nodiscard]] __attribute__((target("avx2"))) __m256d operator()(int k) const {
        const __m256d product =
            _mm256_mul_pd(z, _mm256_set1_pd(static_cast<double>(window[k - first])));
        if constexpr (kSummed) {
            return _mm256_add_pd(_mm256_load_pd(model[k - lo]), product);
        }
        return product;
    }
};

// ((re₀² + im₀²) + (re₁² + im₁²)) of each bin [from, to] less its model, the plain loops'
// order; two bins a step.
template <typename Model>
__attribute__((target("avx2"))) inline void residualRun(int from, int to,
                                                        const std::complex<float>* const* spectra,
                                                        const Model& modelOf, double* out) {
    int k = from;
    for (; k < to; k += 2) {
        const __m256d d0 = _mm256_sub_pd(stereoBin(spectra[0] + k, spectra[1] + k), modelOf(k));
        const __m256d d1 =
            _mm256_sub_pd(stereoBin(spectra[0] + k + 1, spectra[1] + k + 1), modelOf(k + 1));
        const __m256d pairs = _mm256_hadd_pd(_mm256_mul_pd(d0, d0), _mm256_mul_pd(d1, d1));
        _mm_storeu_pd(out + k,
                      _mm_add_pd(_mm256_castpd256_pd128(pairs), _mm256_extractf128_pd(pairs, 1)));
    }
    if (k == to) {
        out[k] = stereoPower(_mm256_sub_pd(stereoBin(spectra[0] + k, spectra[1] + k), modelOf(k)));
    }
}

__attribute__((target("avx2"))) void residualsStereoAvx2(
    const float* table, const Partial* partials, const std::complex<float>* amplitudes, int n,
    int lo, int hi, const std::complex<float>* const* spectra, double* out) {
    alignas(32) double model[kMostResidualBins][4];
    const __m256d zero = _mm256_setzero_pd();
    for (int j = 0; j < n - 1; ++j) {
        float window[kRowBins];
        const auto [first, end] = reachedRow(table, partials[j].bins, lo, hi, window);
        const __m256d z = stereoBin(amplitudes + 2 * j, amplitudes + 2 * j + 1);
        if (j == 0) {
            // The first partial sets every bin: its product, or zero out of its reach. A zero
            // model's sign cannot show in the power it leaves.
            for (int k = lo; k < first; ++k) {
                _mm256_store_pd(model[k - lo], zero);
            }
            for (int k = first; k <= end; ++k) {
                _mm256_store_pd(
                    model[k - lo],
                    _mm256_mul_pd(z, _mm256_set1_pd(static_cast<double>(window[k - first]))));
            }
            for (int k = std::max(first, end + 1); k <= hi; ++k) {
                _mm256_store_pd(model[k - lo], zero);
            }
            continue;
        }
        for (int k = first; k <= end; ++k) {
            const __m256d direct = _mm256_set1_pd(static_cast<double>(window[k - first]));
            double* sum = model[k - lo];
            _mm256_store_pd(sum, _mm256_add_pd(_mm256_load_pd(sum), _mm256_mul_pd(z, direct)));
        }
    }
    const int last = n - 1;
    float window[kRowBins];
    const auto [first, end] = reachedRow(table, partials[last].bins, lo, hi, window);
    const __m256d z = stereoBin(amplitudes + 2 * last, amplitudes + 2 * last + 1);
    if (last == 0) {
        residualRun(lo, first - 1, spectra, NoModel{}, out);
        residualRun(first, end, spectra, ModelWithLast<false>{model, lo, window, first, z}, out);
        residualRun(std::max(first, end + 1), hi, spectra, NoModel{}, out);
        return;
    }
    const SummedModel summed{model, lo};
    residualRun(lo, first - 1, spectra, summed, out);
    residualRun(first, end, spectra, ModelWithLast<true>{model, lo, window, first, z}, out);
    residualRun(std::max(first, end + 1), hi, spectra, summed, out);
}

__attribute__((target("avx2"))) void imagesResidualsStereoAvx2(
    const WindowTransform& window, int frameSize, const Partial* partials,
    const std::complex<float>* amplitudes, int n, int lo, int hi,
    const std::complex<float>* const* spectra, double* out) {
    const double image = frameSize;
    int from = 0;
    int to = 0;
    for (int k = lo; k <= hi; ++k) {
        narrowToReach(partials, n, k, from, to);
        const bool images = mayHaveImages(partials, from, to, k, frameSize);
        __m256d model = _mm256_setzero_pd();
        for (int j = from; j < to; ++j) {
            const double nu = partials[j].bins;
            const auto direct = static_cast<double>(window.at(k - nu));
            const auto mirror = images ? static_cast<double>(mirrorOf(window, image, k, nu)) : 0.0;
            const double b = direct + mirror;
            const double c = direct - mirror;
            model = _mm256_add_pd(
                model, _mm256_mul_pd(stereoBin(amplitudes + 2 * j, amplitudes + 2 * j + 1),
                                     _mm256_set_pd(c, b, c, b)));
        }
        out[k] = stereoPower(_mm256_sub_pd(stereoBin(spectra[0] + k, spectra[1] + k), model));
    }
}

__attribute__((target("avx2"))) void imagesStereoAvx2(const ImageBins& bins, int n, int lo, int hi,
                                                      const std::complex<float>* const* spectra,
                                                      double* gramB, double* gramC, double* rhsB,
                                                      double* rhsC) {
    alignas(32) double rowsB[kMaxCluster * kMaxCluster];
    alignas(32) double rowsC[kMaxCluster * kMaxCluster];
    alignas(32) double sides[kMaxCluster][4];
    const __m256d zero = _mm256_setzero_pd();
    for (int j = 0; j < n; ++j) {
        for (int l = 0; l < n; l += 4) {
            _mm256_store_pd(rowsB + j * kMaxCluster + l, zero);
            _mm256_store_pd(rowsC + j * kMaxCluster + l, zero);
        }
        _mm256_store_pd(sides[j], zero);
    }
    for (int k = lo; k <= hi; ++k) {
        const float* b = bins.b[k - lo];
        const float* c = bins.c[k - lo];
        const int from = bins.from[k - lo];
        const int to = bins.to[k - lo];
        const __m256d x = stereoBin(spectra[0] + k, spectra[1] + k);
        const int start = from & ~3;
        for (int j = from; j < to; ++j) {
            const auto bj = static_cast<double>(b[j]);
            const auto cj = static_cast<double>(c[j]);
            _mm256_store_pd(sides[j],
                            _mm256_add_pd(_mm256_load_pd(sides[j]),
                                          _mm256_mul_pd(x, _mm256_set_pd(cj, bj, cj, bj))));
            double* rowB = rowsB + j * kMaxCluster;
            double* rowC = rowsC + j * kMaxCluster;
            for (int l = start; l <= j; l += 4) {
                _mm256_store_pd(rowB + l,
                                _mm256_add_pd(_mm256_load_pd(rowB + l),
                                              _mm256_mul_pd(_mm256_set1_pd(bj),
                                                            _mm256_cvtps_pd(_mm_loadu_ps(b + l)))));
                _mm256_store_pd(rowC + l,
                                _mm256_add_pd(_mm256_load_pd(rowC + l),
                                              _mm256_mul_pd(_mm256_set1_pd(cj),
                                                            _mm256_cvtps_pd(_mm_loadu_ps(c + l)))));
            }
        }
    }
    for (int j = 0; j < n; ++j) {
        for (int l = 0; l <= j; ++l) {
            gramB[j * n + l] = gramB[l * n + j] = rowsB[j * kMaxCluster + l];
            gramC[j * n + l] = gramC[l * n + j] = rowsC[j * kMaxCluster + l];
        }
        for (int ch = 0; ch < 2; ++ch) {
            rhsB[ch * n + j] = sides[j][2 * ch];
            rhsC[ch * n + j] = sides[j][2 * ch + 1];
        }
    }
}

// The first `kRows` rows of a few-partial group's normal matrix, four lanes each, from its
// weights (by bin, from lo): each lane's products summed in order of bin.
template <int kRows>
__attribute__((target("avx2"))) inline void fewRows(const double (*weights)[kFewPartials], int lo,
                                                    int hi, __m256d* rows) {
    for (int k = lo; k <= hi; ++k) {
        const double* bin = weights[k - lo];
        const __m256d b = _mm256_load_pd(bin);
        for (int j = 0; j < kRows; ++j) {
            rows[j] = _mm256_add_pd(rows[j], _mm256_mul_pd(_mm256_broadcast_sd(bin + j), b));
        }
    }
}

__attribute__((target("avx2"))) void apartFewStereoAvx2(const float* table, const Partial* partials,
                                                        int n, int lo, int hi,
                                                        const std::complex<float>* const* spectra,
                                                        double* gram, double (*rhs)[4],
                                                        double (*weights)[kFewPartials]) {
    alignas(32) double spectrum[kFewBins][4];
    const __m256d zero = _mm256_setzero_pd();
    for (int k = lo; k <= hi; ++k) {
        _mm256_store_pd(weights[k - lo], zero);
        _mm256_store_pd(spectrum[k - lo], stereoBin(spectra[0] + k, spectra[1] + k));
    }
    for (int j = 0; j < n; ++j) {
        float window[kRowBins];
        const auto [first, end] = reachedRow(table, partials[j].bins, lo, hi, window);
        __m256d sides = zero;
        for (int k = first; k <= end; ++k) {
            const auto w = static_cast<double>(window[k - first]);
            weights[k - lo][j] = w;
            sides = _mm256_add_pd(
                sides, _mm256_mul_pd(_mm256_load_pd(spectrum[k - lo]), _mm256_set1_pd(w)));
        }
        _mm256_storeu_pd(rhs[j], sides);
    }
    if (n == 2) {
        // A pair's whole matrix in one register, (w₀·w₀, w₀·w₁, w₁·w₀, w₁·w₁) a bin: its rows'
        // products, each lane summed in order of bin as below.
        __m256d pair = zero;
        for (int k = lo; k <= hi; ++k) {
            const __m256d across =
                _mm256_broadcast_pd(reinterpret_cast<const __m128d*>(weights[k - lo]));
            const __m256d down = _mm256_permute4x64_pd(across, 0x50);
            pair = _mm256_add_pd(pair, _mm256_mul_pd(down, across));
        }
        _mm256_storeu_pd(gram, pair);
        return;
    }
    __m256d rows[kFewPartials] = {zero, zero, zero, zero};
    if (n == 3) {
        fewRows<3>(weights, lo, hi, rows);
    } else {
        fewRows<kFewPartials>(weights, lo, hi, rows);
    }
    // Each row's first n lanes, stored straight from its register (through memory, the rows
    // were kept on the stack bin after bin and copied a call at a time).
    switch (n) {
        case 4:
            for (int j = 0; j < 4; ++j) {
                _mm256_storeu_pd(gram + 4 * j, rows[j]);
            }
            return;
        case 3:
            for (int j = 0; j < 3; ++j) {
                _mm_storeu_pd(gram + 3 * j, _mm256_castpd256_pd128(rows[j]));
                _mm_store_sd(gram + 3 * j + 2, _mm256_extractf128_pd(rows[j], 1));
            }
            return;
        default:
            _mm_store_sd(gram, _mm256_castpd256_pd128(rows[0]));
    }
}

// The model of a bin from apartFewStereoAvx2()'s weights: each partial's product added in
// order, a partial out of the bin's reach with a zero weight.
struct FewModel {
    const double (*weights)[kFewPartials];
    const __m256d* z;
    int n;
    int lo;
    [[nodiscard]] __attribute__((target("avx2"))) __m256d operator()(int k) const {
        const double* w = weights[k - lo];
        __m256d model = _mm256_mul_pd(z[0], _mm256_set1_pd(w[0]));
        for (int j = 1; j < n; ++j) {
            model = _mm256_add_pd(model, _mm256_mul_pd(z[j], _mm256_set1_pd(w[j])));
        }
        return model;
    }
};

__attribute__((target("avx2"))) bool fewResidualsStereoAvx2(
    const double (*weights)[kFewPartials], const std::complex<float>* amplitudes, int n, int lo,
    int hi, const std::complex<float>* const* spectra, double* out) {
    __m256d z[kFewPartials];
    const __m256d sign = _mm256_set1_pd(-0.0);
    const __m256d infinity = _mm256_set1_pd(HUGE_VAL);
    __m256d finite = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
    for (int j = 0; j < n; ++j) {
        z[j] = stereoBin(amplitudes + 2 * j, amplitudes + 2 * j + 1);
        finite = _mm256_and_pd(finite,
                               _mm256_cmp_pd(_mm256_andnot_pd(sign, z[j]), infinity, _CMP_LT_OQ));
    }
    if (_mm256_movemask_pd(finite) != 0xF) {
        return false;
    }
    residualRun(lo, hi, spectra, FewModel{weights, z, n, lo}, out);
    return true;
}

__attribute__((target("avx2"))) void singleStereoAvx2(const float* table, double nu, int lo, int hi,
                                                      const std::complex<float>* const* spectra,
                                                      std::complex<float>* out, double* residuals) {
    float window[8];
    windowRow(table, lo, nu, 1, window);
    double gram = 0.0;
    __m256d rhs = _mm256_setzero_pd();
    for (int k = lo; k <= hi; ++k) {
        const float b = window[k - lo];
        gram += static_cast<double>(b) * b;
        rhs = _mm256_add_pd(rhs, _mm256_mul_pd(stereoBin(spectra[0] + k, spectra[1] + k),
                                               _mm256_set1_pd(static_cast<double>(b))));
    }
    gram += 1e-9 * gram + 1e-30;
    _mm_storeu_ps(reinterpret_cast<float*>(out),
                  _mm256_cvtpd_ps(_mm256_div_pd(rhs, _mm256_set1_pd(gram))));
    if (residuals != nullptr) {
        const ModelWithLast<false> model{nullptr, lo, window, lo, stereoBin(out, out + 1)};
        residualRun(lo, hi, spectra, model, residuals);
    }
}

__attribute__((target("avx2"))) void eightBinsAvx2(const float* table, int first, double nu,
                                                   float* out) {
    windowRow(table, first, nu, 1, out);
}

// The window's slope at first + t − nu for t = 0 … 15, as WindowTransform::slope() takes it:
// the difference of the values two table steps either side, in single precision, over their
// distance in double.
__attribute__((target("avx2"))) inline void slopeRow(const float* table, int first, double nu,
                                                     double* out) {
    float above[kRowBins];
    float below[kRowBins];
    windowRow(table, first, nu, kRowBins / 8, above, kSlopeStep);
    windowRow(table, first, nu, kRowBins / 8, below, -kSlopeStep);
    const __m256d width = _mm256_set1_pd(2.0 * kSlopeStep);
    for (int t = 0; t < kRowBins; t += 4) {
        const __m128 difference = _mm_sub_ps(_mm_loadu_ps(above + t), _mm_loadu_ps(below + t));
        const __m128 slope = _mm256_cvtpd_ps(_mm256_div_pd(_mm256_cvtps_pd(difference), width));
        _mm256_storeu_pd(out + t, _mm256_cvtps_pd(slope));
    }
}

__attribute__((target("avx2"))) void stepFrequenciesStereoAvx2(
    const float* table, const Partial* partials, const std::complex<float>* amplitudes, int n,
    int run, int m, int lo, int hi, const std::complex<float>* const* spectra, double* normal,
    double* gradient, double& residualEnergy, double& ownEnergy) {
    alignas(32) double model[kRowBins][4];
    const __m256d zero = _mm256_setzero_pd();
    for (int k = lo; k <= hi; ++k) {
        _mm256_store_pd(model[k - lo], zero);
    }
    for (int j = 0; j < n; ++j) {
        const double nu = partials[j].bins;
        const int start = rowStart(nu);
        const int first = std::max(lo, start);
        const int end = std::min(hi, rowEnd(nu, start));
        float window[kRowBins];
        windowRow(table, first, nu, end - first < 8 ? 1 : 2, window);
        const __m256d z = stereoBin(amplitudes + 2 * j, amplitudes + 2 * j + 1);
        for (int k = first; k <= end; ++k) {
            const __m256d direct = _mm256_set1_pd(static_cast<double>(window[k - first]));
            double* sum = model[k - lo];
            _mm256_store_pd(sum, _mm256_add_pd(_mm256_load_pd(sum), _mm256_mul_pd(z, direct)));
        }
    }
    // Each run partial's slope over the bins, and its amplitudes negated, lane by partial.
    alignas(32) double slopes[kRowBins][kFewRun] = {};
    alignas(32) double re[2][kFewRun] = {};
    alignas(32) double im[2][kFewRun] = {};
    for (int j = 0; j < m; ++j) {
        double row[kRowBins];
        slopeRow(table, lo, partials[run + j].bins, row);
        for (int k = lo; k <= hi; ++k) {
            slopes[k - lo][j] = row[k - lo];
        }
        for (int ch = 0; ch < 2; ++ch) {
            const std::complex<float> z = amplitudes[2 * (run + j) + ch];
            re[ch][j] = -static_cast<double>(z.real());
            im[ch][j] = -static_cast<double>(z.imag());
        }
    }
    __m256d rows[kFewRun] = {zero, zero, zero, zero};
    __m256d sums = zero;
    for (int k = lo; k <= hi; ++k) {
        const __m256d x = stereoBin(spectra[0] + k, spectra[1] + k);
        const __m256d r = _mm256_sub_pd(x, _mm256_load_pd(model[k - lo]));
        alignas(32) double rPower[4];
        alignas(32) double xPower[4];
        alignas(32) double residual[4];
        const __m256d rSquares = _mm256_mul_pd(r, r);
        const __m256d xSquares = _mm256_mul_pd(x, x);
        _mm256_store_pd(rPower, _mm256_hadd_pd(rSquares, rSquares));
        _mm256_store_pd(xPower, _mm256_hadd_pd(xSquares, xSquares));
        _mm256_store_pd(residual, r);
        const __m256d slope = _mm256_load_pd(slopes[k - lo]);
        for (int ch = 0; ch < 2; ++ch) {
            residualEnergy += rPower[2 * ch];
            ownEnergy += xPower[2 * ch];
            const __m256d dr = _mm256_mul_pd(_mm256_load_pd(re[ch]), slope);
            const __m256d di = _mm256_mul_pd(_mm256_load_pd(im[ch]), slope);
            sums = _mm256_add_pd(
                sums, _mm256_add_pd(_mm256_mul_pd(dr, _mm256_set1_pd(residual[2 * ch])),
                                    _mm256_mul_pd(di, _mm256_set1_pd(residual[2 * ch + 1]))));
            alignas(32) double drs[kFewRun];
            alignas(32) double dis[kFewRun];
            _mm256_store_pd(drs, dr);
            _mm256_store_pd(dis, di);
            for (int j = 0; j < m; ++j) {
                rows[j] = _mm256_add_pd(rows[j],
                                        _mm256_add_pd(_mm256_mul_pd(_mm256_set1_pd(drs[j]), dr),
                                                      _mm256_mul_pd(_mm256_set1_pd(dis[j]), di)));
            }
        }
    }
    alignas(32) double lanes[kFewRun];
    _mm256_store_pd(lanes, sums);
    for (int j = 0; j < m; ++j) {
        gradient[j] = lanes[j];
    }
    for (int j = 0; j < m; ++j) {
        _mm256_store_pd(lanes, rows[j]);
        for (int l = 0; l < m; ++l) {
            normal[j * m + l] = lanes[l];
        }
    }
}

__attribute__((target("avx2"))) bool rowsMatch(const WindowTransform& window, const float* table) {
    for (const double nu : {100.0, 100.3, 517.77, 1023.5001}) {
        float row[kRowBins];
        const int start = rowStart(nu);
        windowRow(table, start, nu, kRowBins / 8, row);
        double slopes[kRowBins];
        slopeRow(table, start, nu, slopes);
        for (int t = 0; t < kRowBins; ++t) {
            // Slopes are taken only where both their values lie within the table.
            const bool sloped = t > 0 && t < kRowBins - 1;
            if (row[t] != window.at(start + t - nu) ||
                (sloped && slopes[t] != static_cast<double>(window.slope(start + t - nu)))) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace brimo::timepitch::fitkernels
