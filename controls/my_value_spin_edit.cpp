#include "my_value_spin_edit.h"

#include "alert_sound.h"
#include "spin_edit_menu.h"
#include "spin_text.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLocale>
#include <QMenu>

namespace MyValueSpin {

namespace {

// The arrows' size as the field creates them; the field's height decides theirs later.
constexpr int kArrowWidth = 15;
constexpr int kArrowHeight = 17;
// The arrows keep this far from the right and bottom edges of the field.
constexpr int kArrowInset = 5;
// The sunken border of a framed field; the arrows sit inside it.
constexpr int kClientEdge = 2;
// Space kept free between the end of the text and the arrows.
constexpr int kEditRectGap = 2;
// The platform's thin border line, counted four times into the minimum height.
constexpr int kThinBorder = 1;
// Room the minimum height leaves for the caret above and below the characters.
constexpr int kCaretRoom = 2;
constexpr char16_t kFirstPrintable = u' ';
constexpr char16_t kBackspace = u'\b';
constexpr char16_t kCarriageReturn = u'\r';

} // namespace

TMyValueSpinEdit::TMyValueSpinEdit(QWidget *parent) : QLineEdit(parent)
{
    ArrowButtons = new TMyValueSpinButton(this);
    ArrowButtons->SetBounds(0, 0, kArrowWidth, kArrowHeight);
    ArrowButtons->show();
    ArrowButtons->FocusControl = this;
    // Through the virtual functions, so that a derived field's stepping is the one wired in.
    ArrowButtons->OnUpClick = [this](QObject *sender) { UpClick(sender); };
    ArrowButtons->OnDownClick = [this](QObject *sender) { DownClick(sender); };
    setText(QStringLiteral("0"));
    // Dropped text would go round the cut-and-paste rule.
    setAcceptDrops(false);
    connect(this, &QLineEdit::textChanged, this, [this] { EditChange(); });
}

TMyValueSpinEdit::~TMyValueSpinEdit()
{
    ArrowButtons = nullptr;
}

void TMyValueSpinEdit::Raise(const TNotifyEvent &event, QObject *sender)
{
    // A copy, so that a handler may reassign the event while it runs.
    const TNotifyEvent handler = event;
    if (handler)
        handler(sender);
}

long TMyValueSpinEdit::CheckValue(long value) const
{
    return ApplyLimits<long>(value, MinValue, MaxValue);
}

QString TMyValueSpinEdit::textOf(int32_t value) const
{
    if (TextValues.Count() > 0) {
        const QString word = TextValues.TextOf(value);
        if (!word.isEmpty())
            return word;
    }
    return QString::number(value);
}

void TMyValueSpinEdit::SetValue(long value)
{
    const auto checked = static_cast<int32_t>(CheckValue(Saturate(value)));
    const bool changed = checked != CurrentValue;
    CurrentValue = checked;
    // Only a real change touches the text, so that caret and selection stay otherwise.
    const QString shown = textOf(checked);
    if (text() != shown)
        setText(shown);
    if (changed)
        Raise(OnChanged, this);
}

long TMyValueSpinEdit::GetValue()
{
    if (TextValues.Count() > 0 && text() == TextValues.TextOf(CurrentValue))
        return CurrentValue;
    const std::optional<int32_t> typed = ReadWholeNumber(text());
    SetValue(typed ? *typed : CurrentValue);
    return CurrentValue;
}

void TMyValueSpinEdit::AddTextValues(long value, const QString &text)
{
    TextValues.PutText(value, text);
}

void TMyValueSpinEdit::EditChange()
{
    if (OnChange && ReadWholeNumber(text()))
        Raise(OnChange, this);
}

void TMyValueSpinEdit::UpClick(QObject *)
{
    if (isReadOnly()) {
        AlertSound();
        return;
    }
    // Reading first makes a number just typed the base of the step.
    SetValue(Saturate(int64_t(GetValue()) + Increment));
}

void TMyValueSpinEdit::DownClick(QObject *)
{
    if (isReadOnly()) {
        AlertSound();
        return;
    }
    SetValue(Saturate(int64_t(GetValue()) - Increment));
}

bool TMyValueSpinEdit::IsValidChar(QChar &key)
{
    const char16_t code = key.unicode();
    // Codes from 128 up are ordinary characters, not control characters.
    return QString(key) == QLocale().decimalPoint() || code == u'+' || code == u'-'
        || (code >= u'0' && code <= u'9') || (code < kFirstPrintable && code != kCarriageReturn);
}

bool TMyValueSpinEdit::KeyPress(QChar &key)
{
    const bool valid = IsValidChar(key);
    const char16_t code = key.unicode();
    // Without the editor only the control characters (clipboard and undo) are left; cut and
    // paste have their own rule.
    const bool editorRefuses = !EditorEnabled && (code >= kFirstPrintable || code == kBackspace);
    if (valid && !editorRefuses)
        return true;
    AlertSound();
    return false;
}

void TMyValueSpinEdit::KeyDown(const QKeyEvent &event)
{
    switch (event.key()) {
    case Qt::Key_Up:
        UpClick(this);
        break;
    case Qt::Key_Down:
        DownClick(this);
        break;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        CommitTyped();
        break;
    default:
        break;
    }
}

void TMyValueSpinEdit::keyPressEvent(QKeyEvent *event)
{
    KeyDown(*event);
    const std::optional<QChar> typed = TypedChar(*event);
    if (!typed) {
        passKey(event);
        return;
    }
    QChar key = *typed;
    if (!KeyPress(key)) {
        // Enter types nothing into a line edit anyway; the field and its window still see
        // it as a key (returnPressed, a dialog's default button). Any other refused
        // character is dropped.
        if (key.unicode() == kCarriageReturn)
            passKey(event);
        else
            event->accept();
        return;
    }
    if (key == *typed) {
        passKey(event);
        return;
    }
    QKeyEvent rewritten(event->type(), event->key(), event->modifiers(), QString(key),
                        event->isAutoRepeat(), static_cast<quint16>(event->count()));
    passKey(&rewritten);
    event->setAccepted(rewritten.isAccepted());
}

void TMyValueSpinEdit::passKey(QKeyEvent *event)
{
    if ((event->matches(QKeySequence::Cut) || event->matches(QKeySequence::Paste)) && !CutPasteAllowed()) {
        event->accept();
        return;
    }
    QLineEdit::keyPressEvent(event);
}

void TMyValueSpinEdit::inputMethodEvent(QInputMethodEvent *event)
{
    // Composed input passes the same filter as typed keys.
    QString committed = event->commitString();
    for (QChar &c : committed) {
        if (!KeyPress(c)) {
            event->accept();
            return;
        }
    }
    if (committed != event->commitString())
        event->setCommitString(committed, event->replacementStart(), event->replacementLength());
    QLineEdit::inputMethodEvent(event);
}

void TMyValueSpinEdit::Cut()
{
    if (CutPasteAllowed())
        cut();
}

void TMyValueSpinEdit::Paste()
{
    if (CutPasteAllowed())
        paste();
}

void TMyValueSpinEdit::contextMenuEvent(QContextMenuEvent *event)
{
    CreateSpinEditMenu(*this)->popup(event->globalPos());
}

void TMyValueSpinEdit::mouseReleaseEvent(QMouseEvent *event)
{
    // The middle button pastes the selection on some platforms.
    if (event->button() == Qt::MiddleButton && !CutPasteAllowed()) {
        event->accept();
        return;
    }
    QLineEdit::mouseReleaseEvent(event);
}

void TMyValueSpinEdit::focusInEvent(QFocusEvent *event)
{
    const bool returning = entered_ && event->reason() == Qt::ActiveWindowFocusReason;
    if (returning || event->reason() == Qt::PopupFocusReason) {
        QLineEdit::focusInEvent(event);
        return;
    }
    entered_ = true;
    CMEnter(event);
}

void TMyValueSpinEdit::focusOutEvent(QFocusEvent *event)
{
    if (event->reason() == Qt::ActiveWindowFocusReason || event->reason() == Qt::PopupFocusReason) {
        QLineEdit::focusOutEvent(event);
        return;
    }
    entered_ = false;
    CMExit(event);
}

void TMyValueSpinEdit::CMEnter(QFocusEvent *event)
{
    CurrentValue = static_cast<int32_t>(GetValue());
    EnterField(event);
}

void TMyValueSpinEdit::CMExit(QFocusEvent *event)
{
    // Before OnExit, so that a handler sees the tidied text and value.
    SetValue(GetValue());
    LeaveField(event);
}

void TMyValueSpinEdit::EnterField(QFocusEvent *event)
{
    QLineEdit::focusInEvent(event);
    Raise(OnEnter, this);
    if (AutoSelect)
        selectAll();
}

void TMyValueSpinEdit::LeaveField(QFocusEvent *event)
{
    QLineEdit::focusOutEvent(event);
    Raise(OnExit, this);
}

int TMyValueSpinEdit::GetMinHeight() const
{
    const int f = QFontMetrics(font()).height();
    const int s = QFontMetrics(QFontDatabase::systemFont(QFontDatabase::GeneralFont)).height();
    return f + std::min(s, f) / 4 + 4 * kThinBorder + kCaretRoom;
}

void TMyValueSpinEdit::resizeEvent(QResizeEvent *event)
{
    QLineEdit::resizeEvent(event);
    // A shown field gets the new size back as a size change of its own; one being shown
    // or hidden does not, so the arrows are placed for the new size here as well.
    if (height() < GetMinHeight())
        resize(width(), GetMinHeight());
    if (!ArrowButtons)
        return;
    const int edge = hasFrame() ? kClientEdge : 0;
    const int w = ArrowButtons->width();
    ArrowButtons->SetBounds(edge + width() - w - kArrowInset, edge, w, height() - kArrowInset);
    SetEditRect();
}

void TMyValueSpinEdit::SetEditRect()
{
    setTextMargins(0, 0, ArrowButtons->width() + kEditRectGap, 0);
}

} // namespace MyValueSpin
