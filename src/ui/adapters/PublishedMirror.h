#pragma once

#include <QObject>
#include <QString>
#include <optional>
#include <string>
#include <utility>

#include "platform/observable/Published.h"
#include "platform/observable/Subscription.h"

namespace brimo::ui {

// Keeps `copy` equal to what `source` publishes, seen through `convert`, and emits `changed` on
// `adapter` only when the copy really changes: services republish equal values (a poll that
// finds nothing new), and then no view redraws. The adapter owns the subscription.
template <typename Adapter, typename T, typename Copy, typename Convert>
observable::Subscription mirrorPublished(observable::Published<T>& source, Copy& copy,
                                         Adapter* adapter, void (Adapter::*changed)(),
                                         Convert convert) {
    return source.subscribe([&copy, adapter, changed, convert](const T& value) {
        Copy next = convert(value);
        if (!(next == copy)) {
            copy = std::move(next);
            Q_EMIT(adapter->*changed)();
        }
    });
}

// The same for a value the views take as it is.
template <typename Adapter, typename T>
observable::Subscription mirrorPublished(observable::Published<T>& source, T& copy,
                                         Adapter* adapter, void (Adapter::*changed)()) {
    return mirrorPublished(source, copy, adapter, changed, [](const T& value) { return value; });
}

inline QString qtText(const std::string& text) {
    return QString::fromStdString(text);
}

// An absent text stays absent: the views tell "none" from "empty".
inline std::optional<QString> qtOptionalText(const std::optional<std::string>& text) {
    return text ? std::optional<QString>(QString::fromStdString(*text)) : std::nullopt;
}

}  // namespace brimo::ui
