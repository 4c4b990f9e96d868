#pragma once
#include <QList>
#include <QPoint>
#include <QRect>
#include <array>

namespace MyValueSpin {

// Where the check box draws its parts for a given size and font. Rectangles are in the
// widget's pixels; every rectangle here covers exactly the pixels it names.
struct TCheckBoxGeometry {
    int q = 0;          // side of the box
    int p = 0;          // inset and line-weight unit: the mark has p + 2 strokes
    QRect box;          // B, framed by the platform's check-box frame
    QRect interior;     // I, B without its 2-pixel frame
    QRect caption;      // the text beside the box
    // The strokes of the mark, each a polyline: down right, then up right.
    QList<std::array<QPoint, 3>> strokes;
};

// The smallest box: below it the mark would be too small to read.
constexpr int kMinBoxSide = 14;
// The side the unit p grows by one per step of.
constexpr int kBoxSidePerUnit = 14;
// The box keeps this far inside the control's height so the focus rectangle stays clear.
constexpr int kBoxHeightMargin = 5;
// The frame the platform draws around the box's interior.
constexpr int kBoxFrameWidth = 2;

// The layout for a control of width × height whose font has the given full height and
// internal leading (the part of the height above the glyphs), box at the left or right.
TCheckBoxGeometry CheckBoxGeometry(int width, int height, int fontHeight, int internalLeading, bool boxAtRight);

// The pixels a line from `from` to `to` covers, without its end point, so that the
// segments of a polyline join without overlapping.
QList<QPoint> LinePixels(QPoint from, QPoint to);

// Every pixel of the mark.
QList<QPoint> MarkPixels(const TCheckBoxGeometry &geometry);

} // namespace MyValueSpin
