#pragma once
#include <QAbstractButton>
#include <QImage>
#include <QPoint>
#include <cstdint>

class QTimer;

namespace MyValueSpin {

// A light-weight arrow button that repeats its click while it is held down with the mouse.
// It takes no keyboard focus; it shows pressed while the held pointer is over it and clicks
// when the left button is released over it.
class TTimerSpeedButton : public QAbstractButton {
    Q_OBJECT
public:
    // The bits of RepeatFlags.
    enum RepeatFlag : uint8_t {
        ShowFocusFrame = 0x01, // draw the dotted focus frame
        AutoRepeat = 0x02,     // repeat the click while held
    };

    // The wait before the first repeat: long enough that a normal click never repeats.
    static constexpr int kFirstRepeatInterval = 400;
    // The pace of the repeats after the first one.
    static constexpr int kRepeatInterval = 100;

    explicit TTimerSpeedButton(QWidget *parent = nullptr);
    ~TTimerSpeedButton() override;

    uint8_t RepeatFlags() const { return repeatFlags_; }
    void SetRepeatFlag(RepeatFlag flag, bool on);

    QImage Glyph() const { return glyph_; }
    void SetGlyph(const QImage &glyph);

    // The click of a release over the button; the repeats give the same click.
    void Click();

    // The repeat timer, which exists from the first press that needs it.
    QTimer *StepTimer() const { return stepTimer_; }

signals:
    // Raised by every press, whatever the mouse button, before the repeat starts.
    void mouseDown(Qt::MouseButton button, Qt::KeyboardModifiers modifiers, QPoint pos);

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

    // The repeat timer's tick.
    void TimerExpired();

private:
    void paintFocusFrame(QPainter &painter) const;

    QTimer *stepTimer_ = nullptr;
    uint8_t repeatFlags_ = 0;
    // Whether this button holds the mouse: from a left press on it until the left release.
    bool mouseCapture_ = false;
    QImage glyph_;
};

} // namespace MyValueSpin
