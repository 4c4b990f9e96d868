#pragma once
#include <optional>
#include <string>

struct Calibration;
struct UpdateRefusal;

// What the monitoring shows and asks, whatever draws it.
class MonitorScreen {
public:
    virtual ~MonitorScreen() = default;
    virtual void showDeviceLine(const std::string &text) = 0;
    enum class Charge { Good, Low };
    // The battery line; its colour changes only when a charge is given.
    virtual void showBattery(const std::string &text, std::optional<Charge> charge) = 0;
    virtual void clearBattery() = 0;
    virtual void setUpdateEnabled(bool enabled) = 0;
    // Why "Update" stays disabled for the device just read (after setUpdateEnabled(false));
    // a screen that shows the refusal elsewhere may leave this out.
    virtual void showUpdateRefusal(const UpdateRefusal &) {}
    // The hidden service fields that the update writes back into the firmware. The serial
    // comes as its four bytes, zero bytes included; each screen shows them its own way (the
    // window's field ends at a zero byte, the command line escapes what is not printable).
    virtual void setSerialText(const std::string &bytes) = 0;
    virtual void setDeviceInfo(int info) = 0;
    virtual void setCalibration(const Calibration &values) = 0;
    virtual void setBusy(bool busy) = 0;
    // The "No connection" question; true for OK.
    virtual bool askToConnect(const std::string &text) = 0;
    // The operator chose to stop: the program ends.
    virtual void endProgram() = 0;
    // The next poll: after intervalMs when enabled.
    virtual void schedulePoll(int intervalMs, bool enabled) = 0;
};
