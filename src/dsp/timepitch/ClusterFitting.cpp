#include <immintrin.h>

#include <algorithm>
#include <cmath>

#include "dsp/timepitch/AnalysisTuning.h"
#include "dsp/timepitch/ChannelCount.h"
#include "dsp/timepitch/PartialAnalyzer.h"
#include "dsp/timepitch/SymmetricSolve.h"
#include "dsp/timepitch/VectorLoops.h"

namespace brimo::timepitch {

using namespace analysis;

namespace {

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

// The window table's steps per bin (WindowTransform's), checked where the copy is made.
constexpr int kTableSteps = 1024;
// Each partial's window values in the loops below: the sixteen bins within kReach of it.
constexpr int kRowBins = 2 * kReach;

// The first bin within kReach of a partial at `nu` (not negative), by the test nearby() makes.
inline int rowStart(double nu) {
    return static_cast<int>(nu) - kReach + 1;
}

// Whether the partials from `partials` are in order of frequency and not below DC, as the
// window rows take them (each row then holds every bin in which nearby() finds its partial).
inline bool rowsHold(const Partial* partials, int n) {
    if (!(partials[0].bins >= 0.0)) {
        return false;
    }
    for (int j = 1; j < n; ++j) {
        if (!(partials[j - 1].bins <= partials[j].bins)) {
            return false;
        }
    }
    return true;
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

// Every partial's window row, and the bin it starts at.
__attribute__((target("avx2"))) inline void windowRows(const float* table, const Partial* partials,
                                                       int n, float (*rows)[kRowBins],
                                                       int* starts) {
    for (int j = 0; j < n; ++j) {
        starts[j] = rowStart(partials[j].bins);
        windowRow(table, starts[j], partials[j].bins, kRowBins / 8, rows[j]);
    }
}

// The normal equations of a stereo group without mirror images, as fitClusterApart() forms
// them: `gram` (n×n) whole, and each partial's right-hand sides as (B₀, C₀, B₁, C₁).
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

// The most bins a group's residuals are taken over at once in the loops below (a group of
// kMaxCluster partials less than kClusterGap apart spans fewer).
constexpr int kMostResidualBins = 96;

// The last bin within kReach of a partial at `nu` whose row starts at `start`, by the test
// nearby() makes.
inline int rowEnd(double nu, int start) {
    const int end = start + kRowBins - 1;
    return nu > end - kReach ? end : end - 1;
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

// What clusterResiduals() leaves in each bin [lo, hi] (at most kMostResidualBins) of a stereo
// group without mirror images, for the partials' amplitudes `amplitudes` (partial after partial,
// channel by channel). Partial by partial: each bin's model still sums its partials in order.
// The last partial's products are not stored but added as each bin's residual is taken, and a
// lone partial's model is never stored at all.
__attribute__((target("avx2"))) void residualsStereoAvx2(
    const float* table, const Partial* partials, const std::complex<float>* amplitudes, int n,
    int lo, int hi, const std::complex<float>* const* spectra, double* out) {
    alignas(32) double model[kMostResidualBins][4];
    const __m256d zero = _mm256_setzero_pd();
    for (int j = 0; j < n - 1; ++j) {
        const double nu = partials[j].bins;
        const int start = rowStart(nu);
        // Only the bins of [lo, hi] the row reaches.
        const int first = std::max(lo, start);
        const int end = std::min(hi, rowEnd(nu, start));
        float window[kRowBins];
        windowRow(table, first, nu, end - first < 8 ? 1 : 2, window);
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
    const double nu = partials[last].bins;
    const int start = rowStart(nu);
    const int first = std::max(lo, start);
    const int end = std::min(hi, rowEnd(nu, start));
    float window[kRowBins];
    windowRow(table, first, nu, end - first < 8 ? 1 : 2, window);
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

// The window transform's mirror images of a partial at `nu` in `bin`, at −ν and N − ν for a
// frame of N = `image` samples: mirrorAt(), for the loops to take inline.
inline float mirrorOf(const WindowTransform& window, double image, int bin, double nu) {
    if (bin + nu >= 3 * kReach && bin + nu - image <= -3 * kReach) {
        return 0.0F;
    }
    return window.at(bin + nu) + window.at(bin + nu - image);
}

// What residualPower() leaves in each bin [lo, hi] of a stereo group with mirror images (next to
// DC or the Nyquist frequency): bin by bin, the partials near it found and their window values
// and images looked up as models() finds and looks them up, each partial's four products added
// side by side in order.
__attribute__((target("avx2"))) void imagesResidualsStereoAvx2(
    const WindowTransform& window, int frameSize, const Partial* partials,
    const std::complex<float>* amplitudes, int n, int lo, int hi,
    const std::complex<float>* const* spectra, double* out) {
    const double image = frameSize;
    int from = 0;
    int to = 0;
    for (int k = lo; k <= hi; ++k) {
        while (from < n && partials[from].bins <= k - kReach) {
            ++from;
        }
        to = std::max(to, from);
        while (to < n && partials[to].bins < k + kReach) {
            ++to;
        }
        const bool images = from < to && (k + partials[from].bins < 3 * kReach ||
                                          k + partials[to - 1].bins - frameSize > -3 * kReach);
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

// A group's window values with their mirror images, bin by bin (from its first), for
// imagesStereoAvx2(): b for the real parts, c for the imaginary ones, zero for every partial
// outside [from, to) of the bin.
struct ImageBins {
    float b[kMostResidualBins][kMaxCluster];
    float c[kMostResidualBins][kMaxCluster];
    int from[kMostResidualBins];
    int to[kMostResidualBins];
};

// fitCluster()'s sums for a stereo group with mirror images over the bins [lo, hi]: both normal
// matrices whole and the right-hand sides in its layout (every channel's for the real parts,
// then those for the imaginary ones). As apartStereoAvx2(), a bin's two channels side by side
// and the rows four lanes a step; the same products in the same order.
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

// The most partials and bins of the groups apartFewStereoAvx2() takes.
constexpr int kFewPartials = 4;
constexpr int kFewBins = 32;

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

// apartStereoAvx2() for the most common groups, of up to four partials over at most 32 bins,
// with each partial's normal-matrix row and right-hand sides in registers. Bin by bin, every
// partial's window values side by side (zero where a partial is out of reach: its lanes add
// zero) make each row's four sums one product and one addition; each lane still sums the same
// products in order of bin. The full rows are formed, not the lower half mirrored: a product
// and its transpose are the same, so the two halves are too. The right-hand sides are summed
// partial by partial over the bins in reach only (a zero weight would turn an infinite
// spectrum into NaN where the plain loops leave it out).
// The weights are left in `weights` (by bin, from lo) for fewResidualsStereoAvx2().
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
        const double nu = partials[j].bins;
        const int start = rowStart(nu);
        const int first = std::max(lo, start);
        const int end = std::min(hi, rowEnd(nu, start));
        float window[kRowBins];
        windowRow(table, first, nu, end - first < 8 ? 1 : 2, window);
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

// What residualsStereoAvx2() leaves in each bin [lo, hi] of a group whose sums
// apartFewStereoAvx2() formed, from its weights and the group's new amplitudes. A zero weight's
// product is a zero, which leaves a bin's power as it is where the plain loops leave the partial
// out, as long as every amplitude is finite: false, and nothing taken, where one is not.
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

// fitSingle() for a stereo partial without mirror images over the bins [lo, lo + 7] at most:
// the amplitudes of both channels, as (re₀, im₀, re₁, im₁), into `out`.
// With `residuals`, also what residualsStereoAvx2() leaves in each of the bins for the new
// amplitudes, from the same window values.
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

// windowRow() for the eight bins from `first`, for the plain loops.
__attribute__((target("avx2"))) void eightBinsAvx2(const float* table, int first, double nu,
                                                   float* out) {
    windowRow(table, first, nu, 1, out);
}

// The window's slope at first + t − nu for t = 0 … 15, as WindowTransform::slope() takes it:
// the difference of the values two table steps either side, in single precision, over their
// distance in double.
constexpr double kSlopeStep = 2.0 / kTableSteps;

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

// The most partials of a run stepFrequenciesStereoAvx2() takes.
constexpr int kFewRun = 4;

// What stepFrequencies() sums over the bins [lo, hi] (at most 16, every one within kReach of
// every partial of the run) for a stereo group of `n` partials without mirror images whose
// run of `m` partials from `run` is stepped: the normal matrix (m×m, whole: its halves are the
// same products), the gradient and the residual and own energies. The same terms in the same
// order as the plain loops, the run's partials side by side in four lanes.
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

// Whether windowRow() and slopeRow() from `table` give what `window` gives, for a few
// partials' rows.
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

}  // namespace

int PartialAnalyzer::clusterEnd(int first, bool jointFit) const {
    int end = first + 1;
    if (!jointFit) {
        return end;
    }
    while (end < cur_->fitCount && end - first < kMaxCluster &&
           cur_->partials[static_cast<std::size_t>(end)].bins -
                   cur_->partials[static_cast<std::size_t>(end - 1)].bins <
               kClusterGap) {
        ++end;
    }
    return end;
}

void PartialAnalyzer::prepareFits() {
    static_assert(kFitTableSize == kReach * kTableSteps + 2);
    // The window's table for the fits' lookups depends on the frame size alone: taken here, off
    // the real-time thread, and the vector loops run only where it gives window_'s own values.
    vectorFits_ = channels_ == 2 && vectorLoops_;
    fresh_.prepare(bins_, maxPartials_);
    if (vectorFits_) {
        for (int i = 0; i < kFitTableSize; ++i) {
            fitTable_[static_cast<std::size_t>(i)] =
                window_.at(static_cast<double>(i) / kTableSteps);
        }
        vectorFits_ = rowsMatch(window_, fitTable_.data());
    }
}

void PartialAnalyzer::fitAmplitudes(const std::complex<float>* const* spectra, bool jointFit,
                                    bool onlyChanged) {
    fresh_.clear();
    keepFresh_ = onlyChanged;
    for (int first = 0; first < cur_->fitCount;) {
        const int end = clusterEnd(first, jointFit);
        const Partial& lead = cur_->partials[static_cast<std::size_t>(first)];
        bool changed = !onlyChanged || lead.groupSize != end - first;
        for (int j = first; j < end; ++j) {
            Partial& partial = cur_->partials[static_cast<std::size_t>(j)];
            changed = changed || partial.moved || partial.fitGroup != lead.fitGroup;
            partial.moved = false;
        }
        if (changed) {
            fitCluster(spectra, first, end);
        }
        first = end;
    }
    keepFresh_ = false;
}

void PartialAnalyzer::fitCluster(const std::complex<float>* const* spectra, int first, int last) {
    const int n = last - first;
    if (n == 1) {
        fitSingle(spectra, first);
        return;
    }
    const int lo =
        std::max(0, nearestBin(cur_->partials[static_cast<std::size_t>(first)].bins) - kLobe);
    const int hi = std::min(
        bins_ - 1, nearestBin(cur_->partials[static_cast<std::size_t>(last - 1)].bins) + kLobe);

    // Real and imaginary parts of the data decouple: Re X = Σ x_j·B_j and Im X = Σ y_j·C_j,
    // with B and C the window transform at the partial plus or minus its mirror images. Only
    // partials near a bin reach it; farther ones are below the fit's tolerance there.
    // Only the parts in use are cleared: most groups are single partials, and clearing the
    // whole arrays cost more than their fits.
    double gramB[kMaxCluster * kMaxCluster];
    double gramC[kMaxCluster * kMaxCluster];
    // Away from DC and the Nyquist frequency (nearly every group) no partial has mirror
    // images in the group's bins, so B and C are the same and one system serves both parts.
    const bool apart = !nearEdge(lo, first, last) && !nearEdge(hi, first, last);
    const Partial* group = &cur_->partials[static_cast<std::size_t>(first)];
    if (apart && vectorFits_ && rowsHold(group, n)) {
        double sides[kMaxCluster][4];
        alignas(32) double weights[kFewBins][kFewPartials];
        const bool few = n <= kFewPartials && hi - lo < kFewBins;
        if (few) {
            apartFewStereoAvx2(fitTable_.data(), group, n, lo, hi, spectra, gramB, sides, weights);
        } else {
            apartStereoAvx2(fitTable_.data(), group, n, lo, hi, spectra, gramB, sides);
        }
        solveSymmetricFour(gramB, n, sides);
        markFitted(first, n);
        for (int j = 0; j < n; ++j) {
            std::complex<float>* z = &cur_->amplitudes[amplitudeIndex(first + j, 0)];
            z[0] = {static_cast<float>(sides[j][0]), static_cast<float>(sides[j][1])};
            z[1] = {static_cast<float>(sides[j][2]), static_cast<float>(sides[j][3])};
        }
        // The judgement of the new fit needs its residuals, which its weights give cheaply.
        if (few && keepFresh_) {
            double* residuals = keepFreshResiduals(first, lo, hi);
            if (residuals != nullptr &&
                !fewResidualsStereoAvx2(weights, &cur_->amplitudes[amplitudeIndex(first, 0)], n, lo,
                                        hi, spectra, residuals)) {
                fresh_.dropLast();
            }
        }
        return;
    }
    // Every channel's right-hand sides for B, then those for C.
    double rhs[2 * kMaxChannels * kMaxCluster];
    double* rhsB = rhs;
    double* rhsC = rhs + static_cast<std::ptrdiff_t>(channels_) * n;
    std::fill_n(gramB, n * n, 0.0);
    std::fill_n(rhs, 2 * channels_ * n, 0.0);
    if (apart) {
        fitClusterApart(spectra, first, n, lo, hi, gramB, rhsB, rhsC);
        solveSymmetric(gramB, n, rhs, 2 * channels_);
        storeFit(first, n, rhsB, rhsC);
        return;
    }
    std::fill_n(gramC, n * n, 0.0);
    if (vectorFits_ && hi - lo < kMostResidualBins) {
        // Each bin's window values with their images, zero for the partials out of reach, for
        // the vector loops to sum.
        ImageBins bins;  // NOLINT(cppcoreguidelines-pro-type-member-init): each bin set below
        int from = 0;
        int to = 0;
        for (int k = lo; k <= hi; ++k) {
            nearby(first, n, k, from, to);
            const bool images = nearEdge(k, first + from, first + to);
            float* b = bins.b[k - lo];
            float* c = bins.c[k - lo];
            std::fill_n(b, kMaxCluster, 0.0F);
            std::fill_n(c, kMaxCluster, 0.0F);
            for (int j = from; j < to; ++j) {
                const double nu =
                    cur_->partials[static_cast<std::size_t>(first) + static_cast<std::size_t>(j)]
                        .bins;
                const float direct = window_.at(k - nu);
                const float mirror = images ? mirrorOf(window_, frameSize_, k, nu) : 0.0F;
                b[j] = direct + mirror;
                c[j] = direct - mirror;
            }
            bins.from[k - lo] = from;
            bins.to[k - lo] = to;
        }
        imagesStereoAvx2(bins, n, lo, hi, spectra, gramB, gramC, rhsB, rhsC);
        solveSymmetric(gramB, n, rhsB, channels_);
        solveSymmetric(gramC, n, rhsC, channels_);
        storeFit(first, n, rhsB, rhsC);
        return;
    }
    float b[kMaxCluster];
    float c[kMaxCluster];
    int from = 0;
    int to = 0;
    for (int k = lo; k <= hi; ++k) {
        nearby(first, n, k, from, to);
        const bool images = nearEdge(k, first + from, first + to);
        for (int j = from; j < to; ++j) {
            const double nu =
                cur_->partials[static_cast<std::size_t>(first) + static_cast<std::size_t>(j)].bins;
            const float direct = window_.at(k - nu);
            const float mirror = images ? mirrorAt(k, nu) : 0.0F;
            b[j] = direct + mirror;
            c[j] = direct - mirror;
        }
        for (int j = from; j < to; ++j) {
            for (int l = from; l <= j; ++l) {
                gramB[j * n + l] += static_cast<double>(b[j]) * b[l];
                gramC[j * n + l] += static_cast<double>(c[j]) * c[l];
            }
            for (int ch = 0; ch < channels_; ++ch) {
                const std::complex<float> x = spectra[ch][k];
                rhsB[ch * n + j] += static_cast<double>(x.real()) * b[j];
                rhsC[ch * n + j] += static_cast<double>(x.imag()) * c[j];
            }
        }
    }
    for (int j = 0; j < n; ++j) {
        for (int l = 0; l < j; ++l) {
            gramB[l * n + j] = gramB[j * n + l];
            gramC[l * n + j] = gramC[j * n + l];
        }
    }
    solveSymmetric(gramB, n, rhsB, channels_);
    solveSymmetric(gramC, n, rhsC, channels_);
    storeFit(first, n, rhsB, rhsC);
}

void PartialAnalyzer::fitClusterApart(const std::complex<float>* const* spectra, int first, int n,
                                      int lo, int hi, double* gram, double* rhsB,
                                      double* rhsC) const {
    // As fitCluster without images: one window value per partial and bin.
    withChannels(channels_, [&](auto channels) {
        float b[kMaxCluster];
        int from = 0;
        int to = 0;
        for (int k = lo; k <= hi; ++k) {
            nearby(first, n, k, from, to);
            for (int j = from; j < to; ++j) {
                b[j] = window_.at(
                    k -
                    cur_->partials[static_cast<std::size_t>(first) + static_cast<std::size_t>(j)]
                        .bins);
            }
            for (int j = from; j < to; ++j) {
                for (int l = from; l <= j; ++l) {
                    gram[j * n + l] += static_cast<double>(b[j]) * b[l];
                }
                for (int ch = 0; ch < channels; ++ch) {
                    const std::complex<float> x = spectra[ch][k];
                    rhsB[ch * n + j] += static_cast<double>(x.real()) * b[j];
                    rhsC[ch * n + j] += static_cast<double>(x.imag()) * b[j];
                }
            }
        }
    });
    for (int j = 0; j < n; ++j) {
        for (int l = 0; l < j; ++l) {
            gram[l * n + j] = gram[j * n + l];
        }
    }
}

void PartialAnalyzer::markFitted(int first, int n) {
    ++fits_;
    for (int j = 0; j < n; ++j) {
        Partial& partial =
            cur_->partials[static_cast<std::size_t>(first) + static_cast<std::size_t>(j)];
        partial.fitGroup = fits_;
        partial.groupSize = n;
    }
}

void PartialAnalyzer::storeFit(int first, int n, const double* rhsB, const double* rhsC) {
    markFitted(first, n);
    for (int j = 0; j < n; ++j) {
        withChannels(channels_, [&](auto channels) {
            for (int ch = 0; ch < channels; ++ch) {
                cur_->amplitudes[amplitudeIndex(first + j, ch)] = {
                    static_cast<float>(rhsB[ch * n + j]), static_cast<float>(rhsC[ch * n + j])};
            }
        });
    }
}

void PartialAnalyzer::fitSingle(const std::complex<float>* const* spectra, int index) {
    // The general fit for one partial: a 1×1 system per part, with the same ridge.
    Partial& partial = cur_->partials[static_cast<std::size_t>(index)];
    const double nu = partial.bins;
    const int centre = nearestBin(nu);
    const int lo = std::max(0, centre - kLobe);
    const int hi = std::min(bins_ - 1, centre + kLobe);
    const bool images = nearEdge(lo, index, index + 1) || nearEdge(hi, index, index + 1);
    if (!images && vectorFits_ && nu >= 0.0 && hi - lo < 8) {
        markFitted(index, 1);
        singleStereoAvx2(fitTable_.data(), nu, lo, hi, spectra,
                         &cur_->amplitudes[amplitudeIndex(index, 0)],
                         keepFresh_ ? keepFreshResiduals(index, lo, hi) : nullptr);
        return;
    }
    double gramB = 0.0;
    double gramC = 0.0;
    double rhsB[kMaxChannels] = {};
    double rhsC[kMaxChannels] = {};
    withChannels(channels_, [&](auto channels) {
        for (int k = lo; k <= hi; ++k) {
            const float direct = window_.at(k - nu);
            const float mirror = images ? mirrorAt(k, nu) : 0.0F;
            const float b = direct + mirror;
            const float c = direct - mirror;
            gramB += static_cast<double>(b) * b;
            gramC += static_cast<double>(c) * c;
            for (int ch = 0; ch < channels; ++ch) {
                const std::complex<float> x = spectra[ch][k];
                rhsB[ch] += static_cast<double>(x.real()) * b;
                rhsC[ch] += static_cast<double>(x.imag()) * c;
            }
        }
    });
    gramB += 1e-9 * gramB + 1e-30;
    gramC += 1e-9 * gramC + 1e-30;
    markFitted(index, 1);
    for (int ch = 0; ch < channels_; ++ch) {
        cur_->amplitudes[amplitudeIndex(index, ch)] = {static_cast<float>(rhsB[ch] / gramB),
                                                       static_cast<float>(rhsC[ch] / gramC)};
    }
}

bool PartialAnalyzer::nearEdge(int bin, int from, int to) const {
    // As mirrorAt: only partials this close to DC or the Nyquist frequency have images there.
    return from < to &&
           (bin + cur_->partials[static_cast<std::size_t>(from)].bins < 3 * kReach ||
            bin + cur_->partials[static_cast<std::size_t>(to) - 1].bins - frameSize_ > -3 * kReach);
}

void PartialAnalyzer::nearby(int first, int n, int bin, int& from, int& to) const {
    while (from < n &&
           cur_->partials[static_cast<std::size_t>(first) + static_cast<std::size_t>(from)].bins <=
               bin - kReach) {
        ++from;
    }
    to = std::max(to, from);
    while (to < n &&
           cur_->partials[static_cast<std::size_t>(first) + static_cast<std::size_t>(to)].bins <
               bin + kReach) {
        ++to;
    }
}

float PartialAnalyzer::mirrorAt(int bin, double nu) const {
    // The images at −ν and N − ν matter only near DC and the Nyquist frequency; there, out to
    // 24 bins, where the window's side lobes fall below the fit's own error (a low partial's
    // image taken only to 8 bins left its level and phase wrong by −70 dB, frame after frame).
    return mirrorOf(window_, frameSize_, bin, nu);
}

void PartialAnalyzer::models(int first, int n, int bin, int& from, int& to,
                             std::complex<double>* out) const {
    nearby(first, n, bin, from, to);
    // z·direct + conj(z)·mirror, in real arithmetic (complex arithmetic does not vectorise);
    // the window lookups are shared by every channel.
    const bool images = nearEdge(bin, first + from, first + to);
    withChannels(channels_, [&](auto channels) {
        double re[kMaxChannels] = {};
        double im[kMaxChannels] = {};
        for (int l = first + from; l < first + to; ++l) {
            const double nu = cur_->partials[static_cast<std::size_t>(l)].bins;
            const auto direct = static_cast<double>(window_.at(bin - nu));
            const auto mirror = images ? static_cast<double>(mirrorAt(bin, nu)) : 0.0;
            const std::complex<float>* z = &cur_->amplitudes[amplitudeIndex(l, 0)];
            for (int ch = 0; ch < channels; ++ch) {
                re[ch] += static_cast<double>(z[ch].real()) * (direct + mirror);
                im[ch] += static_cast<double>(z[ch].imag()) * (direct - mirror);
            }
        }
        for (int ch = 0; ch < channels; ++ch) {
            out[ch] = {re[ch], im[ch]};
        }
    });
}

double PartialAnalyzer::residualPower(const std::complex<float>* const* spectra, int first, int n,
                                      int bin, int& from, int& to) const {
    std::complex<double> model[kMaxChannels];
    models(first, n, bin, from, to, model);
    double residual = 0.0;
    for (int ch = 0; ch < channels_; ++ch) {
        residual += std::norm(std::complex<double>(spectra[ch][bin]) - model[ch]);
    }
    return residual;
}

void PartialAnalyzer::solveCloseFrequencies(const std::complex<float>* const* spectra) {
    // Partials within each other's main lobe bias each other's peaks and phase advances;
    // where such a run's fit leaves much unexplained, its frequencies are solved together with
    // the amplitudes (Gauss-Newton on the frequencies, the amplitudes refitted at every step).
    // Farther partials take part in the model only.
    for (int first = 0; first < cur_->fitCount;) {
        const int end = clusterEnd(first, true);
        for (int run = first; run < end;) {
            int runEnd = run + 1;
            while (runEnd < end &&
                   cur_->partials[static_cast<std::size_t>(runEnd)].bins -
                           cur_->partials[static_cast<std::size_t>(runEnd - 1)].bins <
                       kLobeOverlap) {
                ++runEnd;
            }
            double unexplained = 1.0;
            for (int iteration = 0; runEnd - run > 1 && iteration < kFrequencySteps; ++iteration) {
                const double before = unexplained;
                unexplained = stepFrequencies(spectra, first, end - first, run, runEnd);
                // Converged, or decaying and gliding partials the step cannot help.
                if (unexplained <= kSolvedShare || unexplained > kNoiseShare ||
                    unexplained > 0.8 * before) {
                    break;
                }
                fitCluster(spectra, first, end);
            }
            run = runEnd;
        }
        first = end;
    }
}

double PartialAnalyzer::stepFrequencies(const std::complex<float>* const* spectra, int first, int n,
                                        int runFirst, int runEnd) {
    int lo =
        std::max(1, nearestBin(cur_->partials[static_cast<std::size_t>(runFirst)].bins) - kLobe);
    const int hi = std::min(
        bins_ - 2, nearestBin(cur_->partials[static_cast<std::size_t>(runEnd - 1)].bins) + kLobe);
    const int m = runEnd - runFirst;
    double normal[kMaxCluster * kMaxCluster];
    double gradient[kMaxCluster];
    std::fill_n(normal, m * m, 0.0);
    std::fill_n(gradient, m, 0.0);
    std::complex<double> derivative[kMaxCluster];
    double residualEnergy = 0.0;
    double ownEnergy = 0.0;
    int from = 0;
    int to = 0;
    std::complex<double> model[kMaxChannels];
    double slope[kMaxCluster];
    // The vector loops take short runs whose every slope lies within the copied table.
    const Partial* group = &cur_->partials[static_cast<std::size_t>(first)];
    const double inside = kReach - 2.0 * kSlopeStep;
    if (vectorFits_ && m <= kFewRun && hi - lo < kRowBins && rowsHold(group, n) &&
        !nearEdge(lo, first, first + n) && !nearEdge(hi, first, first + n) &&
        hi - cur_->partials[static_cast<std::size_t>(runFirst)].bins < inside &&
        cur_->partials[static_cast<std::size_t>(runEnd - 1)].bins - lo < inside) {
        stepFrequenciesStereoAvx2(fitTable_.data(), group,
                                  &cur_->amplitudes[amplitudeIndex(first, 0)], n, runFirst - first,
                                  m, lo, hi, spectra, normal, gradient, residualEnergy, ownEnergy);
        lo = hi + 1;  // nothing left for the plain loop
    }
    for (int k = lo; k <= hi; ++k) {
        models(first, n, k, from, to, model);
        // The window's slope is the same for every channel; the real parts of the conjugate
        // products are taken in real arithmetic.
        for (int j = 0; j < m; ++j) {
            slope[j] = static_cast<double>(window_.slope(
                k - cur_->partials[static_cast<std::size_t>(runFirst) + static_cast<std::size_t>(j)]
                        .bins));
        }
        withChannels(channels_, [&](auto channels) {
            for (int ch = 0; ch < channels; ++ch) {
                const std::complex<double> r = std::complex<double>(spectra[ch][k]) - model[ch];
                residualEnergy += std::norm(r);
                ownEnergy += std::norm(std::complex<double>(spectra[ch][k]));
                for (int j = 0; j < m; ++j) {
                    derivative[j] = -std::complex<double>(amplitude(runFirst + j, ch)) * slope[j];
                }
                for (int j = 0; j < m; ++j) {
                    const double dr = derivative[j].real();
                    const double di = derivative[j].imag();
                    gradient[j] += dr * r.real() + di * r.imag();
                    for (int l = 0; l <= j; ++l) {
                        normal[j * m + l] += dr * derivative[l].real() + di * derivative[l].imag();
                    }
                }
            }
        });
    }
    const double unexplained = ownEnergy > 0.0 ? residualEnergy / ownEnergy : 0.0;
    if (unexplained <= kSolvedShare) {
        return unexplained;
    }
    for (int j = 0; j < m; ++j) {
        for (int l = 0; l < j; ++l) {
            normal[l * m + j] = normal[j * m + l];
        }
    }
    solveSymmetric(normal, m, gradient, 1);
    for (int j = 0; j < m; ++j) {
        Partial& partial =
            cur_->partials[static_cast<std::size_t>(runFirst) + static_cast<std::size_t>(j)];
        partial.bins += std::clamp(gradient[j], -kLargestFrequencyStep, kLargestFrequencyStep);
        partial.moved = true;
    }
    // Steps may reorder neighbours; the fit needs them in order.
    std::sort(cur_->partials.begin() + runFirst, cur_->partials.begin() + runEnd,
              [](const Partial& a, const Partial& b) { return a.bins < b.bins; });
    return unexplained;
}

void PartialAnalyzer::discoverHidden(const std::complex<float>* const* spectra, bool jointFit) {
    // Where the fit of a group of partials leaves a peak of unexplained power, one more
    // partial is taken to hide there (close partials that never showed peaks of their own).
    const int known = cur_->fitCount;
    const int before = cur_->count;
    kept_.clear();
    markOccupied();
    for (int first = 0; first < known;) {
        const int end = clusterEnd(first, jointFit);
        const int n = end - first;
        const int lo =
            std::max(1, nearestBin(cur_->partials[static_cast<std::size_t>(first)].bins) - kLobe);
        const int hi = std::min(
            bins_ - 2, nearestBin(cur_->partials[static_cast<std::size_t>(end - 1)].bins) + kLobe);
        double* residuals = keepResiduals(first, n, lo - 1, hi + 1);
        clusterResiduals(spectra, first, n, lo - 1, hi + 1, residuals);
        double best = 0.0;
        int bestBin = -1;
        double unexplained = 0.0;
        double held = 0.0;
        if (lo > hi) {
            // A group beyond the band's edge (frequency steps may take it there): no bin to
            // search, so no partial to add.
            first = end;
            continue;
        }
        // The sums over [lo − 1, hi + 1] in order of bin, their inner bins in the same walk as
        // the search.
        unexplained += residuals[lo - 1];
        held += power_[static_cast<std::size_t>(lo) - 1];
        for (int k = lo; k <= hi; ++k) {
            const double at = residuals[k];
            const double power = power_[static_cast<std::size_t>(k)];
            unexplained += at;
            held += power;
            // A local maximum of the unexplained power.
            if (at > residuals[k - 1] && at >= residuals[k + 1] && at >= kDiscoverShare * power &&
                at > best) {
                best = at;
                bestBin = k;
            }
        }
        unexplained += residuals[hi + 1];
        held += power_[static_cast<std::size_t>(hi) + 1];
        // Noise leaves peaks of unexplained power everywhere; only a group the fit mostly
        // explains has a partial missing.
        if (bestBin > 0 && unexplained <= kNoiseShare * held) {
            addPartial(bestBin + unexplainedPeakOffset(residuals, bestBin), -1);
        }
        first = end;
    }
    if (cur_->count > before) {
        sortPartials();
    }
}

double PartialAnalyzer::unexplainedPeakOffset(const double* residuals, int bin) {
    // A parabola through the logarithms of the unexplained power around its peak.
    double level[3];
    const double* around = residuals + bin - 1;
    for (int i = 0; i < 3; ++i) {
        level[i] = std::log(around[i] + 1e-30);
    }
    const double curvature = level[0] - 2.0 * level[1] + level[2];
    return curvature < 0.0 ? std::clamp(0.5 * (level[0] - level[2]) / curvature, -0.5, 0.5) : 0.0;
}

double* PartialAnalyzer::keepResiduals(int first, int n, int lo, int hi) {
    const Partial& lead = cur_->partials[static_cast<std::size_t>(first)];
    // Only a group that is exactly one fit's, at the frequencies it was fitted at, and has no
    // mirror images in its bins (so that any narrower span takes the same path).
    bool whole =
        lead.groupSize == n && !nearEdge(lo, first, first + n) && !nearEdge(hi, first, first + n);
    for (int j = first; j < first + n && whole; ++j) {
        const Partial& partial = cur_->partials[static_cast<std::size_t>(j)];
        whole = partial.fitGroup == lead.fitGroup && !partial.moved;
    }
    double* out =
        whole
            ? kept_.take(
                  {.fit = lead.fitGroup, .leadBins = lead.bins, .first = first, .lo = lo, .hi = hi})
            : nullptr;
    return out != nullptr ? out : binResidual_.data();
}

const double* PartialAnalyzer::keptResiduals(int first, int n) {
    const Partial& lead = cur_->partials[static_cast<std::size_t>(first)];
    if (lead.groupSize != n) {
        return nullptr;
    }
    for (int j = first + 1; j < first + n; ++j) {
        if (cur_->partials[static_cast<std::size_t>(j)].fitGroup != lead.fitGroup) {
            return nullptr;
        }
    }
    // Groups come in order of frequency in both walks.
    while (kept_.cursor < kept_.count &&
           kept_.entries[static_cast<std::size_t>(kept_.cursor)].leadBins < lead.bins) {
        ++kept_.cursor;
    }
    if (kept_.cursor == kept_.count) {
        return nullptr;
    }
    const ResidualStore::Entry& kept = kept_.entries[static_cast<std::size_t>(kept_.cursor)];
    return kept.fit == lead.fitGroup ? kept_.residuals(kept) : nullptr;
}

double* PartialAnalyzer::keepFreshResiduals(int first, int lo, int hi) {
    const Partial& lead = cur_->partials[static_cast<std::size_t>(first)];
    return fresh_.take(
        {.fit = lead.fitGroup, .leadBins = lead.bins, .first = first, .lo = lo, .hi = hi});
}

const double* PartialAnalyzer::freshResiduals(int first, int n, int lo, int hi) {
    // Groups come in order in both walks.
    while (fresh_.cursor < fresh_.count &&
           fresh_.entries[static_cast<std::size_t>(fresh_.cursor)].first < first) {
        ++fresh_.cursor;
    }
    if (fresh_.cursor == fresh_.count) {
        return nullptr;
    }
    const ResidualStore::Entry& fresh = fresh_.entries[static_cast<std::size_t>(fresh_.cursor)];
    const Partial& lead = cur_->partials[static_cast<std::size_t>(first)];
    // The same partials (a fit marks exactly its own), at the frequencies and over the bins
    // they were fitted at and over.
    if (fresh.first != first || fresh.fit != lead.fitGroup || lead.groupSize != n ||
        fresh.leadBins != lead.bins || fresh.lo != lo || fresh.hi != hi) {
        return nullptr;
    }
    for (int j = first + 1; j < first + n; ++j) {
        if (cur_->partials[static_cast<std::size_t>(j)].fitGroup != lead.fitGroup) {
            return nullptr;
        }
    }
    return fresh_.residuals(fresh);
}

void PartialAnalyzer::clusterResiduals(const std::complex<float>* const* spectra, int first, int n,
                                       int lo, int hi, double* out) const {
    const bool images = nearEdge(lo, first, first + n) || nearEdge(hi, first, first + n);
    const Partial* group = &cur_->partials[static_cast<std::size_t>(first)];
    if (!images && vectorFits_ && hi - lo < kMostResidualBins && rowsHold(group, n)) {
        residualsStereoAvx2(fitTable_.data(), group, &cur_->amplitudes[amplitudeIndex(first, 0)], n,
                            lo, hi, spectra, out);
        return;
    }
    if (n > 1 && images && vectorFits_) {
        imagesResidualsStereoAvx2(window_, frameSize_, group,
                                  &cur_->amplitudes[amplitudeIndex(first, 0)], n, lo, hi, spectra,
                                  out);
        return;
    }
    if (n > 1 && images) {
        int from = 0;
        int to = 0;
        for (int k = lo; k <= hi; ++k) {
            out[k] = residualPower(spectra, first, n, k, from, to);
        }
        return;
    }
    withChannels(channels_, [&](auto channels) {
        if (n > 1) {
            // What residualPower() does without mirror images, which no partial of the group
            // has in its bins away from DC and the Nyquist frequency.
            int from = 0;
            int to = 0;
            for (int k = lo; k <= hi; ++k) {
                nearby(first, n, k, from, to);
                // Cleared whole: a fixed size is a few stores, a variable one a call.
                double re[kMaxChannels] = {};
                double im[kMaxChannels] = {};
                for (int l = first + from; l < first + to; ++l) {
                    const auto direct = static_cast<double>(
                        window_.at(k - cur_->partials[static_cast<std::size_t>(l)].bins));
                    const std::complex<float>* z = &cur_->amplitudes[amplitudeIndex(l, 0)];
                    for (int ch = 0; ch < channels; ++ch) {
                        re[ch] += static_cast<double>(z[ch].real()) * direct;
                        im[ch] += static_cast<double>(z[ch].imag()) * direct;
                    }
                }
                double residual = 0.0;
                for (int ch = 0; ch < channels; ++ch) {
                    const double dr = static_cast<double>(spectra[ch][k].real()) - re[ch];
                    const double di = static_cast<double>(spectra[ch][k].imag()) - im[ch];
                    residual += dr * dr + di * di;
                }
                out[k] = residual;
            }
            return;
        }
        // One partial: what models() and residualPower() do, without looking for neighbours.
        const double nu = cur_->partials[static_cast<std::size_t>(first)].bins;
        const std::complex<float>* z = &cur_->amplitudes[amplitudeIndex(first, 0)];
        for (int k = lo; k <= hi; ++k) {
            const bool reaches = k - nu > -kReach && k - nu < kReach;
            const auto direct = reaches ? static_cast<double>(window_.at(k - nu)) : 0.0;
            const auto mirror = reaches && images ? static_cast<double>(mirrorAt(k, nu)) : 0.0;
            double residual = 0.0;
            for (int ch = 0; ch < channels; ++ch) {
                const std::complex<double> model{
                    static_cast<double>(z[ch].real()) * (direct + mirror),
                    static_cast<double>(z[ch].imag()) * (direct - mirror)};
                residual += std::norm(std::complex<double>(spectra[ch][k]) - model);
            }
            out[k] = residual;
        }
    });
}

void PartialAnalyzer::judgeFit(const std::complex<float>* const* spectra, bool jointFit) {
    kept_.cursor = 0;
    fresh_.cursor = 0;
    withChannels(channels_, [&](auto channels) {
        for (int j = cur_->fitCount; j < cur_->count; ++j) {
            Partial& partial = cur_->partials[static_cast<std::size_t>(j)];
            const Partial* previous =
                partial.previous >= 0 ? &prev_->partials[static_cast<std::size_t>(partial.previous)]
                                      : nullptr;
            partial.fitsWell = false;
            partial.isShifted = false;
            partial.hasFitted = previous != nullptr && previous->hasFitted;
            partial.misfits = (previous != nullptr ? previous->misfits : kGraceFrames) + 1;
            // Not fitted: no amplitude for the next frame to measure a phase advance against.
            for (int ch = 0; ch < channels; ++ch) {
                cur_->amplitudes[amplitudeIndex(j, ch)] = {};
            }
        }
    });
    const double peak = static_cast<double>(window_.at(0.0));
    for (int first = 0; first < cur_->fitCount;) {
        const int end = clusterEnd(first, jointFit);
        const int n = end - first;
        // Every partial's lobe lies within the group's span; each bin's residual is taken once,
        // here or, for a group whose fit stayed as it was, already while looking for hidden
        // partials (a span that holds this one).
        // Or, for a group refitted since, while it was.
        const int lo =
            std::max(0, nearestBin(cur_->partials[static_cast<std::size_t>(first)].bins) - kLobe);
        const int hi = std::min(
            bins_ - 1, nearestBin(cur_->partials[static_cast<std::size_t>(end - 1)].bins) + kLobe);
        const double* residuals = freshResiduals(first, n, lo, hi);
        if (residuals == nullptr) {
            residuals = keptResiduals(first, n);
        }
        if (residuals == nullptr) {
            clusterResiduals(spectra, first, n, lo, hi, binResidual_.data());
            residuals = binResidual_.data();
        }
        for (int j = first; j < end; ++j) {
            Partial& partial = cur_->partials[static_cast<std::size_t>(j)];
            const int centre = nearestBin(partial.bins);
            double residual = 0.0;
            double own = 0.0;
            double held = 0.0;
            double fitted = 0.0;
            float lobe[8];
            const bool rowed = vectorFits_ && partial.bins >= 0.0;
            if (rowed) {
                eightBinsAvx2(fitTable_.data(), centre - kLobe, partial.bins, lobe);
            }
            withChannels(channels_, [&](auto channels) {
                for (int k = std::max(0, centre - kLobe); k <= std::min(bins_ - 1, centre + kLobe);
                     ++k) {
                    const double direct =
                        rowed ? lobe[k - centre + kLobe] : window_.at(k - partial.bins);
                    for (int ch = 0; ch < channels; ++ch) {
                        own += std::norm(std::complex<double>(amplitude(j, ch))) * direct * direct;
                    }
                    residual += residuals[k];
                }
                // A fit that explains the bins with much more energy than they hold is two
                // close partials cancelling each other, not a description of the sound.
                for (int ch = 0; ch < channels; ++ch) {
                    held += std::norm(spectra[ch][std::clamp(centre, 0, bins_ - 1)]);
                }
                for (int ch = 0; ch < channels; ++ch) {
                    fitted += std::norm(std::complex<double>(amplitude(j, ch))) * peak * peak;
                }
            });
            const bool plausible = fitted <= 4.0 * held;
            const double share = own > 0.0 && plausible ? residual / own : 1e30;
            partial.fitsWell = share <= kFitTolerance;
            partial.hasFitted =
                partial.fitsWell ||
                (partial.previous >= 0 &&
                 prev_->partials[static_cast<std::size_t>(partial.previous)].hasFitted);
            partial.isShifted = partial.fitsWell && partial.previous >= 0;
            partial.misfits =
                partial.fitsWell
                    ? 0
                    : (partial.previous >= 0
                           ? prev_->partials[static_cast<std::size_t>(partial.previous)].misfits
                           : kGraceFrames) +
                          1;
        }
        first = end;
    }
}

}  // namespace brimo::timepitch
