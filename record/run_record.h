#pragma once
#include "outcome.h"
#include "run_store.h"
#include "run_events.h"
#include "update_run.h"

#include <QDateTime>
#include <atomic>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class Clock;
struct Session;

// The record of one update run: a listener that notes what the run told and when, appends
// its line when the run's result comes, and sends its bytes to the store's trace file while
// it lasts. The first event begins it, so that a click the run ignores leaves nothing.
class RunRecord : public RunListener {
public:
    RunRecord(Clock &clock, const Session &session, const Payloads &payloads, RunStore &store);
    ~RunRecord() override;

    // The run starts: its time is taken (`startedMsAgo` before now, for a run the record learns
    // of only at its end) and its trace begins, where the store keeps one.
    void begin(int64_t startedMsAgo = 0);
    // Why the device could not be opened (in use, no permission, not found), kept beside
    // the failure that says it could not.
    void noteHint(const std::string &hint) { hint_ = hint; }
    // Not a run after all (a batch's device updated just before): nothing is kept of it.
    void forget();
    // The run is one device of a batch: the batch's id.
    void noteBatch(const std::string &id) { batch_ = id; }
    // The run's id: made with the record, or given (by the batch that started the worker)
    // before it begins.
    const std::string &runId() const { return run_; }
    void noteRun(const std::string &id) { run_ = id; }
    // The run's bytes are in the store's trace file of its id, written by a process that
    // ended without its own record (a batch's lost worker): kept as its own should it fail.
    void adoptTrace() { traceName_ = RunStore::traceFileName(run_); }
    void device(const DeviceFacts &facts) override;
    void holding(bool) override { begin(); }
    void writing(bool on) override { begin(), wrote_ = wrote_ || on; }
    void stage(ProgressStage stage, const std::string &caption) override;
    void message(const RunMessage &m) override;
    void question(const RunQuestion &q) override;
    void after(const DeviceFacts &facts) override { firmwareAfter_ = FirmwareAfter {facts.record.firmwareVersion, true}; }
    // The run is over: its line is appended (once; later results do nothing).
    void result(const RunEnd &end) override;

private:
    // What the journal is told of the run ending so.
    JournalEntry journalEntry(const RunEnd &end) const;
    // The line the record appends for the run ending so, naming its kept trace, if any, and
    // the trace's lines its file lost.
    std::string line(const RunEnd &end, const std::string &trace, long traceLost) const;
    // Hands the run's line and its trace to the file writer: a failed run's trace is kept
    // (and named by the line), a successful one's becomes the store's LastTrace.
    void keep(const RunEnd &end, long traceLost);

    struct Event {
        std::string text;
        int64_t atMs;
        const char *kind; // message, failure, question (with its answer), or the stage's id
    };
    std::string at(int64_t ms) const;
    std::string stageReached() const; // empty before the run's result is known
    std::string portShown() const;

    Clock &clock_;
    const Session &session_;
    Payloads payloads_;
    RunStore &store_;
    bool begun_ = false, ended_ = false, wrote_ = false;
    QDateTime startedAt_;
    int64_t startMs_ = 0, endMs_ = 0;
    std::optional<DeviceFacts> device_;
    std::vector<Event> stages_, messages_, readBacks_;
    std::string hint_;
    std::optional<RunResult> result_;
    std::string batch_;
    // Read again (an already current device), or the run's own fact, which its result brings.
    std::optional<FirmwareAfter> firmwareAfter_;
    std::string run_ = newRunId();
    std::string traceName_; // the store's trace file this run wrote, or adopted
    bool tracing_ = false;  // the trace goes to that file
};
