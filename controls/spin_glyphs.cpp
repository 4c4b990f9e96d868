#include "spin_glyphs.h"

#include <QColor>

namespace MyValueSpin {

namespace {

constexpr int kGlyphWidth = 9;
constexpr int kGlyphHeight = 6;
// The widest row of the triangle; each row above it is two pixels narrower.
constexpr int kWidestRow = 7;
// One background row above and below the four rows of the triangle.
constexpr int kFirstTriangleRow = 1;
constexpr int kTriangleRows = 4;
// The background that the button treats as transparent.
const QColor kOlive(128, 128, 0);

QImage arrowGlyph(bool pointingUp)
{
    QImage image(kGlyphWidth, kGlyphHeight, QImage::Format_RGB32);
    image.fill(kOlive);
    for (int i = 0; i < kTriangleRows; ++i) {
        const int rowWidth = kWidestRow - 2 * (kTriangleRows - 1 - i); // 1, 3, 5, 7
        const int y = kFirstTriangleRow + (pointingUp ? i : kTriangleRows - 1 - i);
        const int x0 = (kGlyphWidth - rowWidth) / 2;
        for (int x = x0; x < x0 + rowWidth; ++x)
            image.setPixel(x, y, qRgb(0, 0, 0));
    }
    return image;
}

} // namespace

QImage LoadSpinGlyph(const QString &name)
{
    if (name.compare(QLatin1String("SpinUp"), Qt::CaseInsensitive) == 0)
        return arrowGlyph(true);
    if (name.compare(QLatin1String("SpinDown"), Qt::CaseInsensitive) == 0)
        return arrowGlyph(false);
    return {};
}

QImage TransparentGlyph(const QImage &glyph)
{
    if (glyph.isNull())
        return {};
    QImage result = glyph.convertToFormat(QImage::Format_ARGB32);
    const QRgb transparent = result.pixel(0, result.height() - 1);
    for (int y = 0; y < result.height(); ++y) {
        for (int x = 0; x < result.width(); ++x) {
            if (result.pixel(x, y) == transparent)
                result.setPixel(x, y, qRgba(0, 0, 0, 0));
        }
    }
    return result;
}

} // namespace MyValueSpin
