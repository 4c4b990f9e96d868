#pragma once
#include "control_types.h"
#include "my_value_spin_button.h"
#include "shell_open.h"

#include <QColor>
#include <QPointer>
#include <QWidget>

namespace ShadowLabel {
Q_NAMESPACE

using MyValueSpin::TAlignment;
using MyValueSpin::TNotifyEvent;
using MyValueSpin::taCenter;
using MyValueSpin::taLeftJustify;
using MyValueSpin::taRightJustify;

enum TShadowDirection { sdUpLeft, sdDownLeft, sdUpRight, sdDownRight };
enum TTextLayout { tlTop, tlCenter, tlBottom };
enum TLabelStyle { lsNormal, lsShadow };
enum TClickAction { acNone, acDblClick, acClick };
Q_ENUM_NS(TShadowDirection)
Q_ENUM_NS(TTextLayout)
Q_ENUM_NS(TLabelStyle)
Q_ENUM_NS(TClickAction)

class TShadowCustomLabel;

// Direction, offset and colour of a label's drop shadow. Owned by its label, which it asks
// to repaint when a setting changes; the label's size is left alone.
class TShadow {
public:
    // Far enough to read as a shadow at dialog font sizes, near enough to stay attached.
    static constexpr int kDefaultOffset = 2;

    explicit TShadow(TShadowCustomLabel *owner);
    TShadow(const TShadow &) = delete;
    TShadow &operator=(const TShadow &) = delete;

    TShadowDirection Direction() const { return direction_; }
    void SetDirection(TShadowDirection direction);
    int Offset() const { return offset_; }
    void SetOffset(int offset);
    // The colour the program set, or else the button shadow of the label's palette as it
    // is now, so that the shadow follows palette and style changes.
    QColor ShadowColor() const;
    // An invalid colour goes back to following the palette.
    void SetShadowColor(const QColor &color);
    // Takes over the other shadow's settings; this object stays its own label's.
    void Assign(const TShadow &other);

    // Where the shadow of text laid out in `rect` goes.
    QRect ShadowRect(const QRect &rect) const;

private:
    TShadowCustomLabel *owner_;
    TShadowDirection direction_ = sdDownRight;
    int offset_ = kDefaultOffset;
    // Invalid while the shadow follows the palette.
    QColor color_;
};

// A label that draws its caption, optionally with a drop shadow, sizes itself to its text,
// hands the focus to FocusControl on its accelerator (while FocusControl cannot take the
// focus, the key is left to the rest of the window) and can open Command through the
// desktop shell when clicked. It never takes the keyboard focus itself.
class TShadowCustomLabel : public QWidget {
    Q_OBJECT
public:
    static constexpr int kInitialWidth = 65;
    static constexpr int kInitialHeight = 17;

    explicit TShadowCustomLabel(QWidget *parent = nullptr);
    ~TShadowCustomLabel() override;

    TNotifyEvent OnClick;
    TNotifyEvent OnDblClick;

    QString WideCaption() const { return caption_; }
    void SetWideCaption(const QString &caption);
    TAlignment Alignment() const { return alignment_; }
    void SetAlignment(TAlignment alignment);
    TTextLayout Layout() const { return layout_; }
    void SetLayout(TTextLayout layout);
    bool AutoSize() const { return autoSize_; }
    void SetAutoSize(bool on);
    bool WordWrap() const { return wordWrap_; }
    void SetWordWrap(bool on);
    bool ShowAccelChar() const { return showAccelChar_; }
    void SetShowAccelChar(bool on);
    TLabelStyle LabelStyle() const { return labelStyle_; }
    void SetLabelStyle(TLabelStyle style);
    bool Transparent() const { return !testAttribute(Qt::WA_OpaquePaintEvent); }
    void SetTransparent(bool on);
    // The background while the label is opaque.
    QColor Color() const { return palette().color(backgroundRole()); }
    void SetColor(const QColor &color);
    QWidget *FocusControl() const { return focusControl_.data(); }
    void SetFocusControl(QWidget *control);
    TShadow *Shadow() const { return shadow_; }
    // Copies the other shadow's settings into the label's own shadow.
    void SetShadow(const TShadow &other) { shadow_->Assign(other); }
    QString Command() const { return command_; }
    void SetCommand(const QString &command) { command_ = command; }
    TShow ShowCommand() const { return showCommand_; }
    void SetShowCommand(TShow show) { showCommand_ = show; }
    TClickAction ClickAction() const { return clickAction_; }
    void SetClickAction(TClickAction action) { clickAction_ = action; }
    QString GetLabelText() const { return caption_; }

    // Draws the caption into rect, or with measureOnly only works out the rectangle it
    // needs: rect keeps its top left corner and takes the text's extent (with the shadow,
    // the union of text and shadow). flags are the text and alignment flags to lay out with.
    void DrawLabelText(QPainter *canvas, QRect &rect, int flags, bool measureOnly) const;
    // The automatic size: fits the text, keeping the right edge for right alignment.
    void AdjustLabelSize();
    // Opens Command through the desktop shell; the result is not looked at.
    void RunCommand();
    // Re-applies the automatic size once the label has been set up from stored settings.
    void Loaded() { AdjustLabelSize(); }

protected:
    virtual void Click();
    virtual void DblClick();

    bool event(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    int horizontalFlags() const;
    void drawOrMeasure(QPainter *canvas, QRect &rect, int flags, const QString &text, const QColor &color) const;
    void updateAccelerator();
    void forgetFocusControl(QObject *gone);
    // Whether the accelerator has somewhere to put the focus.
    bool acceleratorCanFocus() const;

    QPointer<QWidget> focusControl_;
    TAlignment alignment_ = taLeftJustify;
    QString caption_;
    bool autoSize_ = true;
    TTextLayout layout_ = tlTop;
    bool wordWrap_ = false;
    bool showAccelChar_ = true;
    TLabelStyle labelStyle_ = lsNormal;
    TShadow *shadow_;
    QString command_;
    TShow showCommand_ = sShowNormal;
    TClickAction clickAction_ = acNone;
    // The accelerator grabbed for FocusControl, 0 for none.
    int acceleratorId_ = 0;
    // A left press on the label that its release may turn into a click.
    bool pressed_ = false;
};

// The label with its settings as properties for a form designer; no behaviour of its own.
class TShadowLabel : public TShadowCustomLabel {
    Q_OBJECT
    Q_PROPERTY(QString WideCaption READ WideCaption WRITE SetWideCaption)
    Q_PROPERTY(bool AutoSize READ AutoSize WRITE SetAutoSize)
    Q_PROPERTY(bool WordWrap READ WordWrap WRITE SetWordWrap)
    Q_PROPERTY(bool ShowAccelChar READ ShowAccelChar WRITE SetShowAccelChar)
    Q_PROPERTY(bool Transparent READ Transparent WRITE SetTransparent)
    Q_PROPERTY(ShadowLabel::TTextLayout Layout READ Layout WRITE SetLayout)
    Q_PROPERTY(ShadowLabel::TLabelStyle LabelStyle READ LabelStyle WRITE SetLabelStyle)
    Q_PROPERTY(ShadowLabel::TClickAction ClickAction READ ClickAction WRITE SetClickAction)
    Q_PROPERTY(QString Command READ Command WRITE SetCommand)
    Q_PROPERTY(QColor Color READ Color WRITE SetColor)
    Q_PROPERTY(QWidget *FocusControl READ FocusControl WRITE SetFocusControl)
public:
    using TShadowCustomLabel::TShadowCustomLabel;
};

} // namespace ShadowLabel
