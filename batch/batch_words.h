#pragma once
#include "failure_guide.h"
#include "json_line.h"
#include "run_outcome.h"
#include "run_events.h"

#include <QByteArray>
#include <functional>
#include <optional>
#include <string>

struct ReportRow;

// The words a batch and its workers exchange over the workers' pipes, written and read here
// only, both sides side by side: the rest of the batch and its views hear the run's own events.

// What the batch tells a worker that has said who its device is, one word a line on the
// worker's standard input.
enum class BatchWord {
    Go,     // update the device
    Skip,   // the device just updated, back after its restart: it is left alone
    Refuse, // another device present has the same serial: neither is updated
};
// The word as the pipe carries it, with its line end; and back, from a line without its end
// (nothing for what is no word).
QByteArray batchWordLine(BatchWord word);
std::optional<BatchWord> batchWordOf(const std::string &line);

// The names of the JSON events a worker writes on its standard output (the command line's
// --json events): its writer names them with these, the batch reads them by them.
namespace EventName {
inline constexpr const char *Plan = "plan", *Stage = "stage", *Progress = "progress", *Message = "message",
                            *Hint = "hint", *Note = "note", *Warning = "warning", *Diagnostic = "diagnostic",
                            *Writing = "writing", *After = "after", *Row = "row", *Result = "result";
} // namespace EventName

// A worker's words as they are heard: the run's own events, as its worker told them, and the
// few facts of its words the run's events do not carry.
class WorkerEvents : public RunListener {
public:
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

// One line of a worker's output, turned back into the run's events for `listener`, which
// hears `heard()` after each line. `port` is the worker's, for the line passed on as JSON.
// The only place a worker's line is parsed.
void hearWorker(const QByteArray &line, const std::string &port, WorkerEvents &listener);

// The worker's half: the lines hearWorker reads, made here only. They are the command line's
// --json events as well, which a person or a program reads the same.

// The run's events as the worker says them, each line given to `say` without its end. What
// is said at all is the screen's to decide (a success after a failure is not the last word);
// the stages and the progress come from the worker's progress, which paces and estimates
// them, in stageWords and progressWords.
class WorkerWords : public RunListener {
public:
    // `frontEnd`: whose next steps a failure's explanation names.
    WorkerWords(FrontEnd frontEnd, std::function<void(const std::string &line)> say)
        : frontEnd_(frontEnd), say_(std::move(say))
    {
    }
    void device(const DeviceFacts &facts) override { device_ = facts; }
    // Who the device is, with what goes onto it: the device told before, or none.
    void plan(const RunPlan &p) override;
    void writing(bool on) override;
    // A success, a failure with where it lies and its explanation, or a line of the verify pass.
    void message(const RunMessage &m) override;
    void after(const DeviceFacts &facts) override;
    // Whether the table went on (when the firmware was confirmed), then the result.
    void result(const RunEnd &end) override;

private:
    FrontEnd frontEnd_;
    std::function<void(const std::string &)> say_;
    std::optional<DeviceFacts> device_;
};

// A stage begins, its id and caption.
JsonLine stageWords(ProgressStage stage, const std::string &caption);
// How far the stage has got, as the worker's progress reckons it.
struct ProgressSaid {
    std::string stage; // its caption
    int percent = 0;
    double elapsedS = 0;                        // since the stage began
    std::optional<double> stageLeftS, runLeftS; // the estimates, none when there is none
    bool present = true;                        // the device is there
};
JsonLine progressWords(const ProgressSaid &p);
// A hint, note or warning of the worker's own (EventName::Hint, Note or Warning), after the
// path a hint is about, when there is one.
JsonLine remarkWords(const char *name, const std::string &text, const std::optional<std::string> &path = {});
// The report row a worker wrote for its device, told to its batch.
JsonLine rowWords(const ReportRow &row);

// A batch's worker has said who its device is; before it writes a byte it waits for the
// batch's word on standard input. Signals are heard meanwhile; a batch that went away (end of
// input) or says nothing in time gives no word.
std::optional<BatchWord> awaitBatchWord();

// What a worker's device comes to when the batch's word (or its silence) leaves it alone: none
// when it goes on.
struct WordAnswer {
    Outcome outcome = Outcome::Skipped;
    std::string text;                  // the result's words
    std::optional<RunMessage> message; // said before the result
    bool letGo = true;                 // the device is told goodbye first
    bool notARun = false;              // updated just before: neither its record nor its row is kept
};
std::optional<WordAnswer> answerTo(std::optional<BatchWord> word, const std::string &serialShown);

// Where a worker looks for its device when it comes back elsewhere (for its table): every
// matching device in turn, never only the first, so that the reconnect, which keeps the one
// with this device's serial, never takes a neighbour of the batch for it.
std::function<std::string()> portRotation();
