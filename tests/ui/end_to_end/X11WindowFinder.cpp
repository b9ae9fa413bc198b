#include "ui/end_to_end/X11WindowFinder.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstring>
#include <memory>
#include <thread>
#include <vector>

namespace brimo::testing {

namespace {

// Another client's windows may be destroyed between listing and reading them; such errors are
// expected and only mean "not this one".
int ignoreError(Display* /*display*/, XErrorEvent* /*event*/) {
    return 0;
}

struct DisplayCloser {
    void operator()(Display* display) const { XCloseDisplay(display); }
};

// A property's raw bytes when it has the type and item size asked for.
std::optional<std::string> property(Display* display, Window window, Atom name, Atom type,
                                    int format) {
    Atom actualType = None;
    int actualFormat = 0;
    unsigned long count = 0;
    unsigned long remaining = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display, window, name, 0, 1024, False, type, &actualType, &actualFormat,
                           &count, &remaining, &data) != Success ||
        data == nullptr) {
        return std::nullopt;
    }
    // Xlib hands 32-bit items over as longs.
    const std::size_t itemSize = format == 32 ? sizeof(long) : 1;
    std::string bytes(reinterpret_cast<const char*>(data), count * itemSize);
    XFree(data);
    return actualType == type && actualFormat == format ? std::optional(bytes) : std::nullopt;
}

bool isViewable(Display* display, Window window) {
    XWindowAttributes attributes{};
    return XGetWindowAttributes(display, window, &attributes) != 0 &&
           attributes.map_state == IsViewable;
}

std::vector<Window> children(Display* display, Window window) {
    Window root = 0;
    Window parent = 0;
    Window* list = nullptr;
    unsigned int count = 0;
    if (XQueryTree(display, window, &root, &parent, &list, &count) == 0 || list == nullptr) {
        return {};
    }
    std::vector<Window> result(list, list + count);
    XFree(list);
    return result;
}

std::optional<Window> findOnce(Display* display, pid_t pid, const std::string& title) {
    const Atom netWmName = XInternAtom(display, "_NET_WM_NAME", False);
    const Atom netWmPid = XInternAtom(display, "_NET_WM_PID", False);
    const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
    // Without a window manager the application's windows are the root's children; with one,
    // they may sit one level down inside its frames.
    std::vector<Window> candidates = children(display, DefaultRootWindow(display));
    const std::size_t topLevel = candidates.size();
    for (std::size_t i = 0; i < topLevel; ++i) {
        for (const Window child : children(display, candidates[i])) {
            candidates.push_back(child);
        }
    }
    for (const Window window : candidates) {
        const auto owner = property(display, window, netWmPid, XA_CARDINAL, 32);
        unsigned long ownerPid = 0;
        if (!owner || owner->size() != sizeof ownerPid) {
            continue;
        }
        std::memcpy(&ownerPid, owner->data(), sizeof ownerPid);
        if (ownerPid != static_cast<unsigned long>(pid) ||
            property(display, window, netWmName, utf8, 8) != title ||
            !isViewable(display, window)) {
            continue;
        }
        return window;
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> waitForMappedWindow(pid_t pid, const std::string& title,
                                               std::chrono::milliseconds timeout) {
    const std::unique_ptr<Display, DisplayCloser> display(XOpenDisplay(nullptr));
    if (!display) {
        return std::nullopt;
    }
    const auto previous = XSetErrorHandler(ignoreError);
    std::optional<Window> found;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!found && std::chrono::steady_clock::now() < deadline) {
        found = findOnce(display.get(), pid, title);
        if (!found) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    XSync(display.get(), False);
    XSetErrorHandler(previous);
    return found ? std::optional(std::to_string(*found)) : std::nullopt;
}

}  // namespace brimo::testing
