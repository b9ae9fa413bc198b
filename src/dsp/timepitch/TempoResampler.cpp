#include "dsp/timepitch/TempoResampler.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

#include "dsp/timepitch/VectorLoops.h"

namespace brimo::timepitch {

namespace {

// Eight running sums, so the loop vectorises without reassociating anything: the resampler's
// hot loop, built for AVX2 as well and chosen once the processor is known.
inline float dotOf(const float* w, const float* x, int count) {
    float s[8] = {};
    int i = 0;
    for (; i + 8 <= count; i += 8) {
        for (int l = 0; l < 8; ++l) {
            s[l] += w[i + l] * x[i + l];
        }
    }
    for (; i < count; ++i) {
        s[0] += w[i] * x[i];
    }
    return ((s[0] + s[4]) + (s[1] + s[5])) + ((s[2] + s[6]) + (s[3] + s[7]));
}

float dotPlain(const float* w, const float* x, int count) {
    return dotOf(w, x, count);
}

__attribute__((target("avx2,fma"))) float dotAvx2(const float* w, const float* x, int count) {
    return dotOf(w, x, count);
}

// The polyphase path: the weights, read between rows a and b at alpha, applied to every
// channel. Eight running sums per channel, as in dotOf.
inline void rowDotPlain(const float* a, const float* b, float alpha, const float* const* x,
                        float* out, int channels, int count) {
    for (int c = 0; c < channels; ++c) {
        float s[8] = {};
        int i = 0;
        for (; i + 8 <= count; i += 8) {
            for (int l = 0; l < 8; ++l) {
                s[l] += (a[i + l] + alpha * (b[i + l] - a[i + l])) * x[c][i + l];
            }
        }
        for (; i < count; ++i) {
            s[0] += (a[i] + alpha * (b[i] - a[i])) * x[c][i];
        }
        out[c] = ((s[0] + s[4]) + (s[1] + s[5])) + ((s[2] + s[6]) + (s[3] + s[7]));
    }
}

__attribute__((target("avx2,fma"))) inline float sumOf(__m256 v) {
    const __m128 half = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
    const __m128 pairs = _mm_add_ps(half, _mm_movehl_ps(half, half));
    return _mm_cvtss_f32(_mm_add_ss(pairs, _mm_shuffle_ps(pairs, pairs, 1)));
}

// Written out, the weights formed eight at a time in a register and applied to two channels at
// once: left to itself the compiler stores them and reads them back per channel.
__attribute__((target("avx2,fma"))) inline void rowDotAvx2(const float* a, const float* b,
                                                           float alpha, const float* const* x,
                                                           float* out, int channels, int count) {
    const __m256 blend = _mm256_set1_ps(alpha);
    for (int c = 0; c < channels; c += 2) {
        const bool pair = c + 1 < channels;
        const float* x0 = x[c];
        const float* x1 = pair ? x[c + 1] : x[c];
        __m256 s0 = _mm256_setzero_ps();
        __m256 s1 = _mm256_setzero_ps();
        int i = 0;
        for (; i + 8 <= count; i += 8) {
            const __m256 lo = _mm256_loadu_ps(a + i);
            const __m256 w = _mm256_fmadd_ps(blend, _mm256_sub_ps(_mm256_loadu_ps(b + i), lo), lo);
            s0 = _mm256_fmadd_ps(w, _mm256_loadu_ps(x0 + i), s0);
            s1 = _mm256_fmadd_ps(w, _mm256_loadu_ps(x1 + i), s1);
        }
        float sum0 = sumOf(s0);
        float sum1 = sumOf(s1);
        for (; i < count; ++i) {
            const float w = a[i] + alpha * (b[i] - a[i]);
            sum0 += w * x0[i];
            sum1 += w * x1[i];
        }
        out[c] = sum0;
        if (pair) {
            out[c + 1] = sum1;
        }
    }
}

// One frame on at `rate`: the whole part of the fraction moves into `whole`.
inline void stepOn(std::int64_t& whole, double& fraction, double rate) {
    fraction += rate;
    const double step = std::floor(fraction);
    whole += static_cast<std::int64_t>(step);
    fraction -= step;
}

// The polyphase row below a read position's fraction, and how far (`alpha`) it lies towards
// the next row.
inline int rowOf(const TempoResampler::RowRead& read, double fraction, float& alpha) {
    const double d = fraction * read.steps;
    const auto row = static_cast<int>(d);
    alpha = static_cast<float>(d - row);
    return row;
}

// A frame's reads at (whole, fraction): each channel's history from the frame's first tap into
// `reads`, and the row its weights start from (the next row follows it), `alpha` of the way on.
inline const float* frameReads(const TempoResampler::RowRead& read, std::int64_t whole,
                               double fraction, const float** reads, float& alpha) {
    const std::ptrdiff_t first = whole - read.span - read.base;
    for (int c = 0; c < read.channels; ++c) {
        reads[c] = read.history[c] + first;
    }
    return read.phases + static_cast<std::ptrdiff_t>(rowOf(read, fraction, alpha)) * read.taps;
}

// Frames at rates up to 1, read on from `read` at `rate`: every frame's weights lie between
// two polyphase rows. One call per render rather than per frame.
void readRowsPlain(const TempoResampler::RowRead& read, float* const* out, std::uint32_t frames,
                   double rate, std::int64_t& whole, double& fraction) {
    const float* reads[TempoResampler::kMaxChannels];
    float sample[TempoResampler::kMaxChannels];
    for (std::uint32_t t = 0; t < frames; ++t) {
        float alpha = 0.0F;
        const float* a = frameReads(read, whole, fraction, reads, alpha);
        rowDotPlain(a, a + read.taps, alpha, reads, sample, read.channels, read.taps);
        for (int c = 0; c < read.channels; ++c) {
            out[c][t] = sample[c];
        }
        stepOn(whole, fraction, rate);
    }
}

// Tap i's weights for eight frames (at = i · the column stride): the rows' values, read
// between rows at alpha as rowDotAvx2 reads them.
__attribute__((target("avx2,fma"))) inline __m256 eightWeights(const float* columns,
                                                               const float* slopes,
                                                               std::ptrdiff_t at, __m256i lane,
                                                               __m256 alpha) {
    const __m256 a = _mm256_permutevar8x32_ps(_mm256_loadu_ps(columns + at), lane);
    const __m256 d = _mm256_permutevar8x32_ps(_mm256_loadu_ps(slopes + at), lane);
    return _mm256_fmadd_ps(alpha, d, a);
}

// Eight frames from `first` on (the history index of frame t's first tap) that read eight
// consecutive source frames, with rows that lie within eight of `lowest`: tap by tap, the
// eight frames' weights come from the column tables by one permute each, the same values
// rowDotAvx2 forms, and each frame's sum runs down the taps in a lane (two partial sums, so the
// additions overlap). Writes out[c][0 … 7].
__attribute__((target("avx2,fma"))) void readEightAvx2(const TempoResampler::RowRead& read,
                                                       float* const* out, std::ptrdiff_t first,
                                                       int lowest, __m256i rows, __m256 alpha) {
    const __m256i lane = _mm256_sub_epi32(rows, _mm256_set1_epi32(lowest));
    const float* columns = read.columns + lowest;
    const float* slopes = read.slopes + lowest;
    const std::ptrdiff_t stride = read.columnStride;
    for (int c = 0; c < read.channels; c += 2) {
        const bool pair = c + 1 < read.channels;
        const float* x0 = read.history[c] + first;
        const float* x1 = read.history[pair ? c + 1 : c] + first;
        __m256 s0 = _mm256_setzero_ps();
        __m256 s1 = _mm256_setzero_ps();
        __m256 u0 = _mm256_setzero_ps();
        __m256 u1 = _mm256_setzero_ps();
        int i = 0;
        for (; i + 2 <= read.taps; i += 2) {
            const __m256 w = eightWeights(columns, slopes, i * stride, lane, alpha);
            s0 = _mm256_fmadd_ps(w, _mm256_loadu_ps(x0 + i), s0);
            s1 = _mm256_fmadd_ps(w, _mm256_loadu_ps(x1 + i), s1);
            const __m256 v = eightWeights(columns, slopes, (i + 1) * stride, lane, alpha);
            u0 = _mm256_fmadd_ps(v, _mm256_loadu_ps(x0 + i + 1), u0);
            u1 = _mm256_fmadd_ps(v, _mm256_loadu_ps(x1 + i + 1), u1);
        }
        if (i < read.taps) {
            const __m256 w = eightWeights(columns, slopes, i * stride, lane, alpha);
            s0 = _mm256_fmadd_ps(w, _mm256_loadu_ps(x0 + i), s0);
            s1 = _mm256_fmadd_ps(w, _mm256_loadu_ps(x1 + i), s1);
        }
        _mm256_storeu_ps(out[c], _mm256_add_ps(s0, u0));
        if (pair) {
            _mm256_storeu_ps(out[c + 1], _mm256_add_ps(s1, u1));
        }
    }
}

// As readRows<rowDotAvx2>, written out: a default-target template cannot take the AVX2 dot
// product inline, and the call per frame cost a tenth of the resampler. Near rate 1 (a clock
// trim) frames go eight at a time through readEightAvx2 wherever they can: the rows move by a
// twentieth per frame at 100 ppm, and about one per frame at 0.2 %.
__attribute__((target("avx2,fma"))) void readRowsAvx2(const TempoResampler::RowRead& read,
                                                      float* const* out, std::uint32_t frames,
                                                      double rate, std::int64_t& whole,
                                                      double& fraction) {
    const float* reads[TempoResampler::kMaxChannels];
    float sample[TempoResampler::kMaxChannels];
    float* block[TempoResampler::kMaxChannels];
    std::uint32_t t = 0;
    while (t < frames) {
        if (t + 8 <= frames && read.columns != nullptr) {
            // The next eight frames' read positions, by the same steps as one at a time.
            alignas(32) int rows[8];
            alignas(32) float alphas[8];
            std::int64_t w = whole;
            double f = fraction;
            bool consecutive = true;
            for (int l = 0; l < 8; ++l) {
                consecutive = consecutive && w == whole + l;
                rows[l] = rowOf(read, f, alphas[l]);
                stepOn(w, f, rate);
            }
            // Rows move one way within a block: the first and the last bound them.
            const int lowest = std::min(rows[0], rows[7]);
            if (consecutive && std::max(rows[0], rows[7]) - lowest < 8) {
                for (int c = 0; c < read.channels; ++c) {
                    block[c] = out[c] + t;
                }
                readEightAvx2(read, block, whole - read.span - read.base, lowest,
                              _mm256_load_si256(reinterpret_cast<const __m256i*>(rows)),
                              _mm256_load_ps(alphas));
                whole = w;
                fraction = f;
                t += 8;
                continue;
            }
        }
        float alpha = 0.0F;
        const float* a = frameReads(read, whole, fraction, reads, alpha);
        rowDotAvx2(a, a + read.taps, alpha, reads, sample, read.channels, read.taps);
        for (int c = 0; c < read.channels; ++c) {
            out[c][t] = sample[c];
        }
        stepOn(whole, fraction, rate);
        ++t;
    }
}

}  // namespace

namespace {

// Kaiser window shape: side lobes near −100 dB, so the interpolation error stays far below
// anything audible while the kernel stays 48 taps long.
constexpr double kKaiserBeta = 10.0;

double besselI0(double x) {
    double sum = 1.0;
    double term = 1.0;
    for (int k = 1; k < 50; ++k) {
        term *= (x / (2.0 * k)) * (x / (2.0 * k));
        sum += term;
        if (term < 1e-17 * sum) {
            break;
        }
    }
    return sum;
}

}  // namespace

void TempoResampler::prepare(int channels, std::uint32_t maxSlice, std::uint32_t maxFrames) {
    channels_ = std::clamp(channels, 1, kMaxChannels);
    const bool avx2 = vectorLoopsEnabled();
    dot_ = avx2 ? dotAvx2 : dotPlain;
    readRows_ = avx2 ? readRowsAvx2 : readRowsPlain;
    maxSlice_ = std::max<std::uint32_t>(1, maxSlice);
    maxFrames_ = std::max<std::uint32_t>(1, maxFrames);
    const int steps = kZeroCrossings * kStepsPerCrossing;
    table_.assign(static_cast<std::size_t>(steps) + 2, 0.0F);
    const double norm = besselI0(kKaiserBeta);
    for (int i = 0; i <= steps; ++i) {
        const double x = static_cast<double>(i) / kStepsPerCrossing;
        const double sinc = i == 0 ? 1.0 : std::sin(std::numbers::pi * x) / (std::numbers::pi * x);
        const double u = x / kZeroCrossings;
        const double window = besselI0(kKaiserBeta * std::sqrt(std::max(0.0, 1.0 - u * u))) / norm;
        table_[static_cast<std::size_t>(i)] = static_cast<float>(sinc * window);
    }
    // Row p: the taps at source frames m = −Z … Z + 1 around a read position p / steps past a
    // whole frame, at distance m − p / steps. One row more closes the last interval.
    phases_.assign((static_cast<std::size_t>(kStepsPerCrossing) + 1) * kTaps, 0.0F);
    for (int p = 0; p <= kStepsPerCrossing; ++p) {
        for (int i = 0; i < kTaps; ++i) {
            const double x = (i - kZeroCrossings) - static_cast<double>(p) / kStepsPerCrossing;
            phases_[static_cast<std::size_t>(p) * kTaps + static_cast<std::size_t>(i)] = kernel(x);
        }
    }
    // The same, tap by tap (columns, and each row's step to the next as the slopes), for
    // reading eight frames' weights at once; eight rows of slack past the last.
    columns_.assign(static_cast<std::size_t>(kTaps) * kColumnStride, 0.0F);
    slopes_.assign(static_cast<std::size_t>(kTaps) * kColumnStride, 0.0F);
    for (int i = 0; i < kTaps; ++i) {
        for (int p = 0; p < kStepsPerCrossing; ++p) {
            const float a =
                phases_[static_cast<std::size_t>(p) * kTaps + static_cast<std::size_t>(i)];
            const float b =
                phases_[static_cast<std::size_t>(p + 1) * kTaps + static_cast<std::size_t>(i)];
            const auto at =
                static_cast<std::size_t>(i) * kColumnStride + static_cast<std::size_t>(p);
            columns_[at] = a;
            slopes_[at] = b - a;
        }
    }
    const auto reach = static_cast<std::int64_t>(std::ceil(kZeroCrossings * kMaxRate)) + 2;
    weights_.assign(static_cast<std::size_t>(2 * reach + 2), 0.0F);
    pullPointers_.assign(static_cast<std::size_t>(channels_), nullptr);
    capacity_ = 2 * (static_cast<std::int64_t>(std::ceil(maxFrames_ * kMaxRate)) + 2 * reach +
                     maxSlice_ + 4);
    history_.assign(static_cast<std::size_t>(capacity_ * channels_), 0.0F);
    reset();
}

void TempoResampler::reset() {
    std::fill(history_.begin(), history_.end(), 0.0F);
    // Frames before the source's first one are silence.
    base_ = -capacity_ / 2;
    sourceEnd_ = 0;
    whole_ = 0;
    fraction_ = 0.0;
}

float TempoResampler::kernel(double x) const {
    const double d = std::abs(x) * kStepsPerCrossing;
    const auto i = static_cast<std::int64_t>(d);
    if (i >= static_cast<std::int64_t>(kZeroCrossings) * kStepsPerCrossing) {
        return 0.0F;
    }
    const auto f = static_cast<float>(d - static_cast<double>(i));
    const float a = table_[static_cast<std::size_t>(i)];
    return a + f * (table_[static_cast<std::size_t>(i + 1)] - a);
}

void TempoResampler::pullUntil(std::int64_t end, SourcePull source) {
    if (end - base_ > capacity_) {
        // Keep what the kernel can still reach behind the read position. What lies past the kept
        // part is not cleared: the pulls below clear every slice before the source fills it, and
        // nothing reads past what was pulled.
        const auto reach = static_cast<std::int64_t>(std::ceil(kZeroCrossings * kMaxRate)) + 2;
        const std::int64_t keepFrom = whole_ - reach;
        const std::int64_t shift = keepFrom - base_;
        const auto kept = static_cast<std::size_t>(capacity_ - shift);
        for (int c = 0; c < channels_; ++c) {
            float* start = history_.data() + static_cast<std::ptrdiff_t>(c) * capacity_;
            std::memmove(start, start + shift, kept * sizeof(float));
        }
        base_ = keepFrom;
    }
    while (sourceEnd_ < end) {
        const auto frames =
            static_cast<std::uint32_t>(std::min<std::int64_t>(maxSlice_, end - sourceEnd_));
        for (int c = 0; c < channels_; ++c) {
            float* slice = at(c, sourceEnd_);
            std::fill(slice, slice + frames, 0.0F);
            pullPointers_[static_cast<std::size_t>(c)] = slice;
        }
        if (source.pull != nullptr) {
            source.pull(source.context, pullPointers_.data(), frames);
        }
        sourceEnd_ += frames;
    }
}

void TempoResampler::produce(float* const* out, std::uint32_t frames, double rate,
                             SourcePull source) {
    frames = std::min(frames, maxFrames_);
    rate = std::clamp(rate, kMinRate, kMaxRate);
    // Above rate 1 the kernel widens so its cut-off falls to the new Nyquist frequency.
    // Up to a few per cent above 1 what would alias lands in the kernel's own transition band,
    // above 23 kHz at 48 kHz, so the fast fixed kernel stays in use for clock trims.
    const double scale = std::max(1.0, rate * kStretchFactor);
    const double reach = kZeroCrossings * scale;
    const auto last = static_cast<std::int64_t>(
        std::floor(static_cast<double>(whole_) + fraction_ + frames * rate + reach));
    pullUntil(last + 2, source);

    if (rate == 1.0 && fraction_ == 0.0) {
        for (int c = 0; c < channels_; ++c) {
            std::copy_n(at(c, whole_), frames, out[c]);
        }
        whole_ += frames;
        return;
    }
    const auto span = static_cast<std::int64_t>(std::floor(reach));
    if (scale == 1.0) {
        // Rows of the polyphase table hold the taps for fractions p / steps; each frame's
        // fraction falls between two rows, and its weights are read between them.
        const float* history[kMaxChannels];
        for (int c = 0; c < channels_; ++c) {
            history[c] = at(c, base_);
        }
        const RowRead read{
            phases_.data(), history,           base_,           span,           channels_,
            kTaps,          kStepsPerCrossing, columns_.data(), slopes_.data(), kColumnStride};
        readRows_(read, out, frames, rate, whole_, fraction_);
        return;
    }
    const int count = static_cast<int>(2 * span + 2);
    for (std::uint32_t t = 0; t < frames; ++t) {
        const std::int64_t first = whole_ - span;
        const double inverseScale = 1.0 / scale;
        for (int i = 0; i < count; ++i) {
            const double x = (static_cast<double>(i - span) - fraction_) * inverseScale;
            weights_[static_cast<std::size_t>(i)] = kernel(x) * static_cast<float>(inverseScale);
        }
        for (int c = 0; c < channels_; ++c) {
            out[c][t] = dot_(weights_.data(), at(c, first), count);
        }
        stepOn(whole_, fraction_, rate);
    }
}

}  // namespace brimo::timepitch
