#pragma once
#include <QByteArray>
#include <QJsonObject>
#include <optional>
#include <string>

// The words a batch and its workers exchange over the workers' pipes, read and written here
// only: the rest of the batch works with these enumerations.

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

// What a worker says on its standard output, one JSON object a line.
enum class WorkerSays {
    Output,     // not an event: something else the worker printed
    Other,      // an event the batch only passes on
    Plan,       // who its device is and what goes on it; the worker waits for the batch's word
    Stage,      // a stage of the update begins
    Progress,   // how far the stage is
    Message,    // a text for the operator ("failure" true when it is one)
    Hint,       // the texts below are failures or warnings whatever they say
    Note,
    Warning,
    Diagnostic, // a line of the device's own diagnostics
    Writing,    // it began to write the device
    After,      // the firmware the device reports after its update
    Row,        // the report row it wrote for its device (and handed to its result hook)
    Result,     // its outcome
};

struct WorkerEvent {
    WorkerSays kind = WorkerSays::Output;
    QJsonObject fields; // as the worker wrote them, its "event" among them
    QByteArray line;    // the line itself, without its end
};
// One line of a worker's output; the only place its event's name is looked at.
WorkerEvent readWorkerEvent(const QByteArray &line);
