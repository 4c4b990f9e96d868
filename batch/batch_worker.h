#pragma once
#include "run_events.h"
#include "batch_decisions.h"
#include "batch_report.h"
#include "batch_view.h"
#include "batch_words.h"
#include "outcome.h"
#include "run_record.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QProcess>
#include <memory>
#include <optional>
#include <string>

struct BatchOptions;
struct Payloads;
struct RunStore;

// One device's worker as the batch knows it: its process and pipes, and what it said, taken
// in as facts once.
struct BatchWorker {
    BatchWorker();
    ~BatchWorker();
    int number = 0; // its place among the batch's workers, counted from 0
    std::string port;
    std::string socket; // the name of its socket
    std::unique_ptr<QProcess> process;
    QByteArray out, err; // what came after the last whole line
    WorkerState state = WorkerState::Identifying;
    std::optional<BatchWord> word; // what the batch told it
    // Its device was updated before in this batch and came back: the place of that update's
    // row among the batch's devices, which this update's row takes.
    std::optional<size_t> again;
    std::string serial, serialHex; // shown safely; the four bytes exactly, which tell devices apart
    std::string battery, stage, message;
    std::string firmwareDate; // YYMMDD, as the device gave it
    WorkerEnd end;                 // what it said as data, for its outcome
    // The report row it wrote itself (and ran its result hook for): its device's book, which the
    // batch only sums up. None from a worker that ended before its result.
    std::optional<ReportRow> reported;
    std::optional<int> hardware, before, after, batteryPercent;
    int slot = 0; // its place among the workers that run at once
    std::string runId = newRunId(); // its device's run, made as it starts: its trace is named by it
    int percent = 0;
    std::optional<double> left;
    bool present = true; // the device is there, as the worker last said
    bool firmwareNewer = false; // its plan said its firmware is newer than the carried one
    QElapsedTimer since;

    // Takes in a line of what the worker says, as the run's events, then tells them its view
    // with the worker as it is now (`nowMs` on the batch's clock); whether the worker said who
    // its device is, and waits for the batch's word.
    bool hear(const QByteArray &line, int64_t nowMs);
    WorkerListener &taker() { return *taker_; }
    std::unique_ptr<WorkerListener> view; // its view's listener
    // Its process ended: its outcome, and the message that says a lost worker's.
    // `processError` is why the process ended abnormally.
    Outcome ended(bool normally, int exitCode, const std::string &processError);

    // What its process is started with, for the batch `batchId`.
    QStringList arguments(const BatchOptions &a, const std::string &batchId) const;
    WorkerShown shown() const { return {number, port, socket, serial, state, stage, percent, left, present, word, runId}; }
    WorkerFacts facts() const { return {port, serialHex, state, word}; }
    // Its device's report row, ended now.
    ReportRow row(Outcome outcome) const;
    // Its device as the worker said it (for the record of a worker that took its own with it).
    DeviceFacts device() const;
    // It ended without its result and took its run record with it: the batch `batchId` keeps
    // one for it in `store`, so that the log still shows what became of the device.
    void recordLost(Outcome outcome, const Payloads &payloads, const std::string &batchId, RunStore &store) const;

private:
    std::unique_ptr<WorkerListener> taker_;
};
