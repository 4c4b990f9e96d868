#pragma once
#include <optional>
#include <string>

struct UpdateRefusal;

// What the monitoring shows and asks, whatever draws it. Each has a default that shows
// nothing and asks nobody: a screen that says what was found from the session's facts once
// the look is over (the command line) overrides none of it.
class MonitorScreen {
public:
    virtual ~MonitorScreen() = default;
    virtual void showDeviceLine(const std::string & /*text*/) {}
    enum class Charge { Good, Low };
    // The battery line; its colour changes only when a charge is given.
    virtual void showBattery(const std::string & /*text*/, std::optional<Charge>) {}
    virtual void clearBattery() {}
    virtual void setUpdateEnabled(bool) {}
    // Why "Update" stays disabled for the device just read (after setUpdateEnabled(false)).
    virtual void showUpdateRefusal(const UpdateRefusal &) {}
    virtual void setBusy(bool) {}
    // The "No connection" question; true for OK.
    virtual bool askToConnect(const std::string & /*text*/) { return false; }
    // The operator chose to stop: the program ends.
    virtual void endProgram() {}
    // The next poll: after intervalMs when enabled.
    virtual void schedulePoll(int /*intervalMs*/, bool /*enabled*/) {}
};
