#pragma once
#include <QChar>
#include <QString>
#include <cstdint>
#include <optional>

class QKeyEvent;

namespace MyValueSpin {

// The text without the blanks and control characters at either end (every code up to 32),
// which a pasted number often carries along.
QString TrimBlanks(const QString &text);

// Reads an optional sign and decimal digits, blanks around them allowed. Anything else, an
// empty text or a number outside the signed 32-bit range gives nothing.
std::optional<int32_t> ReadWholeNumber(const QString &text);

// Brings a 64-bit result back into the signed 32-bit range by holding it at the nearer end.
int32_t Saturate(int64_t value);

// The character a key press types, as the keystroke filter sees it: Ctrl with a letter gives
// its control code, Enter gives carriage return. Keys that move or delete (arrows, Delete,
// function keys) and Alt combinations type nothing.
std::optional<QChar> TypedChar(const QKeyEvent &event);

// The limits rule of both spin edits: equal limits at or below zero mean none; otherwise a
// value below the minimum becomes it, then one above the maximum becomes that.
template <typename T> T ApplyLimits(T value, T minimum, T maximum)
{
    if (maximum == minimum && maximum <= T(0))
        return value;
    if (value < minimum)
        return minimum;
    if (value > maximum)
        return maximum;
    return value;
}

} // namespace MyValueSpin
