#pragma once
#include "batch_decisions.h"
#include "batch_summary.h"
#include "batch_words.h"
#include "outcome.h"
#include "run_events.h"

#include <QJsonValue>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct ReportRow;

// A worker as the operator sees it.
struct WorkerShown {
    int number = 0;     // which worker of the batch, counted from 0 as they start
    std::string port;   // as given
    std::string socket; // the socket's name (the port's own when the operator gave none)
    std::string serial; // shown safely
    WorkerState state = WorkerState::Identifying;
    std::string stage;
    int percent = 0;
    std::optional<double> left; // the seconds the whole run has left, as its worker estimates them
    bool present = true;        // its device is there, as its worker last said
    std::optional<BatchWord> word; // what the batch told it: none until its device is known
    std::string run;               // its device's run: what tells one device's showing from the next
};

// A worker as a view hears it: the events of its words (batch_words.h), and before each event
// `now`, where the worker stands once the batch has taken the event in, and `nowMs`, the
// batch's clock.
class WorkerListener : public WorkerEvents {
public:
    WorkerShown now;
    int64_t nowMs = 0;
};

// What the live lines show at one moment of the batch's clock.
struct BatchBoard {
    int64_t nowMs = 0;
    std::vector<WorkerShown> running; // the workers not yet ended
    bool waitingForNext = false;      // none runs, and the batch waits for the next device
};

// How the batch is shown: live lines redrawn on a terminal, plain lines for a log, JSON lines,
// or a station window's tiles. The batch hands it facts; what is shown, and where, is the
// view's alone.
class BatchView {
public:
    virtual ~BatchView() = default;
    virtual void started(const std::string &id, bool repeat) = 0;
    virtual void error(const std::string &text) = 0;
    // A line the worker on `port` wrote on its standard error, as it wrote it.
    virtual void workerError(const std::string &port, const std::string &line);
    // The terminal that started the batch is gone: what is still shown goes nowhere.
    virtual void hangUp() {}
    // Who hears a worker just started: one listener a worker, for as long as it runs.
    virtual std::unique_ptr<WorkerListener> worker() = 0;
    // The device of `w` is the one just updated, back after its restart.
    virtual void skipped(const WorkerShown &w) = 0;
    // A device's update ended with this report row.
    virtual void reported(const ReportRow &row) = 0;
    // No worker runs and the batch waits for the next device; said once a wait.
    virtual void waiting() = 0;
    // The live lines again, at most every RedrawMs.
    virtual void refresh() {}
    // The batch is over.
    virtual void summary(const BatchSummary &s) = 0;
};

// A port's own short name: its last path element, shown safely.
std::string shortPort(const std::string &port);

