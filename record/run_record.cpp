#include "run_record.h"
#include "json_line.h"
#include "kept_traces.h"
#include "build_settings.h"
#include "clock.h"
#include "file_writer.h"
#include "output_writer.h"
#include "regular_file.h"
#include "session.h"
#include "readout.h"
#include "safe_text.h"
#include "trace.h"

#include <QDir>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#ifndef QTX_APP_VERSION
#error "QTX_APP_VERSION names the version the record carries"
#endif

RunRecord::RunRecord(Clock &clock, const Session &session, const Payloads &payloads, RunStore &store)
    : clock_(clock), session_(session), payloads_(payloads), store_(store)
{
}

RunRecord::~RunRecord()
{
    if (tracing_)
        Trace::stopRecording();
}

void RunRecord::begin(int64_t startedMsAgo)
{
    if (begun_)
        return;
    begun_ = true;
    startedAt_ = QDateTime::currentDateTimeUtc().addMSecs(-startedMsAgo);
    startMs_ = clock_.nowMs() - startedMsAgo;
    const std::string path = store_.tracePath(run_);
    if (path.empty())
        return;
    const std::string header = "# " + store_.program + " " QTX_APP_VERSION ", run " + run_ + " started " + at(startMs_);
    // The folder is made, and the file opened, on the file writer's thread: the first job
    // makes the folder the second opens the file in.
    FileWriter::post([store = store_]() mutable {
        if (std::string reason; !makeFolder(store.folder, reason))
            store.report(reason);
    });
    Trace::recordTo(path, store_.traceCapBytes, header,
                    [store = store_, path](const std::string &reason) mutable { store.report(path + ": " + reason); });
    tracing_ = true;
    traceName_ = RunStore::traceFileName(run_);
}

void RunRecord::forget()
{
    if (std::exchange(tracing_, false)) {
        Trace::stopRecording();
        // Not a run: its bytes are no run's trace either.
        FileWriter::post([path = store_.tracePath(run_)] { ::unlink(path.c_str()); });
    }
    ended_ = true;
}

void RunRecord::device(const DeviceFacts &facts)
{
    begin();
    device_ = facts;
}

std::string RunRecord::at(int64_t ms) const
{
    // The run's own clock between its start and now: virtual in tests, steady in the field.
    return startedAt_.addMSecs(ms - startMs_).toString(Qt::ISODateWithMs).toStdString();
}

std::string RunRecord::line(const RunEnd &end, const std::string &trace, long traceLost) const
{
    const Outcome outcome = end.outcome;
    JsonLine o;
    o.text("run", run_).text("start", at(startMs_)).text("end", at(endMs_)).text("version", QTX_APP_VERSION);
    o.text("program", store_.program).text("carried_firmware", BuildSettings::compiled().firmwareName);
    o.text("firmware", isCarried(payloads_.firmware) ? "carried" : payloads_.firmware);
    o.text("table", isCarried(payloads_.table) ? "carried" : payloads_.table);
    o.text("port", portShown());
    if (!session_.socket.empty())
        o.text("socket", shownText(session_.socket));
    if (device_) {
        o.object("device", identityJson(device_->record).text("line", shownText(device_->line())));
        o.text("battery", device_->batteryText());
        if (device_->batteryPercent)
            o.number("battery_percent", *device_->batteryPercent);
    }
    if (result_ && result_->otherDevice) // who answered in its place: that device was only asked who it is
        o.object("other_device", identityJson(*result_->otherDevice));
    std::vector<JsonLine> stages, messages;
    for (const Event &e : stages_)
        stages.push_back(JsonLine().text("id", e.kind).text("name", e.text).text("at", at(e.atMs)));
    for (const Event &e : messages_)
        messages.push_back(JsonLine().text("kind", e.kind).text("text", e.text).text("at", at(e.atMs)));
    o.objects("stages", stages).objects("messages", messages);
    if (result_) {
        o.text("stage_reached", stageReached());
        o.flag("firmware_confirmed", result_->firmwareConfirmed).flag("table_sent", result_->tableSent);
    }
    if (!hint_.empty())
        o.text("hint", hint_);
    // The verify pass's blocks that came back damaged: the run went on, support may ask.
    std::vector<JsonLine> readBacks;
    for (const Event &e : readBacks_)
        readBacks.push_back(JsonLine().text("line", e.text).text("at", at(e.atMs)));
    o.number("readback_warnings", static_cast<long long>(readBacks_.size())).objects("readback_lines", readBacks);
    if (!batch_.empty())
        o.text("batch", batch_);
    o.flag("writing", wrote_); // the device was written to: a run cut short may have left it without firmware
    if (firmwareAfter_)
        o.number("firmware_after", firmwareAfter_->version).text("firmware_after_known", firmwareAfterKnown(*firmwareAfter_));
    o.flag("may_be_without_firmware", end.mayBeWithoutFirmware());
    if (!trace.empty())
        o.text("trace", trace); // the run's own, by name: never guessed from the times
    if (traceLost > 0) // its file fell behind: these lines of it are missing
        o.number("trace_lines_lost", traceLost);
    o.text("outcome", outcomeName(outcome)).number("exit", exitStatus(outcome));
    return o.text("text", end.text).str();
}

std::string RunRecord::portShown() const
{
    // A device never reached still names where it was looked for.
    if (device_)
        return device_->port.empty() ? std::string("docking station") : device_->port;
    return session_.portPath.empty() ? session_.portPathOverride : session_.portPath;
}

std::string RunRecord::stageReached() const
{
    if (!result_)
        return {};
    // The run goes on to its end after a table that failed: the step that failed is the table.
    const bool tableFailed = result_->firmwareConfirmed && !result_->tableSent;
    return runStageName(tableFailed ? RunStage::Table : result_->stage);
}

JournalEntry RunRecord::journalEntry(const RunEnd &end) const
{
    JournalEntry e;
    e.program = store_.program;
    e.port = portShown();
    e.socket = session_.socket;
    e.identified = device_.has_value();
    if (device_)
        e.serial = serialBytes(device_->record), e.batteryPercent = device_->batteryPercent;
    if (device_ && !device_->record.firmwareUnreadable)
        e.firmwareBefore = device_->record.firmwareVersion;
    e.firmwareAfter = firmwareAfter_;
    e.stage = stageReached();
    e.outcome = end.outcome;
    e.text = end.text;
    e.mayBeWithoutFirmware = end.mayBeWithoutFirmware();
    e.batch = batch_;
    e.run = run_;
    e.durationMs = endMs_ - startMs_;
    return e;
}

void RunRecord::result(const RunEnd &end)
{
    if (!begun_ || ended_)
        return;
    ended_ = true;
    endMs_ = clock_.nowMs(); // one end for the line, the journal and the kept trace's name
    if (end.run)
        result_ = end.run;
    if (end.run && end.run->firmwareAfter)
        firmwareAfter_ = end.run->firmwareAfter;
    if (store_.journal)
        store_.journal(journalEntry(end));
    const long lost = std::exchange(tracing_, false) ? Trace::stopRecording() : 0;
    if (!store_.folder.empty())
        keep(end, lost);
}

void RunRecord::keep(const RunEnd &end, long traceLost)
{
    // The kept trace's name is known now; whether there is a trace to keep, only once the
    // writer has closed it: both lines are made here, where the run's facts are.
    const bool failed = !succeeded(end.outcome) && !traceName_.empty();
    const std::string kept = failed ? keptTraceName(startedAt_.addMSecs(endMs_ - startMs_),
                                                    device_ ? hexBytes(serialBytes(device_->record)) : std::string(), run_)
                                    : std::string();
    FileWriter::post([store = store_, trace = traceName_, kept, withTrace = failed ? line(end, KeptTracePrefix + kept, traceLost) : std::string(),
                      without = line(end, {}, traceLost)]() mutable {
        std::string reason, named;
        if (!kept.empty())
            named = keepTrace(store, trace, kept, reason);
        else if (!trace.empty())
            leaveAsLastTrace(store, trace, reason);
        if (!reason.empty() && !store.failed()) // a folder it cannot write is said once, by the record
            store.say(store.program + ": cannot keep the trace of the " + (kept.empty() ? "run: " : "failed run: ") +
                      reason);
        store.append(named.empty() ? without : withTrace);
    });
}

void RunRecord::message(const RunMessage &m)
{
    begin();
    if (m.kind == MessageKind::Diagnostic)
        readBacks_.push_back({m.text, clock_.nowMs(), "readback"});
    else
        messages_.push_back({m.text, clock_.nowMs(), m.failure() ? "failure" : "message"});
}

void RunRecord::question(const RunQuestion &q)
{
    begin();
    const std::string asked = q.topic == RunQuestion::Topic::LowBattery
                                  ? "Low battery: " + std::to_string(q.batteryPercent) + " %"
                                  : q.caption + ": " + q.text;
    messages_.push_back({asked + (q.yes ? " [OK]" : " [Cancel]"), q.askedAtMs, "question"});
}

void RunRecord::stage(ProgressStage stage, const std::string &caption)
{
    begin();
    stages_.push_back({caption, clock_.nowMs(), progressStageId(stage)});
}
