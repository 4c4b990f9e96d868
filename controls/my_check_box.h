#pragma once
#include "check_box_geometry.h"
#include "control_types.h"
#include "my_value_spin_button.h"

#include <QColor>
#include <QWidget>

namespace MyValueSpin {

// A check box that draws everything itself: a square box with a thick check mark in colours
// of its own, the caption beside it, a dotted focus rectangle, and an optional size that
// fits the caption. A press, Enter or Space toggles it; so does SetCheck from code, and both
// raise OnClick.
class TMyCheckBox : public QWidget {
    Q_OBJECT
public:
    // Neither side goes below this: the smallest box and its margins need it.
    static constexpr int kMinSide = 19;

    explicit TMyCheckBox(QWidget *parent = nullptr);

    // Raised by every change of the checked state, by the user or by SetCheck.
    TNotifyEvent OnClick;
    // Raised when the control becomes the focused control of its window, and when it
    // stops being so.
    TNotifyEvent OnEnter;
    TNotifyEvent OnExit;

    bool GetCheck() const { return checked_; }
    void SetCheck(bool value);
    QColor GetBackground() const { return background_; }
    void SetBackground(const QColor &color);
    QColor GetCheckColor() const { return checkColor_; }
    void SetCheckColor(const QColor &color);
    QString Caption() const { return caption_; }
    void SetCaption(const QString &text);
    QString Hint() const { return hint_; }
    void SetHint(const QString &text);
    // taLeftJustify puts the box at the right end with the caption before it; the others
    // put it at the left.
    TAlignment Alignment() const { return alignment_; }
    void SetAlignment(TAlignment alignment);
    bool AutoSize() const { return autoSize_; }
    void SetAutoSize(bool on);
    bool TabStop() const { return focusPolicy() & Qt::TabFocus; }
    void SetTabStop(bool on);
    // Whether the dotted focus rectangle is drawn.
    bool FocusMark() const { return focusMark_; }

    // The user's toggle: invert, repaint, take the focus, show the focus mark, OnClick.
    void DoClick();
    // Fits the size to the caption when AutoSize is on.
    void AdjustSize();
    bool CanAutoSize(int &, int &) const { return true; }
    bool CanFocus() const;
    // Re-applies the automatic size once the control has been set up from stored settings.
    void Loaded();

    // The layout the control paints with at its present size and font.
    TCheckBoxGeometry Geometry() const;

protected:
    void KeyDown(int key);
    void DoEnter();
    void DoExit();

    void paintEvent(QPaintEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void paintFocusRect(QPainter &painter) const;
    void paintBox(QPainter &painter, const TCheckBoxGeometry &g) const;
    void paintCaption(QPainter &painter, const TCheckBoxGeometry &g) const;
    bool boxAtRight() const { return alignment_ == taLeftJustify; }

    bool focusMark_ = false;
    bool checked_ = false;
    QColor background_{Qt::white};
    QColor checkColor_{Qt::black};
    QString caption_;
    QString hint_;
    TAlignment alignment_ = taRightJustify;
    bool autoSize_ = false;
};

// The height of the part of a font's line above its glyphs' em square.
int InternalLeading(const QFont &font);

} // namespace MyValueSpin
