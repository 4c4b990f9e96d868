#include "timer_speed_button.h"

#include "spin_glyphs.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QStyleOptionButton>
#include <QTimer>

namespace MyValueSpin {

namespace {

// The focus frame keeps this far inside the button's edges.
constexpr int kFocusFrameInset = 3;
// How far the face of a pressed button moves right and down.
constexpr int kPressedShift = 1;

} // namespace

TTimerSpeedButton::TTimerSpeedButton(QWidget *parent) : QAbstractButton(parent)
{
    setFocusPolicy(Qt::NoFocus);
}

TTimerSpeedButton::~TTimerSpeedButton()
{
    // The timer goes first so that no tick can reach a half-destroyed button.
    delete stepTimer_;
    stepTimer_ = nullptr;
}

void TTimerSpeedButton::SetRepeatFlag(RepeatFlag flag, bool on)
{
    const uint8_t flags = on ? uint8_t(repeatFlags_ | flag) : uint8_t(repeatFlags_ & ~flag);
    if (flags == repeatFlags_)
        return;
    repeatFlags_ = flags;
    if (flag == ShowFocusFrame)
        update();
}

void TTimerSpeedButton::SetGlyph(const QImage &glyph)
{
    glyph_ = glyph;
    update();
}

void TTimerSpeedButton::Click()
{
    emit clicked(isChecked());
}

void TTimerSpeedButton::mousePressEvent(QMouseEvent *event)
{
    QPointer<TTimerSpeedButton> self(this);
    if (event->button() == Qt::LeftButton) {
        QAbstractButton::mousePressEvent(event);
        mouseCapture_ = isDown();
    }
    // Every press ends here: none may reach the edit field under the arrows.
    event->accept();
    emit mouseDown(event->button(), event->modifiers(), event->position().toPoint());
    if (!self || !(repeatFlags_ & AutoRepeat))
        return;
    if (!stepTimer_) {
        stepTimer_ = new QTimer(this);
        // A precise timer keeps the pace of the repeats even.
        stepTimer_->setTimerType(Qt::PreciseTimer);
        connect(stepTimer_, &QTimer::timeout, this, &TTimerSpeedButton::TimerExpired);
    }
    stepTimer_->setInterval(kFirstRepeatInterval);
    stepTimer_->start();
}

void TTimerSpeedButton::mouseReleaseEvent(QMouseEvent *event)
{
    QPointer<TTimerSpeedButton> self(this);
    if (event->button() == Qt::LeftButton) {
        mouseCapture_ = false;
        QAbstractButton::mouseReleaseEvent(event); // clicks when released over the button
    }
    event->accept();
    if (self && stepTimer_)
        stepTimer_->stop();
}

void TTimerSpeedButton::TimerExpired()
{
    // Only when the interval really changes: setting it restarts the timer, and restarting
    // on every tick would let the pace drift by each tick's delay.
    if (stepTimer_->interval() != kRepeatInterval)
        stepTimer_->setInterval(kRepeatInterval);
    if (!isDown() || !mouseCapture_)
        return;
    try {
        Click();
    } catch (...) {
        // A step that failed once would fail again on every tick.
        stepTimer_->stop();
        throw;
    }
}

void TTimerSpeedButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    QStyleOptionButton option;
    option.initFrom(this);
    option.state |= isDown() ? QStyle::State_Sunken : QStyle::State_Raised;
    style()->drawPrimitive(QStyle::PE_PanelButtonBevel, &option, &painter, this);

    if (!glyph_.isNull()) {
        QPixmap face = QPixmap::fromImage(TransparentGlyph(glyph_));
        if (!isEnabled())
            face = style()->generatedIconPixmap(QIcon::Disabled, face, &option);
        QPoint topLeft((width() - glyph_.width()) / 2, (height() - glyph_.height()) / 2);
        if (isDown())
            topLeft += QPoint(kPressedShift, kPressedShift);
        painter.drawPixmap(topLeft, face);
    }
    if (repeatFlags_ & ShowFocusFrame)
        paintFocusFrame(painter);
}

void TTimerSpeedButton::paintFocusFrame(QPainter &painter) const
{
    QRect frame = rect().adjusted(kFocusFrameInset, kFocusFrameInset, -kFocusFrameInset, -kFocusFrameInset);
    if (isDown())
        frame.translate(kPressedShift, kPressedShift);
    if (frame.isEmpty())
        return;
    painter.save();
    painter.setPen(QPen(palette().color(QPalette::ButtonText), 0, Qt::DotLine));
    painter.setBrush(Qt::NoBrush);
    // drawRect covers one pixel more than the rectangle in each direction.
    painter.drawRect(frame.adjusted(0, 0, -1, -1));
    painter.restore();
}

} // namespace MyValueSpin
