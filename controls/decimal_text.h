#pragma once
#include <QLocale>
#include <QString>
#include <optional>

namespace MyValueSpin {

// The fewest and the most decimal places a decimal field writes. A double carries about 17
// significant digits, so places beyond 18 could only ever show zeros.
constexpr int kMinDecimals = 0;
constexpr int kMaxDecimals = 18;

// Reads a decimal number typed with either the point or the comma as the separator: the
// first point and then the first comma become the locale's separator before the text is read
// in the locale's notation (optional sign, digits, one separator, optional exponent, no
// grouping). A text holding both, such as 1.234,5, has two separators and does not read.
// Infinities and not-a-number do not read either.
std::optional<double> TryParseDecimal(const QString &text, const QLocale &locale = QLocale());

// value in fixed-point notation with exactly `places` decimals (clamped to the range above)
// and the locale's separator, without grouping. The value is first taken to 15 significant
// digits, which drops the error of its binary form (2.675 is stored a hair below the half),
// and the dropped part is then rounded half away from zero, so a half typed as a half
// rounds as a person would expect. A number whose integer part needs more than 15 digits is
// written in exponent notation.
QString FormatDecimal(double value, int places, const QLocale &locale = QLocale());

} // namespace MyValueSpin
