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

// A worker's texts are shown safely again: a line that reaches the operator's terminal
// never carries a byte that moves the cursor, whoever put it there. The tool's own texts
// that run over two lines become one, led by the port like every other.
std::string shownField(const QJsonValue &v);

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

// A worker as a view hears it: the run's own events, as its worker told them, and the few facts
// of its words the run's events do not carry. Before each event `now` is where the worker
// stands once the batch has taken the event in, and `nowMs` the batch's clock.
class WorkerListener : public RunListener {
public:
    WorkerShown now;
    int64_t nowMs = 0;
    // A message or diagnostic, with the explanation the worker gave it (none: empty).
    virtual void explained(const RunMessage &m, const std::string & /*explanation*/) { message(m); }
    // A hint, note or warning of the worker's own: the operator's to read, whatever it says.
    virtual void remark(const std::string &) {}
    // With each progress: whether the device is there, and the run's seconds left as its
    // worker estimates them (none: no estimate).
    virtual void estimate(bool /*present*/, std::optional<double> /*leftS*/) {}
    // The report row the worker wrote for its device.
    virtual void reported(const ReportRow &) {}
    // The line passed on as one JSON line told whose it is (a progress one a reader may lose);
    // every line but its row.
    virtual void relay(const std::string & /*json*/, bool /*progress*/) {}
    // After each line of the worker's, once its events are told.
    virtual void heard() {}
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

// What a device's update came to, as every view and the summary sort it: the one table from
// the outcome (and whether the device may be without working firmware) to it.
enum class DeviceEnd {
    Updated,              // its firmware is confirmed and its table taken
    AlreadyCurrent,       // it had the carried firmware already: left as it was, a success
    NotWritten,           // not written at all: a recording to keep, a batch stopped before its turn
    Failed,               // it failed and was left as it was before (or with its new firmware)
    MayBeWithoutFirmware, // it failed while it was written: it may not start again
};
DeviceEnd deviceEnd(Outcome outcome, bool mayBeWithoutFirmware);
// Whether the operator is called to that device: it needs a hand, unlike one a station stopped.
bool needsAHand(Outcome outcome, bool mayBeWithoutFirmware);
