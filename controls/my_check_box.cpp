#include "my_check_box.h"

#include <QFontInfo>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QPainter>
#include <QStyleOptionButton>

namespace MyValueSpin {

namespace {

// The system colours the control paints with; they follow the palette of the platform.
constexpr QPalette::ColorRole kControlColor = QPalette::Button;       // button face
constexpr QPalette::ColorRole kDisabledBackground = QPalette::Button; // box interior, disabled
constexpr QPalette::ColorRole kEmbossHighlight = QPalette::Light;     // disabled caption, lower copy
constexpr QPalette::ColorRole kEmbossShadow = QPalette::Dark;         // disabled caption, upper copy
// A caption measured to an odd height gets one more pixel so that it centres on whole pixels.
constexpr int kCaptionVerticalMargin = 4;
// The sample glyph for the size of a control without a caption: a full-height capital.
const QString kSizeSample = QStringLiteral("X");

} // namespace

int InternalLeading(const QFont &font)
{
    return std::max(0, QFontMetrics(font).height() - QFontInfo(font).pixelSize());
}

TMyCheckBox::TMyCheckBox(QWidget *parent) : QWidget(parent)
{
    SetTabStop(true);
    setMinimumSize(kMinSide, kMinSide);
    resize(kMinSide, kMinSide);
    // Painted in full by paintEvent.
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void TMyCheckBox::SetCheck(bool value)
{
    const bool changed = value != checked_;
    checked_ = value;
    repaint();
    if (changed && OnClick) {
        // A copy, so that a handler may reassign the event while it runs.
        const TNotifyEvent handler = OnClick;
        handler(this);
    }
}

void TMyCheckBox::SetBackground(const QColor &color)
{
    background_ = color;
    repaint();
}

void TMyCheckBox::SetCheckColor(const QColor &color)
{
    checkColor_ = color;
    repaint();
}

void TMyCheckBox::SetCaption(const QString &text)
{
    caption_ = text;
    if (autoSize_)
        AdjustSize();
    update();
}

void TMyCheckBox::SetHint(const QString &text)
{
    hint_ = text;
    // The control's own hint is the one the pointer shows; no hint shows no tooltip.
    setToolTip(text);
}

void TMyCheckBox::SetAlignment(TAlignment alignment)
{
    alignment_ = alignment;
    update();
}

void TMyCheckBox::SetAutoSize(bool on)
{
    autoSize_ = on;
    if (on)
        AdjustSize();
}

void TMyCheckBox::SetTabStop(bool on)
{
    // A press takes the focus through DoClick, after the state has changed, never by the
    // toolkit's click focus before it.
    setFocusPolicy(on ? Qt::TabFocus : Qt::NoFocus);
}

bool TMyCheckBox::CanFocus() const
{
    // Both follow the parents: a hidden or disabled parent makes the control so too.
    return isEnabled() && isVisible();
}

void TMyCheckBox::DoClick()
{
    checked_ = !checked_;
    repaint();
    if (CanFocus())
        setFocus(Qt::MouseFocusReason);
    focusMark_ = true;
    repaint();
    if (OnClick) {
        const TNotifyEvent handler = OnClick;
        handler(this);
    }
}

void TMyCheckBox::AdjustSize()
{
    if (!autoSize_)
        return;
    const QFontMetrics metrics(font());
    if (caption_.isEmpty()) {
        const int side = std::max(metrics.boundingRect(QRect(), Qt::TextSingleLine, kSizeSample).height(), kMinSide);
        resize(side, side);
        return;
    }
    const QRect text = metrics.boundingRect(QRect(), Qt::TextSingleLine, caption_);
    const int t = text.height() + text.height() % 2;
    const int h = std::max(t + kCaptionVerticalMargin, kMinSide);
    resize(h + text.width() + t / 3, h);
}

void TMyCheckBox::Loaded()
{
    if (autoSize_)
        AdjustSize();
}

TCheckBoxGeometry TMyCheckBox::Geometry() const
{
    return CheckBoxGeometry(width(), height(), QFontMetrics(font()).height(), InternalLeading(font()), boxAtRight());
}

void TMyCheckBox::KeyDown(int key)
{
    if (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Space)
        DoClick();
}

void TMyCheckBox::keyPressEvent(QKeyEvent *event)
{
    const int key = event->key();
    if (key != Qt::Key_Return && key != Qt::Key_Enter && key != Qt::Key_Space) {
        // Other keys belong to the window (a dialog's buttons, shortcuts).
        event->ignore();
        return;
    }
    KeyDown(key);
}

void TMyCheckBox::mousePressEvent(QMouseEvent *event)
{
    // The toggle comes with the press, not the release.
    if (event->button() == Qt::LeftButton)
        DoClick();
    else
        event->ignore();
}

void TMyCheckBox::DoEnter()
{
    focusMark_ = true;
    repaint();
    if (OnEnter) {
        const TNotifyEvent handler = OnEnter;
        handler(this);
    }
}

void TMyCheckBox::DoExit()
{
    focusMark_ = false;
    repaint();
    if (OnExit) {
        const TNotifyEvent handler = OnExit;
        handler(this);
    }
}

void TMyCheckBox::focusInEvent(QFocusEvent *event)
{
    QWidget::focusInEvent(event);
    // Coming back with its window is not entering the control: it never left it.
    if (event->reason() != Qt::ActiveWindowFocusReason && event->reason() != Qt::PopupFocusReason)
        DoEnter();
}

void TMyCheckBox::focusOutEvent(QFocusEvent *event)
{
    QWidget::focusOutEvent(event);
    if (event->reason() != Qt::ActiveWindowFocusReason && event->reason() != Qt::PopupFocusReason) {
        DoExit();
        return;
    }
    // The window went to the background: the control stays its focused control.
    focusMark_ = false;
    update();
}

void TMyCheckBox::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        if (autoSize_)
            AdjustSize();
        repaint();
    } else if (event->type() == QEvent::EnabledChange) {
        repaint();
    }
}

void TMyCheckBox::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), palette().color(kControlColor));
    if (focusMark_)
        paintFocusRect(painter);
    const TCheckBoxGeometry g = Geometry();
    paintBox(painter, g);
    if (!caption_.isEmpty())
        paintCaption(painter, g);
}

void TMyCheckBox::paintFocusRect(QPainter &painter) const
{
    // Every other pixel of the outline of (0, 0, W - 1, H - 1), as a dotted focus frame is.
    const QRect r(0, 0, width() - 1, height() - 1);
    painter.setPen(palette().color(QPalette::WindowText));
    for (int x = r.left(); x <= r.right(); ++x) {
        for (const int y : {r.top(), r.bottom()}) {
            if ((x + y) % 2 == 0)
                painter.drawPoint(x, y);
        }
    }
    for (int y = r.top() + 1; y < r.bottom(); ++y) {
        for (const int x : {r.left(), r.right()}) {
            if ((x + y) % 2 == 0)
                painter.drawPoint(x, y);
        }
    }
}

void TMyCheckBox::paintBox(QPainter &painter, const TCheckBoxGeometry &g) const
{
    QStyleOptionButton frame;
    frame.initFrom(this);
    // The empty, unpressed frame: the interior and the mark are the control's own.
    frame.state = QStyle::State_Off | (isEnabled() ? QStyle::State_Enabled : QStyle::State_None);
    frame.rect = g.box;
    painter.save();
    painter.setClipRect(g.box);
    style()->drawPrimitive(QStyle::PE_IndicatorCheckBox, &frame, &painter, this);
    painter.restore();
    painter.fillRect(g.interior, isEnabled() ? background_ : palette().color(kDisabledBackground));
    if (!checked_)
        return;
    painter.setPen(isEnabled() ? checkColor_ : palette().color(QPalette::Disabled, QPalette::Text));
    const QList<QPoint> mark = MarkPixels(g);
    painter.drawPoints(mark.constData(), int(mark.size()));
}

void TMyCheckBox::paintCaption(QPainter &painter, const TCheckBoxGeometry &g) const
{
    const int flags = Qt::TextSingleLine | Qt::AlignVCenter | (boxAtRight() ? Qt::AlignRight : Qt::AlignLeft);
    painter.setFont(font());
    if (isEnabled()) {
        painter.setPen(palette().color(QPalette::WindowText));
        painter.drawText(g.caption, flags, caption_);
        return;
    }
    painter.setPen(palette().color(QPalette::Active, kEmbossHighlight));
    painter.drawText(g.caption.translated(1, 1), flags, caption_);
    painter.setPen(palette().color(QPalette::Active, kEmbossShadow));
    painter.drawText(g.caption, flags, caption_);
}

} // namespace MyValueSpin
