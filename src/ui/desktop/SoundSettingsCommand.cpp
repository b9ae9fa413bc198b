#include "ui/desktop/SoundSettingsCommand.h"

#include <algorithm>
#include <cctype>

namespace brimo::ui {

namespace {

bool listsDesktop(std::string_view desktops, std::string_view wanted) {
    while (!desktops.empty()) {
        const auto colon = desktops.find(':');
        const std::string_view entry = desktops.substr(0, colon);
        if (entry.size() == wanted.size() &&
            std::equal(entry.begin(), entry.end(), wanted.begin(), [](char a, char b) {
                return std::tolower(static_cast<unsigned char>(a)) ==
                       std::tolower(static_cast<unsigned char>(b));
            })) {
            return true;
        }
        if (colon == std::string_view::npos) {
            break;
        }
        desktops.remove_prefix(colon + 1);
    }
    return false;
}

}  // namespace

std::optional<std::vector<std::string>> soundSettingsCommand(
    std::string_view currentDesktop, const std::function<bool(const std::string&)>& isInstalled) {
    const bool gnome = listsDesktop(currentDesktop, "GNOME") ||
                       listsDesktop(currentDesktop, "Unity") ||
                       listsDesktop(currentDesktop, "Budgie");
    if (gnome && isInstalled("gnome-control-center")) {
        return std::vector<std::string>{"gnome-control-center", "sound"};
    }
    if (listsDesktop(currentDesktop, "KDE") && isInstalled("systemsettings")) {
        return std::vector<std::string>{"systemsettings", "kcm_pulseaudio"};
    }
    if (isInstalled("pavucontrol")) {
        return std::vector<std::string>{"pavucontrol"};
    }
    return std::nullopt;
}

}  // namespace brimo::ui
