#include "shadow_label.h"

#include <QApplication>
#include <QFontMetrics>
#include <QKeySequence>
#include <QMouseEvent>
#include <QPainter>
#include <QShortcutEvent>

namespace ShadowLabel {

namespace {

// Height enough for any number of wrapped lines when the text is measured.
constexpr int kUnboundedHeight = 1 << 24;
// What an empty caption measures as, so that an empty label keeps one blank's size.
const QString kEmptyMeasure = QStringLiteral(" ");
const QString kAcceleratorOnly = QStringLiteral("&");
// The system colours of embossed (disabled) text.
constexpr QPalette::ColorRole kEmbossHighlight = QPalette::Light;
constexpr QPalette::ColorRole kEmbossShadow = QPalette::Dark;

} // namespace

TShadow::TShadow(TShadowCustomLabel *owner) : owner_(owner) {}

QColor TShadow::ShadowColor() const
{
    // The button shadow of the platform, so the shadow matches the 3-D look around it.
    return color_.isValid() ? color_ : owner_->palette().color(QPalette::Active, QPalette::Dark);
}

void TShadow::SetDirection(TShadowDirection direction)
{
    if (direction == direction_)
        return;
    direction_ = direction;
    owner_->update();
}

void TShadow::SetOffset(int offset)
{
    if (offset == offset_)
        return;
    offset_ = offset;
    owner_->update();
}

void TShadow::SetShadowColor(const QColor &color)
{
    const QColor wanted = color.isValid() ? color : QColor();
    if (wanted == color_)
        return;
    color_ = wanted;
    owner_->update();
}

void TShadow::Assign(const TShadow &other)
{
    SetDirection(other.Direction());
    SetOffset(other.Offset());
    // A shadow that follows its palette makes this one follow its own.
    SetShadowColor(other.color_);
}

QRect TShadow::ShadowRect(const QRect &rect) const
{
    const bool left = direction_ == sdUpLeft || direction_ == sdDownLeft;
    const bool up = direction_ == sdUpLeft || direction_ == sdUpRight;
    return rect.translated(left ? -offset_ : offset_, up ? -offset_ : offset_);
}

TShadowCustomLabel::TShadowCustomLabel(QWidget *parent) : QWidget(parent), shadow_(new TShadow(this))
{
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
    resize(kInitialWidth, kInitialHeight);
}

TShadowCustomLabel::~TShadowCustomLabel()
{
    if (acceleratorId_ != 0)
        qApp->removeEventFilter(this);
    delete shadow_;
}

void TShadowCustomLabel::SetWideCaption(const QString &caption)
{
    caption_ = caption;
    update();
    updateAccelerator();
    AdjustLabelSize();
}

void TShadowCustomLabel::SetAlignment(TAlignment alignment)
{
    if (alignment == alignment_)
        return;
    alignment_ = alignment;
    update();
}

void TShadowCustomLabel::SetLayout(TTextLayout layout)
{
    if (layout == layout_)
        return;
    layout_ = layout;
    update();
}

void TShadowCustomLabel::SetAutoSize(bool on)
{
    if (on == autoSize_)
        return;
    autoSize_ = on;
    AdjustLabelSize();
}

void TShadowCustomLabel::SetWordWrap(bool on)
{
    if (on == wordWrap_)
        return;
    wordWrap_ = on;
    AdjustLabelSize();
    update();
}

void TShadowCustomLabel::SetShowAccelChar(bool on)
{
    if (on == showAccelChar_)
        return;
    showAccelChar_ = on;
    updateAccelerator();
    update();
}

void TShadowCustomLabel::SetLabelStyle(TLabelStyle style)
{
    if (style == labelStyle_)
        return;
    labelStyle_ = style;
    update();
}

void TShadowCustomLabel::SetTransparent(bool on)
{
    if (on == Transparent())
        return;
    setAttribute(Qt::WA_OpaquePaintEvent, !on);
    update();
}

void TShadowCustomLabel::SetColor(const QColor &color)
{
    QPalette own = palette();
    own.setColor(backgroundRole(), color);
    setPalette(own);
}

void TShadowCustomLabel::SetFocusControl(QWidget *control)
{
    focusControl_ = control;
    if (control)
        connect(control, &QObject::destroyed, this, &TShadowCustomLabel::forgetFocusControl, Qt::UniqueConnection);
    updateAccelerator();
}

void TShadowCustomLabel::forgetFocusControl(QObject *gone)
{
    // A widget announces its end while guards on it still point at it; left so, the
    // accelerator would be grabbed again for a control that is going.
    if (focusControl_.data() == gone)
        focusControl_.clear();
    updateAccelerator();
}

void TShadowCustomLabel::updateAccelerator()
{
    if (acceleratorId_ != 0)
        releaseShortcut(acceleratorId_);
    acceleratorId_ = 0;
    if (!focusControl_ || !showAccelChar_)
        return;
    const QKeySequence accelerator = QKeySequence::mnemonic(caption_);
    if (!accelerator.isEmpty())
        acceleratorId_ = grabShortcut(accelerator);
    if (acceleratorId_ != 0)
        qApp->installEventFilter(this);
    else
        qApp->removeEventFilter(this);
}

bool TShadowCustomLabel::acceleratorCanFocus() const
{
    const QWidget *target = focusControl_.data();
    return target && isEnabled() && showAccelChar_ && target->isEnabled() && target->isVisible() &&
           target->focusPolicy() != Qt::NoFocus;
}

bool TShadowCustomLabel::eventFilter(QObject *watched, QEvent *event)
{
    // Each key is offered as a ShortcutOverride before it is matched against the shortcuts.
    // The accelerator takes part in that match only while FocusControl can take the focus:
    // otherwise the key goes on as if the label were not there, to another shortcut on the
    // same key or to the focus widget. The state is taken here, at the key, because a
    // change of focus policy, for one, sends no event to watch.
    if (event->type() == QEvent::ShortcutOverride && acceleratorId_ != 0)
        setShortcutEnabled(acceleratorId_, acceleratorCanFocus());
    return QWidget::eventFilter(watched, event);
}

bool TShadowCustomLabel::event(QEvent *event)
{
    if (event->type() != QEvent::Shortcut || static_cast<QShortcutEvent *>(event)->shortcutId() != acceleratorId_)
        return QWidget::event(event);
    if (!acceleratorCanFocus())
        return false;
    focusControl_->setFocus(Qt::ShortcutFocusReason);
    return true;
}

int TShadowCustomLabel::horizontalFlags() const
{
    switch (alignment_) {
    case taRightJustify:
        return Qt::AlignRight;
    case taCenter:
        return Qt::AlignHCenter;
    case taLeftJustify:
        break;
    }
    return Qt::AlignLeft;
}

void TShadowCustomLabel::drawOrMeasure(QPainter *canvas, QRect &rect, int flags, const QString &text,
                                       const QColor &color) const
{
    if (!canvas) {
        const QFontMetrics metrics(font());
        const int width = (flags & Qt::TextWordWrap) ? rect.width() : kUnboundedHeight;
        const int layoutFlags = (flags & ~Qt::AlignHorizontal_Mask) | Qt::AlignLeft | Qt::AlignTop;
        const QRect needed = metrics.boundingRect(QRect(0, 0, width, kUnboundedHeight), layoutFlags, text);
        rect.setSize(needed.size());
        return;
    }
    canvas->setPen(color);
    canvas->drawText(rect, flags, text);
}

void TShadowCustomLabel::DrawLabelText(QPainter *canvas, QRect &rect, int flags, bool measureOnly) const
{
    QString text = caption_;
    if (measureOnly && text.isEmpty())
        text = kEmptyMeasure;
    else if (measureOnly && showAccelChar_ && text == kAcceleratorOnly)
        text += kEmptyMeasure;
    if (showAccelChar_)
        flags |= Qt::TextShowMnemonic;
    if (canvas)
        canvas->setFont(font());
    QPainter *target = measureOnly ? nullptr : canvas;
    const QColor textColor = palette().color(foregroundRole());
    if (!isEnabled()) {
        if (target) {
            QRect lifted = rect.translated(1, 1);
            drawOrMeasure(target, lifted, flags, text, palette().color(QPalette::Active, kEmbossHighlight));
        }
        drawOrMeasure(target, rect, flags, text, palette().color(QPalette::Active, kEmbossShadow));
        return;
    }
    if (labelStyle_ == lsShadow) {
        QRect shadow = shadow_->ShadowRect(rect);
        drawOrMeasure(target, shadow, flags, text, shadow_->ShadowColor());
        drawOrMeasure(target, rect, flags, text, textColor);
        rect = rect.united(shadow);
        return;
    }
    drawOrMeasure(target, rect, flags, text, textColor);
}

void TShadowCustomLabel::AdjustLabelSize()
{
    if (!autoSize_)
        return;
    QRect measured = rect();
    DrawLabelText(nullptr, measured, Qt::TextExpandTabs | (wordWrap_ ? Qt::TextWordWrap : 0), true);
    const int right = measured.x() + measured.width();
    const int bottom = measured.y() + measured.height();
    TAlignment alignment = alignment_;
    // Right to left, the text starts at the right edge: that edge then stays.
    if (layoutDirection() == Qt::RightToLeft && alignment != taCenter)
        alignment = alignment == taLeftJustify ? taRightJustify : taLeftJustify;
    const int left = alignment == taRightJustify ? x() + width() - right : x();
    setGeometry(left, y(), right, bottom);
}

void TShadowCustomLabel::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    if (!Transparent())
        painter.fillRect(rect(), Color());
    const int flags = Qt::TextExpandTabs | (wordWrap_ ? Qt::TextWordWrap : 0) | horizontalFlags() | Qt::AlignTop;
    QRect area = rect();
    if (layout_ != tlTop) {
        QRect measured = area;
        DrawLabelText(nullptr, measured, flags, true);
        int dy = height() - (measured.y() + measured.height());
        if (layout_ == tlCenter)
            dy /= 2;
        area.translate(0, dy);
    }
    DrawLabelText(&painter, area, flags, false);
}

void TShadowCustomLabel::RunCommand()
{
    ShellOpen({QStringLiteral("Open"), command_, ShowModeOf(showCommand_)});
}

void TShadowCustomLabel::Click()
{
    if (clickAction_ == acClick)
        RunCommand();
    if (OnClick) {
        // A copy, so that a handler may reassign the event while it runs.
        const TNotifyEvent handler = OnClick;
        handler(this);
    }
}

void TShadowCustomLabel::DblClick()
{
    if (clickAction_ == acDblClick)
        RunCommand();
    if (OnDblClick) {
        const TNotifyEvent handler = OnDblClick;
        handler(this);
    }
}

void TShadowCustomLabel::mousePressEvent(QMouseEvent *event)
{
    pressed_ = event->button() == Qt::LeftButton;
}

void TShadowCustomLabel::mouseReleaseEvent(QMouseEvent *event)
{
    // A click is a left press and release on the label; the release after a double click
    // is no click of its own.
    const bool click = pressed_ && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint());
    pressed_ = false;
    if (click)
        Click();
}

void TShadowCustomLabel::mouseDoubleClickEvent(QMouseEvent *event)
{
    pressed_ = false;
    if (event->button() == Qt::LeftButton)
        DblClick();
}

void TShadowCustomLabel::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        AdjustLabelSize();
        update();
    }
}

} // namespace ShadowLabel
