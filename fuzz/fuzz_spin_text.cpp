// The spin edit's reading of typed or pasted text: trimming, the whole number with its sign
// and range, saturation, and the character a key press types. The text comes both as
// UTF-8 and as raw UTF-16 (unpaired surrogates, NULs and all), as a clipboard may hold it.
#include "spin_text.h"

#include <QKeyEvent>
#include <QString>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

void check(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "spin_text: %s\n", what);
        std::abort();
    }
}

bool blank(QChar c) { return c.unicode() <= u' '; }

// The same rule written the plain way: trim, one sign, ASCII digits only, in range.
std::optional<int32_t> reference(const QString &text)
{
    qsizetype first = 0, last = text.size();
    while (first < last && blank(text.at(first)))
        ++first;
    while (last > first && blank(text.at(last - 1)))
        --last;
    qsizetype at = first;
    bool negative = false;
    if (at < last && (text.at(at) == u'-' || text.at(at) == u'+'))
        negative = text.at(at++) == u'-';
    if (at == last)
        return std::nullopt;
    int64_t magnitude = 0;
    for (; at < last; ++at) {
        const char16_t c = text.at(at).unicode();
        if (c < u'0' || c > u'9')
            return std::nullopt;
        if (magnitude <= int64_t(1) << 40) // far beyond the range, and no overflow
            magnitude = magnitude * 10 + (c - u'0');
    }
    const int64_t value = negative ? -magnitude : magnitude;
    if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max())
        return std::nullopt;
    return int32_t(value);
}

void readText(const QString &text)
{
    const QString trimmed = MyValueSpin::TrimBlanks(text);
    check(trimmed.isEmpty() || (!blank(trimmed.front()) && !blank(trimmed.back())), "a blank left at an end");
    check(text.contains(trimmed), "trimming changed the text inside");
    check(MyValueSpin::TrimBlanks(trimmed) == trimmed, "trimming twice trims more");

    const std::optional<int32_t> value = MyValueSpin::ReadWholeNumber(text);
    check(value == reference(text), "reading differs from the plain rule");
    if (value)
        check(MyValueSpin::ReadWholeNumber(QString::number(*value)) == value, "a number does not read back");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    readText(QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size)));
    QString utf16(qsizetype(size / 2), Qt::Uninitialized);
    std::memcpy(utf16.data(), data, size / 2 * 2);
    readText(utf16);

    if (size >= 8) {
        int64_t wide;
        std::memcpy(&wide, data, sizeof wide);
        const int32_t held = MyValueSpin::Saturate(wide);
        if (wide >= std::numeric_limits<int32_t>::min() && wide <= std::numeric_limits<int32_t>::max())
            check(held == wide, "an in-range value was changed");
        else
            check(held == (wide < 0 ? std::numeric_limits<int32_t>::min() : std::numeric_limits<int32_t>::max()),
                  "an out-of-range value was not held at the nearer end");
    }

    // A key press: key code, modifiers and the text it carries.
    if (size >= 8) {
        int key;
        uint32_t modifiers;
        std::memcpy(&key, data, sizeof key);
        std::memcpy(&modifiers, data + 4, sizeof modifiers);
        const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data + 8), qsizetype(size - 8));
        const QKeyEvent event(QEvent::KeyPress, key, Qt::KeyboardModifiers(modifiers & Qt::KeyboardModifierMask),
                              text);
        const std::optional<QChar> typed = MyValueSpin::TypedChar(event);
        if (typed && !(key == Qt::Key_Return || key == Qt::Key_Enter) &&
            !((modifiers & Qt::ControlModifier) && key >= Qt::Key_A && key <= Qt::Key_Z))
            check(!text.isEmpty() && *typed == text.front(), "typed a character the key did not carry");
    }
    return 0;
}
