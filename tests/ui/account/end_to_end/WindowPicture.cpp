#include "ui/account/end_to_end/WindowPicture.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <memory>

namespace brimo::testing {
namespace {

struct DisplayCloser {
    void operator()(Display* display) const { XCloseDisplay(display); }
};
struct ImageDestroyer {
    void operator()(XImage* image) const { XDestroyImage(image); }
};

// A window that goes away while it is read is only "no picture".
int ignoreError(Display* /*display*/, XErrorEvent* /*event*/) {
    return 0;
}

// The column the card's buttons are told apart at: inside both buttons, left of their text.
constexpr int kCardColumn = 100;

}  // namespace

std::optional<WindowPicture> WindowPicture::capture(const std::string& window) {
    const std::unique_ptr<Display, DisplayCloser> display(XOpenDisplay(nullptr));
    if (!display) {
        return std::nullopt;
    }
    XSetErrorHandler(ignoreError);
    const auto id = static_cast<Window>(std::stoul(window));
    XWindowAttributes attributes{};
    if (XGetWindowAttributes(display.get(), id, &attributes) == 0 ||
        attributes.map_state != IsViewable) {
        return std::nullopt;
    }
    const std::unique_ptr<XImage, ImageDestroyer> image(
        XGetImage(display.get(), id, 0, 0, static_cast<unsigned>(attributes.width),
                  static_cast<unsigned>(attributes.height), AllPlanes, ZPixmap));
    if (!image) {
        return std::nullopt;
    }
    WindowPicture picture;
    picture.width_ = attributes.width;
    picture.height_ = attributes.height;
    picture.pixels_.reserve(static_cast<std::size_t>(picture.width_) *
                            static_cast<std::size_t>(picture.height_));
    for (int y = 0; y < picture.height_; ++y) {
        for (int x = 0; x < picture.width_; ++x) {
            const unsigned long pixel = XGetPixel(image.get(), x, y);
            picture.pixels_.push_back({static_cast<int>((pixel & image->red_mask) >> 16U),
                                       static_cast<int>((pixel & image->green_mask) >> 8U),
                                       static_cast<int>(pixel & image->blue_mask)});
        }
    }
    return picture;
}

Colour WindowPicture::at(int x, int y) const {
    if (x < 0 || y < 0 || x >= width_ || y >= height_) {
        return {};
    }
    return pixels_[static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) +
                   static_cast<std::size_t>(x)];
}

std::vector<Band> WindowPicture::bands(int x, int minimum) const {
    const auto kindAt = [&](int y) {
        const Colour colour = at(x, y);
        return colour.isWhite() ? 'W' : colour.isGold() ? 'G' : '.';
    };
    std::vector<Band> found;
    int start = 0;
    for (int y = 1; y <= height_; ++y) {
        if (y == height_ || kindAt(y) != kindAt(start)) {
            if (kindAt(start) != '.' && y - start >= minimum) {
                found.push_back({kindAt(start), start, y - 1});
            }
            start = y;
        }
    }
    return found;
}

std::optional<CardLayout> cardLayout(const WindowPicture& picture) {
    std::optional<Band> gold;
    std::optional<Band> google;
    // Both buttons are over 30 high; the card's text and the screen's glints are thinner.
    for (const auto& band : picture.bands(kCardColumn, 24)) {
        if (band.kind == 'G' && !gold) {
            gold = band;
        } else if (band.kind == 'W' && gold && !google) {
            google = band;
        }
    }
    if (!gold || !google) {
        return std::nullopt;
    }
    // The button's glow lifts its upper edge once it is enabled; the lower part is the button.
    return CardLayout{gold->top, gold->bottom,
                      picture.at(kCardColumn, gold->bottom - 10).isBrightGold(), google->top};
}

}  // namespace brimo::testing
