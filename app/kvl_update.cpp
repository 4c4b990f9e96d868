#include "kvl_update.h"
#include "clock.h"
#include "monitor.h"
#include "outcome.h"
#include "progress_window.h"
#include "handshake.h"
#include "readout.h"
#include "failure_guide.h"
#include "firmware_age.h"
#include "payload_file.h"
#include "support_report.h"
#include "run_begin.h"
#include "run_record.h"
#include "usb_connection.h"

#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <cstring>
#include <iostream>
#include <utility>

TKVLUpdate *KVLUpdate = nullptr;

namespace {

constexpr int ClientWidth = 375, ClientHeight = 71;
constexpr int FirstPollMs = 500; // the first look for the device, soon after the window shows
const QColor DeviceLineColour(0, 0, 255);
const QColor GoodChargeColour(0, 128, 0);
const QColor LowChargeColour(255, 0, 0);

std::unique_ptr<UsbConnection> standardLink(Clock &clock)
{
    return std::make_unique<UsbConnection>(clock, UsbConnection::Options {1000});
}

void setColour(QWidget *w, const QColor &colour)
{
    QPalette palette = w->palette();
    palette.setColor(QPalette::WindowText, colour);
    w->setPalette(palette);
}

QLabel *boldLabel(QWidget *parent, const QRect &place, const QColor &colour)
{
    auto *label = new QLabel(parent);
    label->setGeometry(place);
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
    setColour(label, colour);
    return label;
}

} // namespace

TKVLUpdate::TKVLUpdate(const QStringList &arguments, QWidget *parent)
    : TKVLUpdate(arguments, realClock(), standardLink(realClock()), BuildSettings::compiled(), parent)
{
}

TKVLUpdate::TKVLUpdate(const QStringList &arguments, Clock &clock, std::unique_ptr<UsbConnection> link,
                       const BuildSettings &settings, QWidget *parent)
    : QWidget(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                          Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      clock_(clock), link_(std::move(link))
{
    buildForm();
    session_.link = link_.get();
    session_.record.clear();
    if (link_)
        link_->setErrorDisplay([this](const std::string &text) {
            QMessageBox::warning(this, windowTitle(), QString::fromStdString(text));
        });
    setWindowTitle(QString::fromStdString(settings.caption(windowTitle().toStdString())));
    session_.expectedHardwareVersion = settings.expectedHardwareVersion();
    if (arguments.size() > 1)
        session_.portPathOverride = arguments.at(1).toLocal8Bit().toStdString();
    KVLUpdate = this;
    SetProgressMainWindow(this);
}

TKVLUpdate::~TKVLUpdate()
{
    CloseProgressWindow();
    setBusy(false);
    if (link_)
        link_->close();
    if (KVLUpdate == this)
        KVLUpdate = nullptr;
}

void TKVLUpdate::buildForm()
{
    setWindowTitle(QStringLiteral("Firmware Update"));
    setFixedSize(ClientWidth, ClientHeight);
    QFont font(QStringLiteral("Sans Serif"), 8);
    font.setStyleHint(QFont::SansSerif);
    setFont(font);

    UpdateButton = new QPushButton(QStringLiteral("Update"), this);
    UpdateButton->setGeometry(131, 40, 105, 25);
    UpdateButton->setEnabled(false);
    connect(UpdateButton, &QPushButton::clicked, this, &TKVLUpdate::UpdateButtonClick);

    GeraetLabel = boldLabel(this, QRect(8, 7, 360, 26), DeviceLineColour);
    GeraetLabel->setWordWrap(true);
    GeraetLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    AccuLabel = boldLabel(this, QRect(283, 45, 83, 14), GoodChargeColour);
    AccuLabel->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    RefusalLabel = new QLabel(this);
    RefusalLabel->setGeometry(8, 45, 118, 14);
    setColour(RefusalLabel, LowChargeColour);

    AccuTimer = new QTimer(this);
    AccuTimer->setInterval(FirstPollMs);
    connect(AccuTimer, &QTimer::timeout, this, &TKVLUpdate::AccuTimerTimer);
    AccuTimer->start();
}

void TKVLUpdate::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (!centred_ && screen()) {
        centred_ = true;
        QRect frame = frameGeometry();
        frame.moveCenter(screen()->availableGeometry().center());
        move(frame.topLeft());
    }
}

bool TKVLUpdate::FormClose()
{
    // A run that is writing the device must not be cut off by closing the window.
    if (session_.updateRunning)
        return false;
    if (link_)
        sayGoodbye(*link_);
    return true;
}

void TKVLUpdate::closeOnSignal(int signalNumber)
{
    if (!close())
        std::cerr << "QTX_MOVA_Update: " << ::strsignal(signalNumber)
                  << ": an update is running and the device must not be left without firmware; the window "
                     "can close once the update has ended"
                  << std::endl;
}

void TKVLUpdate::closeEvent(QCloseEvent *event)
{
    if (FormClose())
        event->accept();
    else
        event->ignore();
}

void TKVLUpdate::AccuTimerTimer()
{
    pollDevice(session_, *this, clock_);
    // The window keeps its fixed texts; why the device could not be opened (no permission,
    // held by another program) goes to the terminal, once for as long as it lasts.
    const std::string hint = link_ ? openFailureHint(*link_) : std::string();
    if (!hint.empty() && hint != openHintShown_)
        std::cerr << "QTX_MOVA_Update: " << hint << std::endl;
    openHintShown_ = hint;
}

void TKVLUpdate::UpdateButtonClick()
{
    RunRecord record(clock_, session_, payloads, store_);
    RunEvents events {&record, this};
    inClick_ = true;
    // The run begins as the command line's does; the window found the device already. A click
    // the run would ignore asks nothing.
    RunBeginning begin(session_, *this, events, clock_, payloads, record.runId());
    std::optional<RunEnd> end;
    if (!session_.runActive && !session_.pollActive && !(end = begin.identify(nullptr)))
        end = begin.guard();
    RunResult result;
    if (!end) {
        result = runUpdate(session_, *this, events, clock_, payloads);
        end = RunEnd {outcomeOf(result), endText(result), result};
    }
    events.result(*end); // a click the run ignored leaves nothing
    inClick_ = false;
    // The box keeps the run's text; which file (QTX_MOVA_FIRMWARE, QTX_MOVA_TABLE) could not be
    // used, and why, goes to the terminal.
    if (!result.payloadReason.empty())
        std::cerr << "QTX_MOVA_Update: cannot use " << result.payloadReason << std::endl;
    // The run's record is kept now: a report saved from a failure's box holds the run that failed.
    for (const auto &[m, serial] : std::exchange(heldBoxes_, {}))
        showMessage(m, serial);
    if (std::exchange(closeWhenShown_, false))
        close();
}

// ---- what the monitoring shows -------------------------------------------------------

void TKVLUpdate::showDeviceLine(const std::string &text)
{
    GeraetLabel->setText(QString::fromLocal8Bit(text.c_str()));
}

void TKVLUpdate::showBattery(const std::string &text, std::optional<Charge> charge)
{
    AccuLabel->setText(QString::fromLocal8Bit(text.c_str()));
    if (charge)
        setColour(AccuLabel, *charge == Charge::Good ? GoodChargeColour : LowChargeColour);
}

void TKVLUpdate::clearBattery()
{
    AccuLabel->clear();
}

void TKVLUpdate::setUpdateEnabled(bool enabled)
{
    UpdateButton->setEnabled(enabled);
    // Space or Return updates the device offered, without a Tab first.
    if (enabled)
        UpdateButton->setFocus();
    // A refusal belongs to the device it was read from: each look starts without one.
    RefusalLabel->clear();
    RefusalLabel->setToolTip({});
    UpdateButton->setToolTip({});
}

void TKVLUpdate::showUpdateRefusal(const UpdateRefusal &refusal)
{
    RefusalLabel->setText(refusal.id == MessageId::FirmwareTooOld       ? QStringLiteral("Firmware too old")
                          : refusal.id == MessageId::IdentityUnreadable ? QStringLiteral("Identity unreadable")
                                                                        : QStringLiteral("Other hardware"));
    const QString why = QString::fromStdString(messageText(refusal.id, refusal.reason + ".") + "\n" +
                                               explanationText(refusal.id, FrontEnd::Window));
    RefusalLabel->setToolTip(why);
    UpdateButton->setToolTip(why);
}

void TKVLUpdate::setBusy(bool busy)
{
    if (busy == busy_)
        return;
    busy_ = busy;
    if (busy)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QApplication::restoreOverrideCursor();
}

bool TKVLUpdate::askToConnect(const std::string &text)
{
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("No connection"), QString::fromLocal8Bit(text.c_str()),
                    QMessageBox::Ok | QMessageBox::Cancel, this);
    return box.exec() == QMessageBox::Ok;
}

void TKVLUpdate::endProgram()
{
    close();
}

void TKVLUpdate::schedulePoll(int intervalMs, bool enabled)
{
    AccuTimer->setInterval(intervalMs);
    if (enabled)
        AccuTimer->start();
    else
        AccuTimer->stop();
}

// ---- what the update run shows -------------------------------------------------------

Answer TKVLUpdate::confirm(const std::string &caption, const std::string &text)
{
    QMessageBox box(QMessageBox::NoIcon, QString::fromLocal8Bit(caption.c_str()), QString::fromLocal8Bit(text.c_str()),
                    QMessageBox::Ok | QMessageBox::Cancel, this);
    // The question comes before a recording is deleted: Enter must not be the way to delete it.
    box.setDefaultButton(QMessageBox::Cancel);
    box.setWindowFlags(box.windowFlags() | Qt::WindowStaysOnTopHint);
    return {box.exec() == QMessageBox::Ok};
}

Answer TKVLUpdate::confirmFirmwareAge(FirmwareAge age, const DeviceRecord &r)
{
    const bool same = age == FirmwareAge::Same;
    const std::string text =
        same ? "The device has " + carriedFirmwareText() + " already: the same firmware this update installs.\n"
                                                           "Install it again?"
             : "The " + carriedFirmwareText() + " this update installs is " + downgradeText(r) +
                   ".\nInstall the older firmware?";
    QMessageBox box(QMessageBox::Warning, same ? QStringLiteral("Same firmware") : QStringLiteral("Older firmware"),
                    QString::fromStdString(text), QMessageBox::Ok | QMessageBox::Cancel, this);
    box.setDefaultButton(QMessageBox::Cancel); // Enter leaves the device as it is
    return {box.exec() == QMessageBox::Ok};
}

Answer TKVLUpdate::confirmLowBattery(int percent)
{
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Low battery"),
                    QStringLiteral("The battery is at %1 %.\nAn update that stops halfway leaves the device without "
                                   "working firmware.\n\nUpdate all the same?")
                        .arg(percent),
                    QMessageBox::Ok | QMessageBox::Cancel, this);
    box.setDefaultButton(QMessageBox::Cancel);
    box.setWindowFlags(box.windowFlags() | Qt::WindowStaysOnTopHint);
    return {box.exec() == QMessageBox::Ok};
}

void TKVLUpdate::message(const RunMessage &m)
{
    if (m.kind == MessageKind::Diagnostic) { // for support, on standard output
        std::cout << m.text << std::endl;
        return;
    }
    // The serial of the device the message is about, before a look at the port clears it.
    const DeviceRecord &r = session_.record;
    const std::string serial(r.serialNumber, strnlen(r.serialNumber, sizeof r.serialNumber));
    // A failure's box waits for the run's end, and every box after it waits its turn.
    if (inClick_ && (m.failure() || !heldBoxes_.empty()))
        heldBoxes_.emplace_back(m, serial);
    else
        showMessage(m, serial);
}

void TKVLUpdate::showMessage(const RunMessage &m, const std::string &serial)
{
    QMessageBox box(QMessageBox::NoIcon, QApplication::applicationName(), QString::fromLocal8Bit(m.text.c_str()),
                    QMessageBox::Ok, this);
    if (m.failure()) {
        // The message stays as it always read; what it means and what to do goes beneath it,
        // by the cause (a device that went away during a step is explained as gone, not as
        // refusing).
        box.setInformativeText(QString::fromStdString(explanationText(m.explainedBy, FrontEnd::Window)));
        if (!store_.folder.empty() && !store_.failed())
            box.setDetailedText(
                QStringLiteral("This run is recorded in %1.").arg(QString::fromStdString(store_.runsPath())));
        offerReport(box, store_, session_.expectedHardwareVersion, serial);
    }
    box.exec();
}

void TKVLUpdate::holding(bool on)
{
    if (on)
        AccuTimer->stop();
    setBusy(on);
}

void TKVLUpdate::writing(bool on)
{
    if (on)
        ShowProgressWindow(this);
    else
        CloseProgressWindow();
}

void TKVLUpdate::stage(ProgressStage, const std::string &caption)
{
    SetProgressText(ptCaption, caption);
}

void TKVLUpdate::progress(int percent)
{
    SetProgress(pvPosition, percent);
}

void TKVLUpdate::result(const RunEnd &end)
{
    if (!end.run || end.run->stage != RunStage::Done)
        return;
    if (inClick_)
        closeWhenShown_ = true; // once the run's boxes are answered
    else
        close();
}
