#pragma once
#include <QImage>
#include <QString>

namespace MyValueSpin {

// The two arrow bitmaps of the spin buttons, by their resource names "SpinUp" and "SpinDown":
// 9 × 6 pixels, a solid black triangle on an olive background. The button treats the colour
// of the lower-left pixel as transparent, so the olive never shows.
// Any other name gives a null image.
QImage LoadSpinGlyph(const QString &name);

// The glyph as a button draws it: the colour of its lower-left pixel made transparent.
QImage TransparentGlyph(const QImage &glyph);

} // namespace MyValueSpin
