#pragma once
#include "my_value_spin_button.h"
#include "text_values_list.h"

#include <QLineEdit>
#include <cstdint>

namespace MyValueSpin {

// A one-line field for a signed 32-bit whole number with a pair of arrow buttons inside its
// right edge. The value stays within MinValue..MaxValue; the arrows, the Up and Down keys and
// a held arrow step it by Increment. The typed text is read back when the field is left, on
// Enter and on every read of Value. Chosen numbers can be shown as words (AddTextValues).
class TMyValueSpinEdit : public QLineEdit {
    Q_OBJECT
public:
    explicit TMyValueSpinEdit(QWidget *parent = nullptr);
    ~TMyValueSpinEdit() override;

    TMyValueSpinButton *ArrowButtons = nullptr;
    // Raised when the text changes and reads as a whole number.
    TNotifyEvent OnChange;
    // Raised when the stored value changes; always after the OnChange of the same change.
    TNotifyEvent OnChanged;
    // Raised when the focus enters the field (after the text has been read back) and when it
    // leaves (after the text has been tidied).
    TNotifyEvent OnEnter;
    TNotifyEvent OnExit;
    TTextValuesList<long> TextValues;

    // Plain settings: changing them re-checks nothing until the value is next read or written.
    int32_t MinValue = 0; // both limits 0: no limits
    int32_t MaxValue = 0;
    int32_t Increment = 1;
    bool EditorEnabled = true; // false: the value can be stepped, not typed
    bool AutoSelect = true;    // select the whole text when the focus enters

    // Reads the text back (tidying it) and returns the stored value.
    long Value() { return GetValue(); }
    long GetValue();
    void SetValue(long value);
    // value brought into the limits.
    long CheckValue(long value) const;
    // Sets, replaces or (with an empty text) removes the word shown for a number; the text on
    // screen changes with the next read or write of Value.
    void AddTextValues(long value, const QString &text);
    // The smallest height at which the text fits.
    int GetMinHeight() const;

    // The keystroke filter; it may rewrite the character it is given.
    virtual bool IsValidChar(QChar &key);
    // One step up or down; a read-only field refuses with the alert.
    virtual void UpClick(QObject *sender);
    virtual void DownClick(QObject *sender);

    // Cut and paste, refused while the text may not be edited.
    void Cut();
    void Paste();
    bool CutPasteAllowed() const { return EditorEnabled && !isReadOnly(); }

protected:
    int32_t CurrentValue = 0;

    // Narrows the text area so that text never runs under the arrows.
    void SetEditRect();
    // The text changed, typed or assigned.
    virtual void EditChange();
    // Up, Down and Enter; the key is not consumed.
    virtual void KeyDown(const QKeyEvent &event);
    // Enter: the typed text becomes the value, as leaving the field makes it.
    virtual void CommitTyped() { SetValue(GetValue()); }
    // IsValidChar and the EditorEnabled rule; a refused character sounds the alert.
    bool KeyPress(QChar &key);

    // The value parts of entering and leaving; EnterField and LeaveField are the rest.
    virtual void CMEnter(QFocusEvent *event);
    virtual void CMExit(QFocusEvent *event);
    void EnterField(QFocusEvent *event);
    void LeaveField(QFocusEvent *event);

    static void Raise(const TNotifyEvent &event, QObject *sender);

    void resizeEvent(QResizeEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void inputMethodEvent(QInputMethodEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    QString textOf(int32_t value) const;
    void passKey(QKeyEvent *event);

    // Whether the focus is in the field as far as the form is concerned; a deactivated
    // window or an open context menu takes the keyboard, not the field's focus.
    bool entered_ = false;
};

} // namespace MyValueSpin
