#include "spin_text.h"

#include <QKeyEvent>
#include <algorithm>
#include <limits>

namespace MyValueSpin {

namespace {

// Everything up to and including the space counts as a blank when trimming.
constexpr char16_t kLastBlank = u' ';
// The code that the Delete key carries on some platforms; it types nothing here.
constexpr char16_t kDeleteCode = 0x7f;

bool isBlank(QChar c) { return c.unicode() <= kLastBlank; }

} // namespace

QString TrimBlanks(const QString &text)
{
    qsizetype first = 0;
    qsizetype last = text.size();
    while (first < last && isBlank(text.at(first)))
        ++first;
    while (last > first && isBlank(text.at(last - 1)))
        --last;
    return text.mid(first, last - first);
}

std::optional<int32_t> ReadWholeNumber(const QString &text)
{
    const QString trimmed = TrimBlanks(text);
    qsizetype pos = 0;
    bool negative = false;
    if (pos < trimmed.size() && (trimmed.at(pos) == u'+' || trimmed.at(pos) == u'-')) {
        negative = trimmed.at(pos) == u'-';
        ++pos;
    }
    if (pos == trimmed.size())
        return std::nullopt;
    // One beyond the largest magnitude, so the digits can stop as soon as they pass it.
    constexpr int64_t kBeyond = int64_t(std::numeric_limits<int32_t>::max()) + 2;
    int64_t magnitude = 0;
    for (; pos < trimmed.size(); ++pos) {
        const char16_t c = trimmed.at(pos).unicode();
        if (c < u'0' || c > u'9')
            return std::nullopt;
        magnitude = std::min(magnitude * 10 + (c - u'0'), kBeyond);
    }
    const int64_t value = negative ? -magnitude : magnitude;
    if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max())
        return std::nullopt;
    return static_cast<int32_t>(value);
}

int32_t Saturate(int64_t value)
{
    if (value < std::numeric_limits<int32_t>::min())
        return std::numeric_limits<int32_t>::min();
    if (value > std::numeric_limits<int32_t>::max())
        return std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(value);
}

std::optional<QChar> TypedChar(const QKeyEvent &event)
{
    const Qt::KeyboardModifiers mods = event.modifiers();
    if (event.key() == Qt::Key_Return || event.key() == Qt::Key_Enter)
        return QChar(u'\r');
    if (mods.testFlag(Qt::ControlModifier) && event.key() >= Qt::Key_A && event.key() <= Qt::Key_Z)
        return QChar(char16_t(event.key() - Qt::Key_A + 1));
    if ((mods.testFlag(Qt::AltModifier) && !mods.testFlag(Qt::ControlModifier)) || event.text().isEmpty())
        return std::nullopt;
    const QChar c = event.text().at(0);
    if (c.unicode() == kDeleteCode)
        return std::nullopt;
    return c;
}

} // namespace MyValueSpin
