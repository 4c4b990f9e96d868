#pragma once
#include "monitor_screen.h"
#include "readout.h"
#include "run_screen.h"
#include "console_progress.h"
#include "json_line.h"
#include "operator_messages.h"
#include "safe_text.h"

#include <chrono>
#include <functional>
#include <cstdio>
#include <iostream>
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
        FrontEnd frontEnd = FrontEnd::CommandLine; // whose next steps the explanations name
    };
    explicit ConsoleScreen(Options options) : options_(options) {}

    // What was shown and decided, for the command's result. The device chose the bytes of
    // its line and serial: they are kept shown safely (shownText), and the serial's exact
    // bytes beside, for the image and for telling devices apart.
    std::string deviceLine, battery, serial = "0000", serialBytes = "0000";
    int info = 0;
    Calibration calibration;
    bool updateAllowed = false;
    std::vector<std::string> messages;
    // Runs while the question waits for the keyboard, so that the program still hears
    // what the event loop brings (a stop signal).
    std::function<void()> whileAsking;
    bool asked = false;          // the operator was asked the question (not answered for them)
    std::string questionSubject; // what the question is about ("device 0042"), said before it
    std::string questionNote;    // what else the operator should know before answering (a downgrade)
    // The verify pass's lines of blocks that came back damaged: warnings, the run went on.
    std::vector<std::string> readBackWarnings;
    // Why the question before an update is not put to the operator (--yes answers it, or it
    // cannot be); empty when it is asked or answered.
    std::string whyNotAsked() const;
    bool allowLowBattery = false; // --allow-low-battery: a low battery warns instead of refusing

    // Prints one event of the command's own (the identity, the result): a JSON object on
    // standard output, or its plain text there (`error`: on standard error).
    void event(const JsonLine &line, const std::string &plain, bool error = false);

    // MonitorScreen
    void showDeviceLine(const std::string &text) override { deviceLine = shownText(text); }
    void showBattery(const std::string &text, std::optional<Charge>) override { battery = text; }
    void clearBattery() override { battery.clear(); }
    void setUpdateEnabled(bool enabled) override { updateAllowed = enabled; }
    void setSerialText(const std::string &bytes) override { serialBytes = bytes, serial = shownText(bytes); }
    void setDeviceInfo(int value) override { info = value; }
    void setCalibration(const Calibration &values) override { calibration = values; }
    bool askToConnect(const std::string &) override { return false; }
    void endProgram() override {}
    void schedulePoll(int, bool) override {}
    // RunScreen
    bool confirm(const std::string &caption, const std::string &text) override;
    bool confirmLowBattery(int percent) override;
    void message(const std::string &text) override;
    // Where a failure lies in a file given to the tool, said beside the message (line 0: nowhere).
    struct FailurePlace {
        std::string file;
        int line = 0;
    };
    // A failure explained by its message id, in the words of options' front end; a text that
    // came without its id is found back from the text.
    void failure(MessageId explainedBy, const std::string &text, const FailurePlace &place);
    void failure(MessageId explainedBy, const std::string &text) override { failure(explainedBy, text, {}); }
    void failure(const std::string &text) override;
    void setBusy(bool) override {}
    // The run shows its progress as it starts to write the device: from here on, a process
    // that ends without its result may leave the device without working firmware.
    void showProgress() override { event(JsonLine::event("writing"), {}); }
    void closeProgress() override { progress_.close(); }
    void progressCaption(ProgressStage stage, const std::string &text) override { progress_.caption(stage, text); }
    void setProgress(int position) override { progress_.set(position); }
    int progress() override { return progress_.position(); }
    void stopPolling() override {}
    void pollNow() override {}
    ServiceFields serviceFields() override;
    void diagnostic(const std::string &line) override;
    void closeWindow() override {}

    // What the run sends, for the estimate of the whole run: the firmware's blocks as the run
    // sends them, and the table's 512-byte blocks (0 without a table).
    void setPlan(int firmwareBlocks, int tableBlocks) { progress_.setPlan(firmwareBlocks, tableBlocks); }
    // The progress lines go through the program's output writer, which drops them for a reader
    // that falls behind, and the live line fits the terminal; `devicePresent` tells whether
    // the device is still there.
    void progressThroughWriter(std::function<bool()> devicePresent);
    // The program calls this every ConsoleProgress::TickMs, from its event loop, so that a
    // stage that waits still says so.
    void tick() { progress_.tick(); }

private:
    void endLine();

    bool questionOpen_ = false; // "Go on? [y/N] " waits on its line: what follows starts a new one
    size_t successesSaid_ = 0;  // of `messages`, those that were no failure

    Options options_;
    ConsoleProgress progress_ {options_.json       ? ConsoleProgress::Mode::Json
                               : options_.liveLine ? ConsoleProgress::Mode::Live
                                                   : ConsoleProgress::Mode::Plain,
                               std::cout};
};
