#include "progress_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QHideEvent>
#include <QPointer>
#include <QProgressBar>
#include <QScreen>
#include <QShowEvent>

namespace {

constexpr int DesignWidth = 376;
constexpr int DesignHeight = 19;
// Room kept beside the caption text for the title bar's own margins.
constexpr int CaptionMargin = 60;

// Guarded pointers: the owner takes the window with it when it goes, and the main window
// may go before anyone tells us.
QPointer<TProgressBarWindow> instance;
QPointer<QWidget> registeredMainWindow;

QWidget *mainWindow()
{
    if (registeredMainWindow)
        return registeredMainWindow;
    return QApplication::activeWindow();
}

void centreOver(QWidget *window, QWidget *owner)
{
    QRect area;
    if (owner)
        area = owner->window()->frameGeometry();
    else if (QScreen *screen = QGuiApplication::primaryScreen())
        area = screen->availableGeometry();
    else
        return;
    // Once its platform window exists the window knows its frame (as far as the platform can
    // tell before mapping), so the outer rectangle is centred, not just the client area.
    window->winId();
    const QRect frame = window->frameGeometry();
    window->move(area.x() + (area.width() - frame.width()) / 2,
                 area.y() + (area.height() - frame.height()) / 2);
}

std::string ComposeProgressCaption(const std::string &title, const std::string &stage,
                                   const std::string &detail, int32_t step, int32_t stepCount)
{
    std::string caption;
    if (!title.empty())
        caption = title + ":";
    if (!stage.empty())
        caption += " " + stage;
    if (!detail.empty())
        caption += " - " + detail;
    caption += " (" + std::to_string(step) + "/" + std::to_string(stepCount) + ")";
    return caption;
}

} // namespace

TProgressBarWindow::TProgressBarWindow(QWidget *owner)
    // A tool window with a title bar but without system menu, close, minimise or maximise
    // button. Having a parent makes it transient for the owner, so the window manager keeps
    // it in front of the owner and minimises it along with it.
    : QWidget(owner, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint)
{
    setObjectName(QStringLiteral("ProgressBarWindow"));
    setWindowTitle(QStringLiteral("ProgressBarWindow"));
    setBackgroundRole(QPalette::Button);
    setAutoFillBackground(true);
    QFont font(QStringLiteral("Sans Serif"), 8);
    font.setStyleHint(QFont::SansSerif);
    setFont(font);

    ProgressBar1 = new QProgressBar(this);
    ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    ProgressBar1->setRange(0, 100);
    // A fresh QProgressBar stands below its minimum until a value is set; ours starts at 0.
    ProgressBar1->setValue(0);
    // The caption names the stage; a percentage text beside the bar would only repeat it.
    ProgressBar1->setTextVisible(false);
    ProgressBar1->setGeometry(0, 0, DesignWidth, DesignHeight);
    setBarWidth(DesignWidth);
}

TProgressBarWindow::~TProgressBarWindow()
{
    // Destroyed with its owner while still shown, the window gets no hide event of its own
    // any more (QWidget's destructor hides it as a plain QWidget), so the busy cursor is
    // taken back here.
    FormHide();
}

void TProgressBarWindow::setBarWidth(int width)
{
    ProgressBar1->resize(width, ProgressBar1->height());
    // The window always has exactly the size of its one child and cannot be resized by hand.
    setFixedSize(ProgressBar1->size());
}

void TProgressBarWindow::showEvent(QShowEvent *event)
{
    // Spontaneous shows come from the window system (the owner restored from minimised);
    // they must not reset the run's progress nor stack another busy cursor.
    if (!event->spontaneous())
        FormShow();
    QWidget::showEvent(event);
}

void TProgressBarWindow::hideEvent(QHideEvent *event)
{
    if (!event->spontaneous())
        FormHide();
    QWidget::hideEvent(event);
}

void TProgressBarWindow::closeEvent(QCloseEvent *event)
{
    // Without buttons the only way for the operator to close it is the window manager's
    // close shortcut; the window goes away through CloseProgressWindow only.
    if (event->spontaneous()) {
        event->ignore();
        return;
    }
    QWidget::closeEvent(event);
}

void TProgressBarWindow::FormShow()
{
    ProgressBar1->setValue(0);
    // Continuous drawing is what the Qt styles on this platform do anyway; there is no
    // block-wise mode to switch off.
    stepCount_ = 0;
    currentStep_ = 0;
    titleText_.clear();
    stageText_.clear();
    detailText_.clear();
    setWindowTitle(QString());
    if (!busyCursorPushed_) {
        // The override stack keeps whatever cursor was in force; popping our entry brings
        // exactly that one back.
        QApplication::setOverrideCursor(Qt::WaitCursor);
        busyCursorPushed_ = true;
    }
    // Only used to measure the composed caption.
    QFont bold = font();
    bold.setBold(true);
    setFont(bold);
}

void TProgressBarWindow::FormHide()
{
    if (busyCursorPushed_) {
        QApplication::restoreOverrideCursor();
        busyCursorPushed_ = false;
    }
}

int32_t TProgressBarWindow::GetProgress(int32_t kind) const
{
    switch (kind) {
    case pvPosition:
        return ProgressBar1->value();
    case pvStepCount:
        return stepCount_;
    case pvStep:
        return currentStep_;
    default:
        return 0;
    }
}

void TProgressBarWindow::SetProgress(int32_t kind, int32_t value)
{
    switch (kind) {
    case pvPosition: {
        // QProgressBar would ignore an out-of-range value rather than hold it at the end.
        int32_t position = value;
        if (position > ProgressBar1->maximum())
            position = ProgressBar1->maximum();
        else if (position <= ProgressBar1->minimum())
            position = ProgressBar1->minimum();
        ProgressBar1->setValue(position);
        return;
    }
    case pvStepCount:
        stepCount_ = value < 0 ? 0 : value;
        currentStep_ = 0;
        break;
    case pvStep:
        currentStep_ = value < 0 ? 0 : (value > stepCount_ ? stepCount_ : value);
        break;
    default:
        break;
    }
    composeCaption();
}

void TProgressBarWindow::SetProgressText(int32_t kind, const std::string &text)
{
    switch (kind) {
    case ptCaption:
        // The direct text stays the stage text, so a later composition picks it up.
        stageText_ = text;
        setWindowTitle(QString::fromLocal8Bit(text));
        return;
    case ptTitle:
        titleText_ = text;
        break;
    case ptStage:
        stageText_ = text;
        break;
    case ptDetail:
        detailText_ = text;
        break;
    default:
        break;
    }
    composeCaption();
}

void TProgressBarWindow::composeCaption()
{
    const QString caption = QString::fromLocal8Bit(
        ComposeProgressCaption(titleText_, stageText_, detailText_, currentStep_, stepCount_));
    // The title bar is not ours to measure; the bold window font stands in for its font.
    const int wanted = QFontMetrics(font()).horizontalAdvance(caption) + CaptionMargin;
    if (wanted > ProgressBar1->width())
        setBarWidth(wanted);
    setWindowTitle(caption);
}

void SetProgressMainWindow(QWidget *mainWindow)
{
    registeredMainWindow = mainWindow;
}

void ShowProgressWindow(QWidget *owner)
{
    if (instance)
        return;
    if (!owner)
        owner = mainWindow();
    instance = new TProgressBarWindow(owner);
    centreOver(instance, owner);
    instance->show();
}

void CloseProgressWindow()
{
    if (!instance)
        return;
    TProgressBarWindow *window = instance;
    instance = nullptr;
    window->hide();
    delete window;
}

int32_t GetProgress(int32_t kind)
{
    return instance ? instance->GetProgress(kind) : 0;
}

void SetProgress(int32_t kind, int32_t value)
{
    if (instance)
        instance->SetProgress(kind, value);
}

void SetProgressText(int32_t kind, const std::string &text)
{
    if (instance)
        instance->SetProgressText(kind, text);
}

TProgressBarWindow *CurrentProgressWindow()
{
    return instance;
}
