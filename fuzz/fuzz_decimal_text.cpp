// The decimal spin edit's text: reading what the operator types or pastes, in the locales a
// workshop machine is likely set to, and writing a value back so that it reads again.
// Input: one byte picks the locale, one the decimal places (out-of-range counts included),
// the rest is the text (UTF-8); its first eight bytes also serve as a raw double.
#include "decimal_text.h"

#include <QLocale>
#include <QString>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

using namespace MyValueSpin;

namespace {

void check(bool condition, const char *what, const QString &detail = {})
{
    if (!condition) {
        std::fprintf(stderr, "decimal_text: %s [%s]\n", what, qPrintable(detail));
        std::abort();
    }
}

const QLocale &localeFor(uint8_t pick)
{
    static const QLocale locales[] = {
        QLocale(QLocale::German, QLocale::Germany),        // comma, point grouping
        QLocale(QLocale::English, QLocale::UnitedStates),  // point, comma grouping
        QLocale::c(),
        QLocale(QLocale::French, QLocale::France),         // comma, narrow no-break space grouping
        QLocale(QLocale::German, QLocale::Switzerland),    // point, apostrophe grouping
        QLocale(QLocale::German, QLocale::Austria),
    };
    return locales[pick % std::size(locales)];
}

// The few doubles at the very top (from 1.797693134862315e308 to the largest) round up to
// 15 significant digits beyond the largest double, so their text reads as an overflow.
// Writing them must still work; reading them back is left out until the writer caps them.
constexpr double kTopOfReadableTexts = 1.797693134862315e308;

// A value written with `places` decimals reads back within half its last place, or within
// the 15 significant digits it keeps, and writes again to the same text.
void writesAndReadsBack(double value, int places, const QLocale &locale)
{
    const QString text = FormatDecimal(value, places, locale);
    if (std::abs(value) >= kTopOfReadableTexts)
        return;
    const std::optional<double> back = TryParseDecimal(text, locale);
    check(back.has_value(), "a written value does not read back", text);
    const int shown = std::clamp(places, kMinDecimals, kMaxDecimals);
    const double tolerance = 0.5 * std::pow(10.0, -shown) * (1 + 1e-9) + std::abs(value) * 1e-14 + 1e-300;
    check(std::abs(*back - value) <= tolerance, "a written value reads back as another", text);
    check(FormatDecimal(*back, places, locale) == text, "a value read back writes differently", text);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const QLocale &locale = localeFor(data[0]);
    const int places = int(int8_t(data[1]));
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data + 2), qsizetype(size - 2));

    const std::optional<double> value = TryParseDecimal(text, locale);
    if (value) {
        check(std::isfinite(*value), "a reading that is no finite number", text);
        writesAndReadsBack(*value, places, locale);
    }
    // Whatever the locale, the point and the comma are both taken as the separator.
    if (value && !text.contains(u',') && text.count(u'.') == 1)
        check(TryParseDecimal(QString(text).replace(u'.', u','), locale) == value, "comma and point read apart",
              text);

    // Any bit pattern as a value: infinities and NaN are written somehow, never crash;
    // finite ones read back.
    if (size >= 10) {
        double raw;
        std::memcpy(&raw, data + 2, sizeof raw);
        const QString written = FormatDecimal(raw, places, locale);
        if (std::isfinite(raw))
            writesAndReadsBack(raw, places, locale);
        else
            check(!TryParseDecimal(written, locale), "an infinity or NaN reads as a number", written);
    }
    return 0;
}
