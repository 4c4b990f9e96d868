#pragma once
#include "run_journal.h"

#include <atomic>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>

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
