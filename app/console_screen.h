#pragma once
#include "monitor_screen.h"
#include "readout.h"
#include "run_screen.h"

#include <chrono>
#include <functional>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

// The command line's screen for the monitoring and the update run: a live progress line on a
// terminal, plain lines otherwise, or one JSON object per line for programs.
class ConsoleScreen : public MonitorScreen, public RunScreen {
public:
    struct Options {
        bool json = false;
        bool assumeYes = false;  // --yes: the confirmation is answered for the operator
        bool interactive = false; // standard input is a terminal: the operator can be asked
        bool liveLine = false;    // standard output is a terminal: one line redrawn in place
    };
    explicit ConsoleScreen(Options options) : options_(options) {}

    // What was shown and decided, for the command's result.
    std::string deviceLine, battery, serial = "0000";
    int info = 0;
    Calibration calibration;
    bool updateAllowed = false;
    std::vector<std::string> messages;
    // Runs while the question waits for the keyboard, so that the program still hears
    // what the event loop brings (a stop signal).
    std::function<void()> whileAsking;
    bool declined = false;
    bool finished = false; // the run closed the window: the firmware is confirmed

    // Prints one event of the command's own (the identity, the result).
    void event(const std::string &name, const std::vector<std::pair<std::string, std::string>> &fields,
               const std::string &plain);
    static std::string quoted(const std::string &text);

    // MonitorScreen
    void showDeviceLine(const std::string &text) override { deviceLine = text; }
    void showBattery(const std::string &text, std::optional<Charge>) override { battery = text; }
    void clearBattery() override { battery.clear(); }
    void setUpdateEnabled(bool enabled) override { updateAllowed = enabled; }
    void setSerialText(const std::string &text) override { serial = text; }
    void setDeviceInfo(int value) override { info = value; }
    void setCalibration(const Calibration &values) override { calibration = values; }
    bool askToConnect(const std::string &) override { return false; }
    void endProgram() override {}
    void schedulePoll(int, bool) override {}
    // RunScreen
    bool confirm(const std::string &caption, const std::string &text) override;
    void message(const std::string &text) override;
    void setBusy(bool) override {}
    void showProgress() override {}
    void closeProgress() override { endLine(); }
    void progressCaption(const std::string &text) override;
    void setProgress(int position) override;
    int progress() override { return position_; }
    void stopPolling() override {}
    void pollNow() override {}
    ServiceFields serviceFields() override;
    void diagnostic(const std::string &line) override;
    void closeWindow() override { finished = true; }

private:
    void drawLine();
    void endLine();
    double elapsed() const;

    Options options_;
    std::string stage_;
    int position_ = 0;
    int lastPlain_ = -1;
    bool lineOpen_ = false;
    std::chrono::steady_clock::time_point stageStart_ = std::chrono::steady_clock::now();
};
