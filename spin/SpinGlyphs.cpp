// The built-in arrow bitmaps "SPINUP" and "SPINDOWN", built in code so that
// nothing has to be found at run time.
#include "spin/Spin.h"

#include <cstring>

namespace spin {
namespace {

constexpr int GlyphWidth = 9;
constexpr int GlyphHeight = 6;
constexpr int Black = 0;
constexpr int Olive = 3;

// The 16-colour palette of the bitmaps.
QList<QRgb> Palette16() {
    return {qRgb(0, 0, 0),       qRgb(128, 0, 0),   qRgb(0, 128, 0),   qRgb(128, 128, 0),
            qRgb(0, 0, 128),     qRgb(128, 0, 128), qRgb(0, 128, 128), qRgb(192, 192, 192),
            qRgb(128, 128, 128), qRgb(255, 0, 0),   qRgb(0, 255, 0),   qRgb(255, 255, 0),
            qRgb(0, 0, 255),     qRgb(255, 0, 255), qRgb(0, 255, 255), qRgb(255, 255, 255)};
}

// Rows 1..4 of the up arrow hold 1, 3, 5 and 7 black pixels around the middle
// column; rows 0 and 5 are background. The down arrow is it upside down.
QImage Arrow(bool up) {
    QImage image(GlyphWidth, GlyphHeight, QImage::Format_Indexed8);
    image.setColorTable(Palette16());
    image.fill(Olive);
    const int middle = GlyphWidth / 2;
    for (int step = 0; step < 4; ++step) {
        const int row = up ? 1 + step : GlyphHeight - 2 - step;
        for (int x = middle - step; x <= middle + step; ++x) {
            image.setPixel(x, row, Black);
        }
    }
    return image;
}

} // namespace

QImage LoadGlyphBitmap(const char* name) {
    if (name == nullptr) {
        return {};
    }
    if (std::strcmp(name, "SPINUP") == 0) {
        return Arrow(true);
    }
    if (std::strcmp(name, "SPINDOWN") == 0) {
        return Arrow(false);
    }
    return {};
}

} // namespace spin
