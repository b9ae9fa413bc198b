#pragma once

#include <atomic>
#include <cstddef>
#include <tuple>
#include <utility>

namespace brimo::hal {

// Counters that real-time threads keep in atomics and readers take as one plain copy, declared
// once: a struct template over the cell type (`Counts<std::atomic>` counts, `Counts<PlainCount>`
// is the copy) whose static constexpr `fields()` lists its members once, in order. Both cells
// come from the same list, so a field cannot land in another's place; snapshotOf refuses to
// compile when the list is shorter than the struct.

template <typename T>
using PlainCount = T;

namespace detail {

// Stands for a value of whatever type a field has.
struct AnyField {
    template <typename T>
    constexpr operator T() const {
        return T{};
    }
};

template <typename T, std::size_t... I>
constexpr bool bracesTake(std::index_sequence<I...> /*fields*/) {
    return requires {
        T{(static_cast<void>(I), AnyField{})...};
    };
}

// The fields of a plain aggregate: the most values a braced initializer takes.
template <typename T, std::size_t N = 0>
constexpr std::size_t fieldCount() {
    if constexpr (bracesTake<T>(std::make_index_sequence<N + 1>{})) {
        return fieldCount<T, N + 1>();
    } else {
        return N;
    }
}

}  // namespace detail

// Every field loaded once, in the list's order; each load is exact, the set is not one instant
// (the writers do not stop for it).
template <template <template <typename> class> class Counts>
[[nodiscard]] Counts<PlainCount> snapshotOf(const Counts<std::atomic>& counts) {
    using Plain = Counts<PlainCount>;
    constexpr auto from = Counts<std::atomic>::fields();
    constexpr auto to = Plain::fields();
    constexpr std::size_t listed = std::tuple_size_v<decltype(to)>;
    static_assert(listed == detail::fieldCount<Plain>(), "fields() must list every field");
    Plain plain;
    [&]<std::size_t... I>(std::index_sequence<I...> /*fields*/) {
        ((plain.*std::get<I>(to) = (counts.*std::get<I>(from)).load()), ...);
    }
    (std::make_index_sequence<listed>{});
    return plain;
}

}  // namespace brimo::hal
