#pragma once

namespace pagemate {

// Rectangles in points with the origin at the bottom left of the main screen, y up.
struct Rect {
    double x = 0, y = 0, width = 0, height = 0;
    [[nodiscard]] double maxY() const { return y + height; }
    [[nodiscard]] double midX() const { return x + width / 2; }
    [[nodiscard]] bool contains(double px, double py) const {
        return px >= x && px < x + width && py >= y && py < y + height;
    }
    bool operator==(const Rect&) const = default;
};

}  // namespace pagemate
