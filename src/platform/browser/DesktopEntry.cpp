#include "platform/browser/DesktopEntry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <system_error>

namespace brimo::browser {
namespace {

std::string readWhole(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// Written beside the target and renamed over it, so that a reader never sees half a file and a
// symbolic link at the target is replaced, not followed.
bool writeAtomically(const std::filesystem::path& path, const std::string& text) {
    const auto temporary = path.parent_path() / ("." + path.filename().string() + ".new");
    ::unlink(temporary.c_str());
    const int fd =
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    bool written = ::fchmod(fd, 0644) == 0;
    std::size_t done = 0;
    while (written && done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        written = n > 0;
        done += written ? static_cast<std::size_t>(n) : 0;
    }
    written = ::fsync(fd) == 0 && written;
    written = ::close(fd) == 0 && written;
    if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace

std::string desktopExecLine(const std::filesystem::path& executable) {
    // Inside double quotes a desktop entry escapes '"', '`', '$' and '\' with a backslash, and
    // the value as a whole doubles every "%" (field codes) and every backslash (string escapes).
    std::string quoted = "\"";
    for (const char c : executable.string()) {
        if (c == '"' || c == '`' || c == '$') {
            quoted += "\\\\";
        } else if (c == '\\') {
            quoted += "\\\\\\";
        } else if (c == '%') {
            quoted += '%';
        }
        quoted += c;
    }
    quoted += "\" %u";
    return quoted;
}

std::string DesktopEntry::text() const {
    std::string text = "[Desktop Entry]\n";
    text += "Type=Application\n";
    text += "Name=Brimola Vetrix\n";
    text += "Comment=Plays everything at A = 432 Hz\n";
    text += "Icon=" + desktopId + "\n";
    text += "Exec=" + desktopExecLine(executable) + "\n";
    text += "Terminal=false\n";
    text += "Categories=AudioVideo;Audio;\n";
    text += "MimeType=x-scheme-handler/" + callbackScheme + ";\n";
    // The redirect starts the application only to hand the URL over; it is not a second window.
    text += "StartupNotify=false\n";
    return text;
}

bool isInstalledExecutable(const std::filesystem::path& executable) {
    std::error_code error;
    const auto prefix = executable.parent_path().parent_path();
    return executable.parent_path().filename() == "bin" &&
           std::filesystem::is_directory(prefix / "share" / "brimolavetrix", error);
}

std::filesystem::path userApplicationsFolder() {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): read-only use
    if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && *data == '/') {
        return std::filesystem::path(data) / "applications";
    }
    const char* home = std::getenv("HOME");  // NOLINT(concurrency-mt-unsafe): read-only use
    if (home == nullptr || *home != '/') {
        return {};
    }
    return std::filesystem::path(home) / ".local" / "share" / "applications";
}

bool installUserDesktopEntry(const DesktopEntry& entry, const UserEntryInstallation& how) {
    const auto print = console::orStandardOutput(how.print);
    const auto run = how.run ? how.run : process::runProgram;
    if (how.applicationsFolder.empty()) {
        return false;
    }
    // A line break would end the value and start a key of its own.
    const auto hasControl = [](const std::string& text) {
        return std::any_of(text.begin(), text.end(),
                           [](unsigned char c) { return c < 0x20 || c == 0x7F; });
    };
    if (hasControl(entry.executable.string()) || hasControl(entry.callbackScheme) ||
        hasControl(entry.desktopId)) {
        print("Not registering for Google sign-in: the executable's path has a control character");
        return false;
    }
    const auto path = how.applicationsFolder / (entry.desktopId + ".desktop");
    const std::string text = entry.text();
    std::error_code error;
    if (std::filesystem::is_regular_file(std::filesystem::symlink_status(path, error)) &&
        readWhole(path) == text) {
        return true;  // registered on an earlier start
    }
    std::filesystem::create_directories(how.applicationsFolder, error);
    if (!writeAtomically(path, text)) {
        print("Could not write " + path.string() + ": Google sign-in cannot return to this window");
        return false;
    }
    // Either may be missing on a desktop that finds handlers without them.
    run({"update-desktop-database", how.applicationsFolder.string()});
    run({"xdg-mime", "default", entry.desktopId + ".desktop",
         "x-scheme-handler/" + entry.callbackScheme});
    print("Registered " + path.string() + " so that Google sign-in returns to this window");
    return true;
}

}  // namespace brimo::browser
