#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brimo::ui {

// The desktop's own sound settings, chosen by XDG_CURRENT_DESKTOP (a colon-separated list):
// GNOME's (also under Unity and Budgie) or KDE's panel, else
// pavucontrol; each only when its program is installed. Nothing when none is.
std::optional<std::vector<std::string>> soundSettingsCommand(
    std::string_view currentDesktop, const std::function<bool(const std::string&)>& isInstalled);

}  // namespace brimo::ui
