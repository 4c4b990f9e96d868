#include "kvl_update.h"
#include "clock.h"
#include "protocol.h"
#include "usb_connection.h"

#include <QCloseEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

TKVLUpdate *KVLUpdate = nullptr;

namespace {

constexpr int ClientWidth = 375, ClientHeight = 71;
constexpr int FirstPollMs = 500; // the first look for the device, soon after the window shows
const QColor DeviceLineColour(0, 0, 255);
const QColor BatteryColour(0, 128, 0);

std::unique_ptr<UsbConnection> standardLink(Clock &clock)
{
    return std::make_unique<UsbConnection>(clock, UsbConnection::Options {1000, 2048});
}

QLabel *makeLabel(QWidget *parent, const QRect &place, const QColor &colour)
{
    auto *label = new QLabel(parent);
    label->setGeometry(place);
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, colour);
    label->setPalette(palette);
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
    deviceRecord_.clear();
    if (link_)
        link_->setErrorDisplay([this](const std::string &text) {
            QMessageBox::warning(this, windowTitle(), QString::fromStdString(text));
        });
    setWindowTitle(QString::fromStdString(settings.caption(windowTitle().toStdString())));
    expectedHardwareVersion_ = settings.expectedHardwareVersion();
    if (arguments.size() > 1)
        portPathOverride_ = arguments.at(1).toLocal8Bit().toStdString();
    KVLUpdate = this;
}

TKVLUpdate::~TKVLUpdate()
{
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

    GeraetLabel = makeLabel(this, QRect(8, 7, 360, 26), DeviceLineColour);
    GeraetLabel->setWordWrap(true);
    GeraetLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    AccuLabel = makeLabel(this, QRect(283, 45, 83, 14), BatteryColour);
    AccuLabel->setAlignment(Qt::AlignHCenter | Qt::AlignTop);

    AccuTimer = new QTimer(this);
    AccuTimer->setInterval(FirstPollMs);
    connect(AccuTimer, &QTimer::timeout, this, &TKVLUpdate::AccuTimerTimer);
    AccuTimer->start();
    UpdateButton->setFocus();
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
    if (updateRunning_)
        return false;
    if (link_ && link_->isOpen()) {
        uint8_t byte = 0;
        link_->read(&byte, 1); // whatever the device still had to say
        if (link_->sendCommand(Cmd::Leave, link_->doubled()))
            link_->read(&byte, 1);
    }
    return true;
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
    // The device monitoring hangs here.
}

void TKVLUpdate::UpdateButtonClick()
{
    // The update run hangs here.
}
