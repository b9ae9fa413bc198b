#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/console/ConsoleOutput.h"
#include "platform/process/ProcessRunner.h"

namespace brimo::browser {

// The desktop entry through which the browser's redirect to the sign-in callback scheme starts
// `<executable> <url>`, which hands the URL to the running window.
struct DesktopEntry {
    std::string desktopId;  // e.g. "com.brimolavetrix.Brimolavetrix"
    std::filesystem::path executable;
    std::string callbackScheme;

    // The file's text: the application, its command line with "%u", the scheme as its MIME type.
    [[nodiscard]] std::string text() const;
};

// The command line of Exec: the path quoted as desktop entries quote arguments, then "%u".
std::string desktopExecLine(const std::filesystem::path& executable);

// Whether the executable runs from an installed prefix (<prefix>/bin beside
// <prefix>/share/brimolavetrix), where the package's own system-wide entry serves.
bool isInstalledExecutable(const std::filesystem::path& executable);

// $XDG_DATA_HOME/applications, else ~/.local/share/applications; empty when neither is known.
std::filesystem::path userApplicationsFolder();

struct UserEntryInstallation {
    std::filesystem::path applicationsFolder;
    // process::runProgram unless given (tests put stand-ins in its place).
    std::function<process::ProcessResult(const std::vector<std::string>&)> run;
    console::LineWriter print;
};

// Writes the entry as <folder>/<desktopId>.desktop (atomically, 0644, through no symbolic link)
// unless it is there already with the same text, then registers it as the scheme's handler with
// update-desktop-database and xdg-mime, and says so in one line. False when it could not be
// written.
bool installUserDesktopEntry(const DesktopEntry& entry, const UserEntryInstallation& how);

}  // namespace brimo::browser
