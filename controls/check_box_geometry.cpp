#include "check_box_geometry.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace MyValueSpin {

namespace {

// A rectangle given by its edges, right and bottom exclusive.
QRect edges(int left, int top, int right, int bottom) { return QRect(left, top, right - left, bottom - top); }

} // namespace

TCheckBoxGeometry CheckBoxGeometry(int width, int height, int fontHeight, int internalLeading, bool boxAtRight)
{
    TCheckBoxGeometry g;
    g.q = fontHeight - internalLeading;
    g.p = 1;
    if (g.q < kMinBoxSide) {
        g.q = kMinBoxSide;
    } else {
        // An even side centres the mark's strokes in the box.
        g.q -= g.q % 2;
        g.q = std::min(g.q, height - kBoxHeightMargin);
        g.p = int(std::trunc(double(g.q) / kBoxSidePerUnit + 0.5));
    }
    const int q = g.q;
    const int p = g.p;
    const int h = height - 1;
    const int top = (h - q) / 2 + p;
    const int bottom = (h + q) / 2 + p;
    // The caption keeps a third of the font's height away from the box.
    const int gap = fontHeight / 3;
    if (boxAtRight) {
        g.box = edges(width - 1 - p - q, top, width - 1 - p, bottom);
        g.caption = edges(p, 0, g.box.left() - gap, height - 1);
    } else {
        g.box = edges(p + 1, top, p + 1 + q, bottom);
        g.caption = edges(g.box.left() + q + gap, 0, width - 1 - p, height - 1);
    }
    g.interior = g.box.adjusted(kBoxFrameWidth, kBoxFrameWidth, -kBoxFrameWidth, -kBoxFrameWidth);
    const int wi = g.interior.width();
    const int hi = g.interior.height();
    const int x0 = g.interior.left() + wi / 8;
    const int y0 = g.interior.top() + hi / 3;
    const int a = wi / 4;
    const int b = wi / 2;
    for (int k = 0; k <= p + 1; ++k)
        g.strokes.append({QPoint(x0, y0 + k), QPoint(x0 + a, y0 + a + k), QPoint(x0 + a + b, y0 + a - b + k)});
    return g;
}

QList<QPoint> LinePixels(QPoint from, QPoint to)
{
    const int dx = to.x() - from.x();
    const int dy = to.y() - from.y();
    const int steps = std::max(std::abs(dx), std::abs(dy));
    QList<QPoint> pixels;
    for (int i = 0; i < steps; ++i)
        pixels.append(QPoint(from.x() + int(std::lround(double(i) * dx / steps)),
                             from.y() + int(std::lround(double(i) * dy / steps))));
    return pixels;
}

QList<QPoint> MarkPixels(const TCheckBoxGeometry &geometry)
{
    QList<QPoint> pixels;
    for (const auto &stroke : geometry.strokes) {
        pixels += LinePixels(stroke[0], stroke[1]);
        pixels += LinePixels(stroke[1], stroke[2]);
    }
    return pixels;
}

} // namespace MyValueSpin
