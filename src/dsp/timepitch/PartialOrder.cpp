#include "dsp/timepitch/PartialOrder.h"

#include <algorithm>
#include <limits>
#include <type_traits>

namespace brimo::timepitch {

namespace {

// std::merge of the index lists a and b by key(), ties taken from a first, into out; returns
// whether out is in order, as std::is_sorted would find it. One pass: each key is read once,
// and the order is checked on the keys at hand.
template <typename Key>
bool mergeInOrder(const std::int32_t* a, int aCount, const std::int32_t* b, int bCount,
                  std::int32_t* out, Key key) {
    using Value = decltype(key(0));
    static_assert(std::numeric_limits<Value>::has_infinity || std::is_integral_v<Value>);
    // Below every key, so the first one taken is in order (whatever it is, as for is_sorted).
    Value last = std::numeric_limits<Value>::has_infinity ? -std::numeric_limits<Value>::infinity()
                                                          : std::numeric_limits<Value>::lowest();
    bool inOrder = true;
    const auto take = [&](std::int32_t index, Value at) {
        inOrder &= !(at < last);
        last = at;
        *out++ = index;
    };
    int i = 0;
    int j = 0;
    if (aCount > 0 && bCount > 0) {
        Value fromA = key(a[0]);
        Value fromB = key(b[0]);
        for (;;) {
            if (fromB < fromA) {
                take(b[j], fromB);
                if (++j == bCount) {
                    break;
                }
                fromB = key(b[j]);
            } else {
                take(a[i], fromA);
                if (++i == aCount) {
                    break;
                }
                fromA = key(a[i]);
            }
        }
    }
    for (; i < aCount; ++i) {
        take(a[i], key(a[i]));
    }
    for (; j < bCount; ++j) {
        take(b[j], key(b[j]));
    }
    return inOrder;
}

}  // namespace

void mergeByFrequency(const Partial* partials, const std::int32_t* a, int aCount,
                      const std::int32_t* b, int bCount, std::int32_t* out, bool byPeak) {
    const auto mergeBy = [&](auto key) {
        if (!mergeInOrder(a, aCount, b, bCount, out, key)) {
            // Frequencies stay within a bin of their peaks, so rarely the two orders differ.
            std::sort(out, out + aCount + bCount,
                      [key](std::int32_t x, std::int32_t y) { return key(x) < key(y); });
        }
    };
    // The key chosen once, not in every comparison.
    if (byPeak) {
        mergeBy([partials](std::int32_t x) { return partials[x].peakBin; });
    } else {
        mergeBy([partials](std::int32_t x) { return partials[x].bins; });
    }
}

}  // namespace brimo::timepitch
