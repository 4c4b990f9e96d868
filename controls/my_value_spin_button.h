#pragma once
#include "timer_speed_button.h"

#include <QImage>
#include <QPointer>
#include <QWidget>
#include <functional>

namespace MyValueSpin {

// An event with the sender only.
using TNotifyEvent = std::function<void(QObject *sender)>;

// Two auto-repeating arrow buttons stacked vertically, up over down. A press on an arrow
// can hand the keyboard focus to FocusControl (the spin edits name themselves there).
// With TabStop on, the pair can take the focus itself and is worked with Space, Up and Down;
// the other keys it takes in and ignores, passing none on to the widgets around it.
class TMyValueSpinButton : public QWidget {
    Q_OBJECT
public:
    // Narrower arrows would cut into the 9-pixel glyphs.
    static constexpr int kMinWidth = 15;
    static constexpr int kInitialWidth = 20;
    static constexpr int kInitialHeight = 25;

    explicit TMyValueSpinButton(QWidget *parent = nullptr);

    TTimerSpeedButton *UpBtn = nullptr;
    TTimerSpeedButton *DownBtn = nullptr;
    TTimerSpeedButton *FocusedBtn = nullptr;
    // Receives the focus when an arrow is pressed with the left mouse button.
    QPointer<QWidget> FocusControl;
    // Raised for a click of the upper or lower arrow; the sender is the pair.
    TNotifyEvent OnUpClick;
    TNotifyEvent OnDownClick;

    // Raises width to the minimum and lays the two buttons out for the given size.
    void AdjustSize(int &width, int &height);
    // Places the pair with the width raised to the minimum.
    virtual void SetBounds(int left, int top, int width, int height);
    // Re-applies the size rule once the pair has been set up from stored settings.
    void Loaded();

    void SetFocusBtn(TTimerSpeedButton *btn);

    QImage GetUpGlyph() const { return UpBtn->Glyph(); }
    QImage GetDownGlyph() const { return DownBtn->Glyph(); }
    // A null image puts the built-in arrow back.
    void SetUpGlyph(const QImage &bitmap = QImage());
    void SetDownGlyph(const QImage &bitmap = QImage());

    bool TabStop() const { return focusPolicy() & Qt::TabFocus; }
    void SetTabStop(bool on);

protected:
    TTimerSpeedButton *CreateButton();
    void BtnMouseDown(TTimerSpeedButton *sender, Qt::MouseButton button);
    void BtnClick(TTimerSpeedButton *sender);

    void resizeEvent(QResizeEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    void keepAdjustedSize();
};

} // namespace MyValueSpin
