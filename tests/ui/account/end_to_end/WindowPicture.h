#pragma once

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace brimo::testing {

struct Colour {
    int red = 0;
    int green = 0;
    int blue = 0;

    // The sign-in card's primary button (gold; dimmed while disabled) and its Google button.
    [[nodiscard]] bool isGold() const { return red > 140 && green > 90 && red - blue > 70; }
    [[nodiscard]] bool isBrightGold() const { return isGold() && red > 220; }
    [[nodiscard]] bool isWhite() const { return red > 235 && green > 235 && blue > 235; }
    [[nodiscard]] bool isBlue() const { return blue > 180 && red < 80; }
    [[nodiscard]] bool isGreen() const { return green - red > 20 && green - blue > 15; }
    [[nodiscard]] bool isNeutral() const {
        return std::abs(red - blue) < 8 && std::abs(red - green) < 8;
    }
    // The settings panel's rows: a neutral dark grey.
    [[nodiscard]] bool isPanelGrey() const { return isNeutral() && red > 38 && red < 70; }
};

// A run of like pixels down one column.
struct Band {
    char kind;  // 'G' gold, 'W' white
    int top;
    int bottom;
};

// The window's picture as the X server holds it (no compositor: what is on screen), read once.
class WindowPicture {
  public:
    // Empty when the window cannot be read (gone, or not mapped yet).
    static std::optional<WindowPicture> capture(const std::string& window);

    [[nodiscard]] int width() const { return width_; }
    [[nodiscard]] int height() const { return height_; }
    [[nodiscard]] Colour at(int x, int y) const;
    // Gold and white runs at least `minimum` pixels long down column x, top to bottom.
    [[nodiscard]] std::vector<Band> bands(int x, int minimum = 3) const;

  private:
    int width_ = 0;
    int height_ = 0;
    std::vector<Colour> pixels_;
};

// Where the sign-in card's primary (gold) and Google (white) buttons are: each step places
// them differently, the error banner and the hint lines push them down, and the reset panel,
// the progress panel and the update alert cover them.
struct CardLayout {
    int goldTop;
    int goldBottom;
    bool goldEnabled;
    int googleTop;
};
std::optional<CardLayout> cardLayout(const WindowPicture& picture);

}  // namespace brimo::testing
