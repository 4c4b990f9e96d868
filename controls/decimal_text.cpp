#include "decimal_text.h"

#include <algorithm>
#include <cmath>

namespace MyValueSpin {

namespace {

// The significant digits a written number keeps; beyond them a double's digits are noise.
constexpr int kSignificantDigits = 15;

// A finite value as sign, kSignificantDigits decimal digits d0 d1 ... and the power of ten
// of d0, so that the value is d0.d1d2... × 10^exponent.
struct DecimalDigits {
    bool negative = false;
    QString digits;
    int exponent = 0;
};

DecimalDigits toDigits(double value)
{
    // The C locale's exponent form is correctly rounded to the digits asked for.
    const QString e = QString::number(std::abs(value), 'e', kSignificantDigits - 1);
    const qsizetype ePos = e.indexOf(u'e');
    DecimalDigits d;
    d.negative = std::signbit(value);
    d.digits = e.left(ePos).remove(u'.');
    d.exponent = e.mid(ePos + 1).toInt();
    return d;
}

// Keeps the first `keep` digits, rounding the rest half away from zero; a carry out of the
// first digit adds a digit in front.
void roundDigits(DecimalDigits &d, int keep)
{
    if (keep >= d.digits.size())
        return;
    if (keep < 0) {
        d.digits.clear();
        return;
    }
    const bool up = d.digits.at(keep) >= u'5';
    d.digits.truncate(keep);
    if (!up)
        return;
    qsizetype i = d.digits.size() - 1;
    for (; i >= 0 && d.digits.at(i) == u'9'; --i)
        d.digits[i] = u'0';
    if (i >= 0) {
        d.digits[i] = QChar(d.digits.at(i).unicode() + 1);
        return;
    }
    d.digits.prepend(u'1');
    ++d.exponent;
}

// The digit standing at 10^power, zero where the digits do not reach.
QChar digitAt(const DecimalDigits &d, int power)
{
    const int index = d.exponent - power;
    return index >= 0 && index < d.digits.size() ? d.digits.at(index) : QChar(u'0');
}

QString fixedText(DecimalDigits d, int places, const QLocale &locale)
{
    roundDigits(d, d.exponent + 1 + places);
    QString text;
    for (int power = std::max(d.exponent, 0); power >= 0; --power)
        text += digitAt(d, power);
    if (places > 0) {
        text += locale.decimalPoint();
        for (int power = -1; power >= -places; --power)
            text += digitAt(d, power);
    }
    // A value that rounds to nothing is written without a sign.
    const bool zero = std::all_of(d.digits.cbegin(), d.digits.cend(), [](QChar c) { return c == u'0'; });
    return d.negative && !zero ? u'-' + text : text;
}

} // namespace

std::optional<double> TryParseDecimal(const QString &text, const QLocale &locale)
{
    QString s = text;
    const QString separator = locale.decimalPoint();
    const qsizetype point = s.indexOf(u'.');
    if (point >= 0)
        s.replace(point, 1, separator);
    const qsizetype comma = s.indexOf(u',');
    if (comma >= 0)
        s.replace(comma, 1, separator);
    QLocale reader(locale);
    reader.setNumberOptions(QLocale::RejectGroupSeparator);
    bool ok = false;
    const double value = reader.toDouble(s, &ok);
    if (!ok || !std::isfinite(value))
        return std::nullopt;
    return value;
}

QString FormatDecimal(double value, int places, const QLocale &locale)
{
    if (!std::isfinite(value))
        return locale.toString(value);
    places = std::clamp(places, kMinDecimals, kMaxDecimals);
    DecimalDigits d = toDigits(value);
    if (d.exponent >= kSignificantDigits) {
        QLocale writer(locale);
        writer.setNumberOptions(QLocale::OmitGroupSeparator);
        const QString text = writer.toString(value, 'E', kSignificantDigits - 1);
        // Next to the largest double, rounding to the shown digits can step past it; such
        // a text would not read back, so the exact digits are shown instead.
        if (TryParseDecimal(text, locale))
            return text;
        return writer.toString(value, 'E', QLocale::FloatingPointShortest);
    }
    return fixedText(d, places, locale);
}

} // namespace MyValueSpin
