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

// ---- the store ---------------------------------------------------------------------------

bool makeFolder(const std::string &path, std::string &reason)
{
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return true;
        reason = path + ": " + std::strerror(ENOTDIR);
        return false;
    }
    const size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !makeFolder(path.substr(0, slash), reason))
        return false;
    // The record holds serial numbers and ports: only its owner reads it.
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        reason = path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void RunStore::report(const std::string &reason)
{
    if (failed_->exchange(true))
        return;
    say(program + ": cannot keep the run record in " + folder + ": " + reason);
}

void RunStore::say(const std::string &text) const
{
    if (errors)
        *errors << text << std::endl;
    else // queued, from whichever thread says it
        OutputWriter::write(STDERR_FILENO, text + "\n");
}

bool RunStore::append(const std::string &line)
{
    if (folder.empty())
        return true;
    std::string reason;
    if (!makeFolder(folder, reason)) {
        report(reason);
        return false;
    }
    const std::string path = runsPath();
    const std::string data = line + '\n';
    // The devices of a batch end together: one at a time moves the file aside and appends,
    // or two could rotate it at once and lose the older half.
    const StoreLock lock(folder);
    if (!lock.refused().empty()) {
        report(lock.refused()); // the folder is not as this program left it
        return false;
    }
    // Not held: the line goes in all the same, only the file is not moved aside.
    struct stat st;
    if (lock.held() && ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
        st.st_size + long(data.size()) > rotateAtBytes && ::rename(path.c_str(), (path + ".1").c_str()) != 0) {
        report("cannot move " + path + " aside: " + std::strerror(errno));
        return false;
    }
    // A window and a command line that end together do not mix lines.
    if (!appendWhole(path, data, reason)) {
        report(reason);
        return false;
    }
    return true;
}

StoreLock::StoreLock(const std::string &folder)
{
    if (folder.empty())
        return;
    const std::string path = folder + "/runs.lock";
    std::string reason;
    fd_ = openRegularFile(path, O_RDWR | O_CREAT, false, reason);
    if (fd_ < 0 && (reason == NotARegularFile || reason == LinkNotFollowed))
        refused_ = path + ": " + reason;
    // Its holders keep it for a rename and a write. One that holds it longer (a program stopped
    // halfway) is waited for two seconds by the clock, not for good, and only ever on the file
    // writer's thread, never the device's. A lock file that cannot be opened holds nobody up:
    // the writer goes on as if it held it.
    held_ = fd_ < 0 || ::flock(fd_, LOCK_EX | LOCK_NB) == 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(RunStore::LockWaitMs);
    while (!held_ && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(RunStore::LockTryGapMs));
        held_ = ::flock(fd_, LOCK_EX | LOCK_NB) == 0;
    }
}

StoreLock::~StoreLock()
{
    if (fd_ >= 0)
        ::close(fd_);
}

bool appendWhole(const std::string &path, const std::string &data, std::string &error, bool followLink)
{
    std::string reason;
    const int fd = openRegularFile(path, O_WRONLY | O_APPEND | O_CREAT, followLink, reason);
    if (fd < 0) {
        error = path + ": " + reason;
        return false;
    }
    const off_t before = ::lseek(fd, 0, SEEK_END);
    ssize_t n = 0;
    if (!data.empty())
        do
            n = ::write(fd, data.data(), data.size());
        while (n < 0 && errno == EINTR);
    const int writeError = n < 0 ? errno : ENOSPC;
    bool ok = n == ssize_t(data.size());
    // Half a line would spoil the next writer's. Should the cut fail too, the write's own
    // error is still what the caller hears.
    if (!ok && n > 0 && before >= 0 && ::ftruncate(fd, before) != 0)
        ok = false;
    if (::close(fd) != 0 && ok) {
        ok = false;
        error = path + ": " + std::strerror(errno);
    } else if (!ok) {
        error = path + ": " + std::strerror(writeError);
    }
    return ok;
}

std::string RunStore::standardFolder()
{
    if (const char *off = std::getenv("QTX_MOVA_NO_RECORD"); off && *off && std::strcmp(off, "0") != 0)
        return {};
    // A relative XDG_STATE_HOME is to be ignored.
    const char *state = std::getenv("XDG_STATE_HOME");
    const std::string base = state && state[0] == '/' ? std::string(state)
                                                       : QDir::homePath().toStdString() + "/.local/state";
    return base + "/mova-update";
}

RunStore RunStore::standard(const std::string &program, bool keepsTraces)
{
    RunStore s;
    s.folder = standardFolder();
    s.program = program;
    s.keepsTraces = keepsTraces;
    const char *noJournal = std::getenv("QTX_MOVA_NO_JOURNAL");
    if (!s.folder.empty() && !(noJournal && *noJournal && std::strcmp(noJournal, "0") != 0))
        s.journal = [](const JournalEntry &entry) { sendToJournal(entry); };
    return s;
}

std::string RunStore::traceFileName(const std::string &runId)
{
    return "trace-" + runId + ".log";
}

bool RunStore::isTraceFileName(const std::string &name)
{
    const auto between = [&](const std::string &head, const std::string &tail) {
        return name.size() > head.size() + tail.size() && name.compare(0, head.size(), head) == 0 &&
                       name.compare(name.size() - tail.size(), tail.size(), tail) == 0
                   ? name.substr(head.size(), name.size() - head.size() - tail.size())
                   : std::string();
    };
    const std::string place = between("last-trace-", ".log");
    return name == LastTrace || isRunId(between("trace-", ".log")) ||
           (!place.empty() && place.size() <= 9 && place.find_first_not_of("0123456789") == std::string::npos);
}

std::string newRunId()
{
    uint64_t bits = 0;
    if (::getrandom(&bits, sizeof bits, 0) != ssize_t(sizeof bits)) // not to be: then the time and the process
        bits = uint64_t(std::chrono::system_clock::now().time_since_epoch().count()) * 31 + uint64_t(::getpid());
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", (unsigned long long)bits);
    return text;
}

bool isRunId(const std::string &text)
{
    return text.size() == 16 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// ---- the record of one run ---------------------------------------------------------------

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
        o.number("firmware_after", *firmwareAfter_);
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
