#pragma once
// A screen for the monitoring that shows nothing: for runs that only want the timing.
#include "monitor_screen.h"

struct MinimalScreen : MonitorScreen {
    void showDeviceLine(const std::string &) override {}
    void showBattery(const std::string &, std::optional<Charge>) override {}
    void clearBattery() override {}
    void setUpdateEnabled(bool) override {}
    void setSerialText(const std::string &) override {}
    void setDeviceInfo(int) override {}
    void setCalibration(const Calibration &) override {}
    void setBusy(bool) override {}
    bool askToConnect(const std::string &) override { return false; }
    void endProgram() override {}
    void schedulePoll(int, bool) override {}
};
