#pragma once
#include "batch_words.h"
#include "console_progress.h"
#include "failure_guide.h"
#include "json_line.h"
#include "monitor_screen.h"
#include "operator_messages.h"
#include "run_events.h"
#include "safe_text.h"

#include <functional>
#include <iostream>
#include <optional>
#include <string>

// The command line's screen for the monitoring and the update run: a live progress line on a
// terminal, plain lines otherwise, or one JSON object per line for programs. It renders what
// the run tells and asks the run's questions; the facts stay the run's.
// The option that installs the carried firmware over the same or a newer one, as a refusal
// names it: "--reinstall writes it again", "--allow-older installs it all the same".
const char *firmwareAgeOption(FirmwareAge age);

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
    // What installs the carried firmware over the same or a newer one, in the words of the front
    // end: the option on the command line, the setting in the station.
    std::string firmwareAgeSetting(FirmwareAge age) const;

    // Runs while the question waits for the keyboard, so that the program still hears
    // what the event loop brings (a stop signal).
    std::function<void()> whileAsking;
    std::string questionSubject; // what the question is about ("device 0042"), said before it
    std::string questionNote;    // what else the operator should know before answering (a downgrade)
    bool allowLowBattery = false; // --allow-low-battery: a low battery warns instead of refusing
    bool reinstall = false;       // --reinstall: the same firmware goes on again
    bool allowOlder = false;      // --allow-older: an older firmware goes on

    // Prints one event of the command's own (the identity, the result): a JSON object on
    // standard output, or its plain text there (`error`: on standard error).
    void event(const JsonLine &line, const std::string &plain, bool error = false);

    // MonitorScreen: nothing shown while the device is looked for; the command line says what
    // it found once the look is over, from the session's facts.
    // RunScreen
    // Answered by --reinstall and --allow-older, never asked: a script would answer without reading.
    Answer confirmFirmwareAge(FirmwareAge age, const DeviceRecord &device) override;
    Answer confirm(const std::string &caption, const std::string &text) override;
    Answer confirmLowBattery(int percent) override;
    void device(const DeviceFacts &facts) override
    {
        device_ = facts;
        words_.device(facts);
    }
    // Said before the device is written; its block counts make the estimate of the whole run.
    void plan(const RunPlan &p) override;
    // The run shows its progress as it starts to write the device: from here on, a process
    // that ends without its result may leave the device without working firmware.
    void writing(bool on) override;
    void stage(ProgressStage stage, const std::string &caption) override { progress_.caption(stage, caption); }
    void progress(int percent) override { progress_.set(percent); }
    void message(const RunMessage &m) override;
    void after(const DeviceFacts &facts) override;
    void result(const RunEnd &end) override;

    // The progress lines go through the program's output writer, which drops them for a reader
    // that falls behind, and the live line fits the terminal; `devicePresent` tells whether
    // the device is still there.
    void progressThroughWriter(std::function<bool()> devicePresent);
    // The program calls this every ConsoleProgress::TickMs, from its event loop, so that a
    // stage that waits still says so.
    void tick() { progress_.tick(); }

private:
    // Why the question before an update is not put to the operator (--yes answers it, or it
    // cannot be); empty when it is asked or answered.
    std::string whyNotAsked() const;
    void endLine();
    // Its plain text alone (on standard error when `error`), on a line of its own.
    void said(const std::string &plain, bool error = false);
    void success(const RunMessage &m);
    void failure(const RunMessage &m);
    void diagnostic(const RunMessage &m);

    bool questionOpen_ = false; // "Go on? [y/N] " waits on its line: what follows starts a new one
    bool failed_ = false;       // a failure was said: a success said after it is not the result
    bool successSaid_ = false;
    std::optional<DeviceFacts> device_;

    Options options_;
    // The JSON lines: the same as a batch's worker says them.
    WorkerWords words_ {options_.frontEnd, [](const std::string &line) { std::cout << line << std::endl; }};
    ConsoleProgress progress_ {options_.json       ? ConsoleProgress::Mode::Json
                               : options_.liveLine ? ConsoleProgress::Mode::Live
                                                   : ConsoleProgress::Mode::Plain,
                               std::cout};
};
