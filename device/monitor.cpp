#include "monitor.h"
#include "battery.h"
#include "clock.h"
#include "discovery.h"
#include "ftdi_api.h"
#include "handshake.h"
#include "monitor_screen.h"
#include "operator_messages.h"
#include "protocol.h"
#include "readout.h"
#include "session.h"
#include "usb_connection.h"


namespace {

constexpr int RedBatteryBelow = 60;     // the battery line turns red under this percentage
constexpr int ImplausibleDrop = 60;     // a fall this large since the last reading is held back

// Says "No connection" on the device line and asks the operator to connect the device.
void askForDevice(Session &session, MonitorScreen &screen, MessageId line, MessageId question)
{
    session.pollMessage = line;
    screen.showDeviceLine(messageText(line));
    screen.setBusy(false);
    if (screen.askToConnect(messageText(question)))
        screen.schedulePoll(Poll::AfterOkMs, true);
    else
        screen.endProgram();
}

void giveUpForNow(Session &session, MonitorScreen &screen, MessageId line)
{
    session.pollMessage = line;
    screen.showDeviceLine(messageText(line));
    screen.setBusy(false);
    screen.schedulePoll(Poll::ConnectedMs, true);
}

// Opens the link on the road the build chose; false when the tick has ended.
bool openLink(Session &session, MonitorScreen &screen)
{
    UsbConnection &link = *session.link;
    if (session.ttyRoad()) {
        session.portPath = !session.portPathOverride.empty() ? session.portPathOverride
                           : session.findPort                ? session.findPort()
                                                             : findInterfacePath(deviceUsbId());
        if (session.portPath.empty()) {
            askForDevice(session, screen, MessageId::NoDevice, MessageId::AskForDevice);
            return false;
        }
        if (!link.openComPort(session.portPath, false)) {
            session.portPath.clear();
            giveUpForNow(session, screen, MessageId::InitialiseError);
            return false;
        }
        return true;
    }
    const int index = findFtdiDevice(link.ftdiLibrary(), DockingStationDescription);
    if (index < 0) {
        askForDevice(session, screen, MessageId::NoDockingStation, MessageId::AskForDockingStation);
        return false;
    }
    if (!link.openFtdi(index, false)) {
        giveUpForNow(session, screen, MessageId::InitialiseError);
        return false;
    }
    return true;
}

// The connection attempt; false when it ended the tick.
bool connect(Session &session, MonitorScreen &screen, Clock &clock)
{
    screen.clearBattery();
    screen.setBusy(true);
    screen.showDeviceLine("Connect...");
    clock.pump();
    screen.schedulePoll(Poll::ConnectedMs, false);
    std::string line;
    session.portPath.clear();
    session.record.clear();
    // A new connection may be another device: its first reading is shown whatever the last was.
    session.lastBatteryShown = 0;
    session.batteryShown = false;
    session.batteryUnreadable = false;
    session.calibration = {};
    session.pollMessage = MessageId::None;
    try {
        if (!openLink(session, screen))
            return false;
        if (!connectHandshake(*session.link)) {
            session.link->close();
            askForDevice(session, screen, MessageId::DeviceOffline, MessageId::AskToSwitchOn);
            return false;
        }
        if (!showDeviceInformation(session, screen, clock, &line)) {
            session.record.deviceStatus = DeviceRecord::NoStatus;
            session.link->close();
            giveUpForNow(session, screen, MessageId::CommunicationsError);
            return false;
        }
    } catch (...) {
        // Nothing here should throw; if something does, the window keeps going.
    }
    screen.setBusy(false);
    screen.showDeviceLine(line);
    return session.link->isOpen();
}

void pollBatteryLevel(Session &session, MonitorScreen &screen)
{
    const std::optional<int> value = pollBattery(*session.link);
    if (!value && session.link->deviceLost()) {
        // Pulled out: the next tick looks for it again instead of asking a dead line.
        session.link->close();
        screen.setUpdateEnabled(false);
    }
    if (!value) {
        session.batteryShown = false;
        session.batteryUnreadable = true;
        screen.showBattery(batteryText(std::nullopt, true), std::nullopt);
        screen.schedulePoll(Poll::RetryMs, true);
        return;
    }
    if (session.lastBatteryShown - *value >= ImplausibleDrop) {
        screen.schedulePoll(Poll::RetryMs, true); // a glitch, most likely: look again soon
        return;
    }
    session.lastBatteryShown = *value;
    session.batteryShown = true;
    session.batteryUnreadable = false;
    screen.showBattery(batteryText(value, false), *value >= RedBatteryBelow ? MonitorScreen::Charge::Good : MonitorScreen::Charge::Low);
    screen.schedulePoll(Poll::ConnectedMs, true);
}

} // namespace

bool showDeviceInformation(Session &session, MonitorScreen &screen, Clock &clock, std::string *deviceLine)
{
    if (!session.link || !session.link->isOpen())
        return false;
    screen.setUpdateEnabled(false);
    if (!readDeviceRecord(*session.link, session.record))
        return false;
    if (deviceLine)
        *deviceLine = ::deviceLine(session.record);
    clock.wait(Wait::BeforeCalibrationMs);
    session.calibration = readCalibration(*session.link);
    // Only now: the wait above lets clicks in, and a run started then would write the
    // previous device's calibration into this one.
    screen.setUpdateEnabled(updateAllowed(session.expectedHardwareVersion, session.record));
    if (const UpdateRefusal refusal = updateRefusal(session.expectedHardwareVersion, session.record);
        refusal.id != MessageId::None)
        screen.showUpdateRefusal(refusal);
    return true;
}

void pollDevice(Session &session, MonitorScreen &screen, Clock &clock)
{
    if (!session.link)
        return;
    struct Active {
        bool &flag;
        bool before;
        ~Active() { flag = before; }
    } active {session.pollActive, session.pollActive};
    session.pollActive = true;
    screen.schedulePoll(Poll::ConnectedMs, false);
    if (!session.link->isOpen() && !connect(session, screen, clock))
        return;
    if (session.link->isOpen())
        pollBatteryLevel(session, screen);
}
