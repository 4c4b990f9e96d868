#include "my_value_spin_button.h"

#include "spin_glyphs.h"

#include <QKeyEvent>
#include <QPainter>

namespace MyValueSpin {

namespace {

bool canTakeFocus(const QWidget *w) { return w->isVisible() && w->isEnabled(); }

bool tabStop(const QWidget *w) { return w->focusPolicy() & Qt::TabFocus; }

} // namespace

TMyValueSpinButton::TMyValueSpinButton(QWidget *parent) : QWidget(parent)
{
    // The pair paints all of itself.
    setAttribute(Qt::WA_OpaquePaintEvent);
    // Inside an edit field the pointer would otherwise take the field's text cursor.
    setCursor(Qt::ArrowCursor);
    SetTabStop(false);
    UpBtn = CreateButton();
    DownBtn = CreateButton();
    SetUpGlyph();
    SetDownGlyph();
    SetBounds(x(), y(), kInitialWidth, kInitialHeight);
    FocusedBtn = UpBtn;
}

TTimerSpeedButton *TMyValueSpinButton::CreateButton()
{
    auto *btn = new TTimerSpeedButton(this);
    connect(btn, &QAbstractButton::clicked, this, [this, btn] { BtnClick(btn); });
    connect(btn, &TTimerSpeedButton::mouseDown, this,
            [this, btn](Qt::MouseButton button) { BtnMouseDown(btn, button); });
    btn->SetRepeatFlag(TTimerSpeedButton::AutoRepeat, true);
    btn->setEnabled(true);
    btn->show();
    return btn;
}

void TMyValueSpinButton::AdjustSize(int &width, int &height)
{
    if (!UpBtn)
        return;
    width = std::max(width, kMinWidth);
    UpBtn->setGeometry(0, 0, width, height / 2);
    // The lower arrow overlaps the upper one by a pixel so that they share one edge line.
    DownBtn->setGeometry(0, UpBtn->height() - 1, width, height - UpBtn->height() + 1);
}

void TMyValueSpinButton::SetBounds(int left, int top, int width, int height)
{
    AdjustSize(width, height);
    setGeometry(left, top, width, height);
}

void TMyValueSpinButton::Loaded()
{
    keepAdjustedSize();
}

void TMyValueSpinButton::keepAdjustedSize()
{
    int w = width();
    int h = height();
    AdjustSize(w, h);
    if (w != width() || h != height())
        setGeometry(x(), y(), w, h);
}

void TMyValueSpinButton::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    keepAdjustedSize();
}

void TMyValueSpinButton::SetTabStop(bool on)
{
    // A mouse press gives the pair the focus on its own terms (BtnMouseDown), never by
    // the toolkit's click focus.
    setFocusPolicy(on ? Qt::TabFocus : Qt::NoFocus);
}

void TMyValueSpinButton::SetUpGlyph(const QImage &bitmap)
{
    UpBtn->SetGlyph(bitmap.isNull() ? LoadSpinGlyph(QStringLiteral("SpinUp")) : bitmap);
}

void TMyValueSpinButton::SetDownGlyph(const QImage &bitmap)
{
    DownBtn->SetGlyph(bitmap.isNull() ? LoadSpinGlyph(QStringLiteral("SpinDown")) : bitmap);
}

void TMyValueSpinButton::BtnMouseDown(TTimerSpeedButton *sender, Qt::MouseButton button)
{
    if (button != Qt::LeftButton)
        return;
    SetFocusBtn(sender);
    QWidget *target = FocusControl.data();
    if (target && tabStop(target) && canTakeFocus(target) && !target->hasFocus()) {
        target->setFocus(Qt::MouseFocusReason);
        return;
    }
    // A field that has the focus keeps it, and with it its caret and selection.
    if (TabStop() && !hasFocus() && canTakeFocus(this))
        setFocus(Qt::MouseFocusReason);
}

void TMyValueSpinButton::BtnClick(TTimerSpeedButton *sender)
{
    // A copy, so that a handler may reassign the event while it runs.
    const TNotifyEvent handler = sender == UpBtn ? OnUpClick : OnDownClick;
    if (handler)
        handler(this);
}

void TMyValueSpinButton::SetFocusBtn(TTimerSpeedButton *btn)
{
    if (!TabStop() || !canTakeFocus(this) || btn == FocusedBtn)
        return;
    FocusedBtn->SetRepeatFlag(TTimerSpeedButton::ShowFocusFrame, false);
    FocusedBtn = btn;
    if (hasFocus()) {
        FocusedBtn->SetRepeatFlag(TTimerSpeedButton::ShowFocusFrame, true);
        update();
    }
}

void TMyValueSpinButton::focusInEvent(QFocusEvent *event)
{
    QWidget::focusInEvent(event);
    FocusedBtn->SetRepeatFlag(TTimerSpeedButton::ShowFocusFrame, true);
}

void TMyValueSpinButton::focusOutEvent(QFocusEvent *event)
{
    QWidget::focusOutEvent(event);
    FocusedBtn->SetRepeatFlag(TTimerSpeedButton::ShowFocusFrame, false);
}

void TMyValueSpinButton::keyPressEvent(QKeyEvent *event)
{
    switch (event->key()) {
    case Qt::Key_Space:
        FocusedBtn->Click();
        break;
    case Qt::Key_Up:
        SetFocusBtn(UpBtn);
        UpBtn->Click();
        break;
    case Qt::Key_Down:
        SetFocusBtn(DownBtn);
        DownBtn->Click();
        break;
    default:
        break;
    }
    // Every key ends here: passed on, a Return or Escape would reach the form around the
    // pair and act on it while the pair holds the focus.
    event->accept();
}

void TMyValueSpinButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), palette().button());
}

} // namespace MyValueSpin
