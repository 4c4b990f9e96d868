#pragma once
#include "outcome.h"
#include "run_journal.h"
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

// The folder where this machine keeps its update runs: runs.jsonl, one JSON object a run,
// and the runs' byte traces beside it. Its files are written on the file writer's thread
// (file_writer.h), never on the one that times the device.
struct RunStore {
    std::string folder;              // empty: nothing is kept
    long rotateAtBytes = 1L << 20;   // runs.jsonl moves to runs.jsonl.1 before it grows past this
    long traceCapBytes = 8L << 20;   // a run's trace is cut here: a whole carried update makes ~5 MB
    // A failed run's trace moves into failed-traces/ (kept_traces.h); the oldest go once more
    // than this many are kept, or once they hold more than this many bytes together.
    int keptTracesMax = 64;
    long long keptTracesMaxBytes = 256LL << 20;
    // How long a line waits for runs.lock held by another writer, looked at this often.
    static constexpr int LockWaitMs = 2000, LockTryGapMs = 20;
    std::string program = "mova-update"; // who says it on standard error
    // Where each run's end also goes as a structured entry (the system journal for the
    // standard store); none: only the folder keeps it.
    std::function<void(const JournalEntry &)> journal;
    std::ostream *errors = nullptr;  // where a failure to keep the record is said (standard error)

    std::string runsPath() const { return folder.empty() ? folder : folder + "/runs.jsonl"; }
    // False: a store that keeps records only (a batch's own, for the workers that could not).
    bool keepsTraces = true;
    // The trace file of the run `runId` while it runs, or empty where none is kept. Named by the
    // run, never by a place another run can take: any number of windows and batches side by
    // side each keep their own. A run that succeeds leaves it as LastTrace, one that fails in
    // failed-traces/ (kept_traces.h).
    std::string tracePath(const std::string &runId) const
    {
        return folder.empty() || !keepsTraces ? std::string() : folder + "/" + traceFileName(runId);
    }
    static constexpr const char *LastTrace = "last-trace.log"; // the last run that succeeded
    // "trace-<run id>.log"; and back: true for such a name, for LastTrace, and for the
    // "last-trace-K.log" of earlier versions, which a store may still hold.
    static std::string traceFileName(const std::string &runId);
    static bool isTraceFileName(const std::string &name);
    // A write of the record failed already (and was said, once for the program's life).
    bool failed() const { return *failed_; }
    // Says why the record cannot be kept, the first time only: the operator is told once,
    // the run goes on. Safe on any thread.
    void report(const std::string &reason);
    // Says one line where the store's failures go.
    void say(const std::string &text) const;
    // Appends one line, moving a full file aside first; false when it did not get there.
    bool append(const std::string &line);

    // $XDG_STATE_HOME/mova-update, or ~/.local/state/mova-update; nothing with
    // QTX_MOVA_NO_RECORD set (to anything but 0).
    static std::string standardFolder();
    // A program's store in the standard folder: who it is, and whether it keeps its runs'
    // traces. The program keeps it for its life, so that a failure to write is said once.
    // Its runs also go to the system journal, unless nothing is to be kept or
    // QTX_MOVA_NO_JOURNAL is set (to anything but 0: the test suite's runs are no station's
    // history).
    static RunStore standard(const std::string &program, bool keepsTraces = true);

private:
    // Shared by the store's copies: the jobs the file writer does for it say a failure once too.
    std::shared_ptr<std::atomic<bool>> failed_ = std::make_shared<std::atomic<bool>>(false);
};

// Holds the store folder's runs.lock while it lives, as each line of the record is appended:
// a batch's worker writes its report row under it too, so that its row, the record's line and
// another writer's never cross. A holder that keeps it longer (a program stopped halfway) is
// waited for RunStore::LockWaitMs by the clock, not for good; `held()` then says it was not taken (a
// lock file that cannot be opened at all counts as held: nobody else holds it either).
class StoreLock {
public:
    explicit StoreLock(const std::string &folder);
    ~StoreLock();
    StoreLock(const StoreLock &) = delete;
    StoreLock &operator=(const StoreLock &) = delete;
    bool held() const { return held_; }
    // The lock file is no regular file (a link, a FIFO put there): the reason, else empty.
    const std::string &refused() const { return refused_; }

private:
    int fd_ = -1;
    bool held_ = false;
    std::string refused_;
};

// A run's id, made at its start: 16 hexadecimal digits at random. It names the run in its
// record, its JSON plan, its journal entry, its report row and its trace file.
std::string newRunId();
bool isRunId(const std::string &text);

// Makes a folder and its parents; false with the reason.
bool makeFolder(const std::string &path, std::string &reason);
// Appends `data` to the file (made if missing) in one write, so that writers ending together
// do not mix their lines; a write cut short is taken back. False with "<path>: <reason>".
// Only a regular file is written (see openRegularFile); a symbolic link is followed only
// when asked: the record's own files are never links.
bool appendWhole(const std::string &path, const std::string &data, std::string &error, bool followLink = false);

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
    void after(const DeviceFacts &facts) override { firmwareAfter_ = facts.record.firmwareVersion; }
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
    std::optional<int> firmwareAfter_;
    std::string run_ = newRunId();
    std::string traceName_; // the store's trace file this run wrote, or adopted
    bool tracing_ = false;  // the trace goes to that file
};
