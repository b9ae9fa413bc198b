#pragma once

namespace brimo::ui {

// The desktop's named accent colours in their dark-appearance sRGB values; Theme.qml holds
// the same numbers for the views.
struct SystemColour {
    double red;
    double green;
    double blue;
};

inline constexpr SystemColour systemCyan{100.0 / 255.0, 210.0 / 255.0, 255.0 / 255.0};
inline constexpr SystemColour systemGray{142.0 / 255.0, 142.0 / 255.0, 147.0 / 255.0};

}  // namespace brimo::ui
