#pragma once
#include "outcome.h"
#include "run_journal.h"
#include "run_screen.h"
#include "update_run.h"

#include <QDateTime>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

class Clock;
struct Session;

// The folder where this machine keeps its update runs: runs.jsonl, one JSON object a run,
// and the byte trace of the last run beside it.
struct RunStore {
    std::string folder;              // empty: nothing is kept
    long rotateAtBytes = 1L << 20;   // runs.jsonl moves to runs.jsonl.1 before it grows past this
    long traceCapBytes = 8L << 20;   // last-trace.log is cut here: a whole carried update makes ~5 MB
    // How long a line waits for runs.lock held by another writer: 100 tries 20 ms apart.
    static constexpr int LockTries = 100, LockTryGapMs = 20;
    std::string program = "mova-update"; // who says it on standard error
    // Where each run's end also goes as a structured entry (the system journal for the
    // standard store); none: only the folder keeps it.
    std::function<void(const JournalEntry &)> journal;
    std::ostream *errors = nullptr;  // where a failure to keep the record is said (standard error)

    std::string runsPath() const { return folder.empty() ? folder : folder + "/runs.jsonl"; }
    std::string traceName = "last-trace.log"; // a batch's worker keeps one per place (slot)
    std::string tracePath() const { return folder.empty() ? folder : folder + "/" + traceName; }
    // A write of the record failed already (and was said, once for the program's life).
    bool failed() const { return failed_; }
    // Says why the record cannot be kept, the first time only: the operator is told once,
    // the run goes on.
    void report(const std::string &reason);
    // Appends one line, moving a full file aside first; false when it did not get there.
    bool append(const std::string &line);

    // $XDG_STATE_HOME/mova-update, or ~/.local/state/mova-update; nothing with
    // QTX_MOVA_NO_RECORD set (to anything but 0).
    static std::string standardFolder();
    // A program's store in the standard folder: who it is, and which trace file it keeps.
    // The program keeps it for its life, so that a failure to write is said once. Its runs
    // also go to the system journal, unless nothing is to be kept or QTX_MOVA_NO_JOURNAL is
    // set (to anything but 0: the test suite's runs are no station's history).
    static RunStore standard(const std::string &program, const std::string &traceName = "last-trace.log");
    // The trace file of a run: last-trace.log for a single run, last-trace-K.log for the K-th
    // place of a batch (its place among the devices updated at once: as few files as devices
    // side by side, however many devices a line updates over the years); and back: 0 or K
    // for such a name, -1 for any other.
    static std::string traceFileName(int slot);
    static long traceSlot(const std::string &name);

private:
    bool failed_ = false;
};

// Makes a folder and its parents; false with the reason.
bool makeFolder(const std::string &path, std::string &reason);
// Appends `data` to the file (made if missing) in one write, so that writers ending together
// do not mix their lines; a write cut short is taken back. False with "<path>: <reason>".
// Only a regular file is written (see openRegularFile); a symbolic link is followed only
// when asked: the record's own files are never links.
bool appendWhole(const std::string &path, const std::string &data, std::string &error, bool followLink = false);

// The screen of one update run, noting what the operator was shown and when, and passing
// every call on to the real screen. The run is not touched; the record is appended when it
// ends, and its bytes go to the store's trace file while it lasts.
class RunRecord : public RunScreen {
public:
    RunRecord(RunScreen &screen, Clock &clock, const Session &session, const Payloads &payloads, RunStore &store);
    ~RunRecord() override;

    // The run starts: its time is taken and its trace begins. The screen's first call does
    // it too, so that a click the run ignores leaves nothing.
    void begin();
    // Who the device is, as the operator saw it before the run.
    void noteDevice(const std::string &deviceLine, const std::string &battery);
    void noteResult(const RunResult &result) { result_ = result; }
    // Why the device could not be opened (in use, no permission, not found), kept beside
    // the failure that says it could not.
    void noteHint(const std::string &hint) { hint_ = hint; }
    // What the run came to, in the words the operator saw: the message that ended it, or,
    // when the firmware went on but the table did not, the table's own failure (never the
    // firmware's success said after it). Empty when the run said nothing.
    std::string endText(const RunResult &result) const;
    // The run is one device of a batch: the batch's id, and the firmware the device
    // reported when it was read again after the update.
    void noteBatch(const std::string &id) { batch_ = id; }
    void noteFirmwareAfter(int version) { firmwareAfter_ = version; }
    // The run is over: its line is appended (once; later calls do nothing).
    void end(Outcome outcome, const std::string &text);
    void end(const RunResult &result);
    // What the journal is told of the run ending so.
    JournalEntry journalEntry(Outcome outcome, const std::string &text) const;

    bool confirm(const std::string &caption, const std::string &text) override;
    bool confirmLowBattery(int percent) override;
    void message(const std::string &text) override;
    void failure(const std::string &text) override;
    void failure(MessageId explainedBy, const std::string &text) override;
    void setBusy(bool busy) override { begin(), screen_.setBusy(busy); }
    void showProgress() override { begin(), screen_.showProgress(); }
    void closeProgress() override { screen_.closeProgress(); }
    void progressCaption(ProgressStage stage, const std::string &text) override;
    void setProgress(int position) override { screen_.setProgress(position); }
    int progress() override { return screen_.progress(); }
    void stopPolling() override { begin(), screen_.stopPolling(); }
    void pollNow() override { screen_.pollNow(); }
    ServiceFields serviceFields() override { return screen_.serviceFields(); }
    void diagnostic(const std::string &line) override;
    void closeWindow() override { screen_.closeWindow(); }

private:
    struct Event {
        std::string text;
        int64_t atMs;
        const char *kind; // message, failure, question (with its answer)
    };
    std::string at(int64_t ms) const;
    std::string line(Outcome outcome, const std::string &text) const;
    std::string stageReached() const; // empty before the run's result is known
    const std::string &portShown() const;

    RunScreen &screen_;
    Clock &clock_;
    const Session &session_;
    Payloads payloads_;
    RunStore &store_;
    bool begun_ = false, ended_ = false, deviceNoted_ = false;
    QDateTime startedAt_;
    int64_t startMs_ = 0;
    std::string serial_, deviceLine_, battery_, port_, firmwareDate_;
    int hardwareVersion_ = 0, firmwareVersion_ = 0;
    std::vector<Event> stages_, messages_, readBacks_;
    int lowBatteryRefused_ = -1; // the battery's percent when the operator chose not to go on
    std::string hint_;
    std::optional<RunResult> result_;
    std::string batch_;
    std::optional<int> firmwareAfter_;
};
