#pragma once
// A screen for the monitoring that remembers what it was told, for tests in virtual time.
#include "monitor_screen.h"
#include "readout.h"

#include <optional>
#include <string>
#include <vector>

struct RecordingScreen : MonitorScreen {
    std::vector<std::string> deviceLines;
    std::string battery;
    std::optional<Charge> charge;
    bool updateEnabled = false;
    bool busy = false;
    std::vector<std::string> questions;
    bool answerOk = true;
    bool ended = false;
    int intervalMs = 500;
    bool pollEnabled = true;

    void showDeviceLine(const std::string &text) override { deviceLines.push_back(text); }
    void showBattery(const std::string &text, std::optional<Charge> c) override
    {
        battery = text;
        if (c)
            charge = c;
    }
    void clearBattery() override { battery.clear(); }
    void setUpdateEnabled(bool enabled) override { updateEnabled = enabled; }
    void setBusy(bool b) override { busy = b; }
    bool askToConnect(const std::string &text) override
    {
        questions.push_back(text);
        return answerOk;
    }
    void endProgram() override { ended = true; }
    void schedulePoll(int ms, bool enabled) override
    {
        intervalMs = ms;
        pollEnabled = enabled;
    }
    std::string lastLine() const { return deviceLines.empty() ? std::string() : deviceLines.back(); }
};
