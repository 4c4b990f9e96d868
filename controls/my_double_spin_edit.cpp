#include "my_double_spin_edit.h"

#include "alert_sound.h"
#include "decimal_text.h"
#include "spin_text.h"

#include <QKeyEvent>
#include <QLocale>
#include <algorithm>

namespace MyValueSpin {

namespace {

constexpr char16_t kFirstPrintable = u' ';
constexpr char16_t kCarriageReturn = u'\r';

// Where the decimal separator stands in a text, -1 without one. A typed point or comma
// becomes the locale's separator, but a pasted text may still hold either, and it reads
// with them all the same.
qsizetype separatorIndex(const QString &text)
{
    qsizetype found = -1;
    for (const QString &candidate : {QLocale().decimalPoint(), QStringLiteral("."), QStringLiteral(",")}) {
        const qsizetype at = text.indexOf(candidate);
        if (at >= 0 && (found < 0 || at < found))
            found = at;
    }
    return found;
}

} // namespace

TMyDoubleSpinEdit::TMyDoubleSpinEdit(QWidget *parent) : TMyValueSpinEdit(parent) {}

double TMyDoubleSpinEdit::CheckValueDouble(double value) const
{
    return ApplyLimits(value, MinValue, MaxValue);
}

QString TMyDoubleSpinEdit::textOf(double value) const
{
    if (TextValuesDouble.Count() > 0) {
        const QString word = TextValuesDouble.TextOf(value);
        if (!word.isEmpty())
            return word;
    }
    return FormatDecimal(value, anzahlDecimals_);
}

void TMyDoubleSpinEdit::SetValueDouble(double value)
{
    const double checked = CheckValueDouble(value);
    const bool changed = checked != CurrentValueDouble;
    CurrentValueDouble = checked;
    // Only a real change touches the text, so that caret and selection stay otherwise.
    const QString shown = textOf(checked);
    if (text() != shown)
        setText(shown);
    if (changed)
        Raise(OnChanged, this);
}

double TMyDoubleSpinEdit::GetValueDouble()
{
    if (TextValuesDouble.Count() > 0 && text() == TextValuesDouble.TextOf(CurrentValueDouble))
        return CurrentValueDouble;
    const std::optional<double> typed = TryParseDecimal(TrimBlanks(text()));
    SetValueDouble(typed ? *typed : CurrentValueDouble);
    return CurrentValueDouble;
}

void TMyDoubleSpinEdit::AddTextValues(double value, const QString &text)
{
    TextValuesDouble.PutText(value, text);
}

void TMyDoubleSpinEdit::SetAnzahlDecimals(int places)
{
    anzahlDecimals_ = std::clamp(places, kMinDecimals, kMaxDecimals);
    SetValueDouble(GetValueDouble());
}

void TMyDoubleSpinEdit::EditChange()
{
    EditChangeDouble(this);
}

void TMyDoubleSpinEdit::EditChangeDouble(QObject *)
{
    if (OnChange && TryParseDecimal(TrimBlanks(text())))
        Raise(OnChange, this);
}

bool TMyDoubleSpinEdit::IsValidChar(QChar &key)
{
    const char16_t code = key.unicode();
    const QString separator = QLocale().decimalPoint();
    // Either key enters the separator, whichever of the two the keyboard offers.
    if ((code == u'.' || code == u',') && separator.size() == 1) {
        key = separator.at(0);
        return true;
    }
    return QString(key) == separator || code == u'.' || code == u',' || code == u'+' || code == u'-'
        || (code >= u'0' && code <= u'9') || (code < kFirstPrintable && code != kCarriageReturn);
}

void TMyDoubleSpinEdit::UpClick(QObject *)
{
    step(+1);
}

void TMyDoubleSpinEdit::DownClick(QObject *)
{
    step(-1);
}

void TMyDoubleSpinEdit::step(int direction)
{
    if (isReadOnly()) {
        AlertSound();
        return;
    }
    // The caret as the user left it, in the text the user saw: taking the typed text over
    // may rewrite it (1,5 becomes 1,50), and a rewritten text moves the caret to its end.
    const QString typed = text();
    const int caret = hasSelectedText() ? selectionStart() : cursorPosition();
    GetValueDouble();
    if (TextValuesDouble.Count() > 0 && !TextValuesDouble.TextOf(CurrentValueDouble).isEmpty()) {
        SetValueDouble(GetValueDouble() + direction * double(Increment));
        return;
    }
    // Right of the separator the digits are fractions, so the fine step applies there, in
    // whatever notation the locale writes them.
    const qsizetype separator = separatorIndex(typed);
    const bool fine = separator >= 0 && caret > separator;
    const double size = fine ? IncrementDouble : double(Increment);
    SetValueDouble(GetValueDouble() + direction * size);
    setCursorPosition(std::min<int>(caret, int(text().size())));
}

void TMyDoubleSpinEdit::CMEnter(QFocusEvent *event)
{
    CurrentValueDouble = GetValueDouble();
    EnterField(event);
}

void TMyDoubleSpinEdit::CMExit(QFocusEvent *event)
{
    // Before OnExit, so that a handler sees the tidied text and value.
    SetValueDouble(GetValueDouble());
    LeaveField(event);
}

} // namespace MyValueSpin
