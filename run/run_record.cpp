#include "run_record.h"
#include "json_line.h"
#include "build_settings.h"
#include "clock.h"
#include "regular_file.h"
#include "session.h"
#include "readout.h"
#include "safe_text.h"
#include "trace.h"

#include <QDir>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#ifndef QTX_APP_VERSION
#error "QTX_APP_VERSION names the version the record carries"
#endif

namespace {

bool carried(const std::string &path)
{
    return path.rfind(":/", 0) == 0;
}

} // namespace

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
    if (failed_)
        return;
    failed_ = true;
    (errors ? *errors : std::cerr) << program << ": cannot keep the run record in " << folder << ": " << reason
                                   << std::endl;
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
    const std::string lockPath = folder + "/runs.lock";
    const int lock = openRegularFile(lockPath, O_RDWR | O_CREAT, false, reason);
    if (lock < 0 && (reason == NotARegularFile || reason == LinkNotFollowed)) {
        report(lockPath + ": " + reason); // the folder is not as this program left it
        return false;
    }
    struct Unlock {
        int fd;
        ~Unlock() { if (fd >= 0) ::close(fd); }
    } unlock {lock};
    // Its holders keep it for a rename and a write. One that holds it longer (a program
    // stopped halfway) is waited for two seconds, not for good: a stop asked for meanwhile is
    // heard right after. The line then goes in all the same, only the file is not moved aside.
    bool locked = lock < 0;
    for (int tries = 0; !locked && tries < LockTries; ++tries) {
        locked = ::flock(lock, LOCK_EX | LOCK_NB) == 0;
        if (!locked)
            std::this_thread::sleep_for(std::chrono::milliseconds(LockTryGapMs));
    }
    struct stat st;
    if (locked && ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
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

RunStore RunStore::standard(const std::string &program, const std::string &traceName)
{
    RunStore s;
    s.folder = standardFolder();
    s.program = program;
    s.traceName = traceName;
    const char *noJournal = std::getenv("QTX_MOVA_NO_JOURNAL");
    if (!s.folder.empty() && !(noJournal && *noJournal && std::strcmp(noJournal, "0") != 0))
        s.journal = [](const JournalEntry &entry) { sendToJournal(entry); };
    return s;
}

std::string RunStore::traceFileName(int slot)
{
    return slot > 0 ? "last-trace-" + std::to_string(slot) + ".log" : "last-trace.log";
}

long RunStore::traceSlot(const std::string &name)
{
    if (name == traceFileName(0))
        return 0;
    const std::string head = "last-trace-", tail = ".log";
    if (name.size() <= head.size() + tail.size() || name.compare(0, head.size(), head) != 0 ||
        name.compare(name.size() - tail.size(), tail.size(), tail) != 0)
        return -1;
    const std::string digits = name.substr(head.size(), name.size() - head.size() - tail.size());
    if (digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    return std::strtol(digits.c_str(), nullptr, 10);
}

// ---- the record of one run ---------------------------------------------------------------

RunRecord::RunRecord(RunScreen &screen, Clock &clock, const Session &session, const Payloads &payloads,
                     RunStore &store)
    : screen_(screen), clock_(clock), session_(session), payloads_(payloads), store_(store)
{
}

RunRecord::~RunRecord()
{
    if (begun_ && !ended_)
        Trace::stopRecording();
}

void RunRecord::begin()
{
    if (begun_)
        return;
    begun_ = true;
    startedAt_ = QDateTime::currentDateTimeUtc();
    startMs_ = clock_.nowMs();
    if (store_.folder.empty())
        return;
    std::string reason;
    const std::string header = "# " + store_.program + " " QTX_APP_VERSION ", run started " + at(startMs_);
    if (!makeFolder(store_.folder, reason))
        store_.report(reason);
    else if (!Trace::recordTo(store_.tracePath(), store_.traceCapBytes, header, reason))
        store_.report(store_.tracePath() + ": " + reason);
}

void RunRecord::noteDevice(const std::string &deviceLine, const std::string &battery)
{
    const DeviceRecord &r = session_.record;
    deviceNoted_ = true;
    deviceLine_ = deviceLine;
    battery_ = battery;
    port_ = session_.portPath.empty() ? "docking station" : session_.portPath;
    serial_ = serialBytes(r);
    hardwareVersion_ = r.hardwareVersion;
    firmwareVersion_ = r.firmwareVersion;
    const char *d = r.firmwareDate; // year, month, day
    firmwareDate_ = d[0] ? "20" + std::string(d, 2) + "-" + std::string(d + 2, 2) + "-" + std::string(d + 4, 2) : "";
}

std::string RunRecord::at(int64_t ms) const
{
    // The run's own clock between its start and now: virtual in tests, steady in the field.
    return startedAt_.addMSecs(ms - startMs_).toString(Qt::ISODateWithMs).toStdString();
}

std::string RunRecord::line(Outcome outcome, const std::string &endText) const
{
    JsonLine o;
    o.text("start", at(startMs_)).text("end", at(clock_.nowMs())).text("version", QTX_APP_VERSION);
    o.text("program", store_.program).text("carried_firmware", BuildSettings::compiled().firmwareName);
    o.text("firmware", carried(payloads_.firmware) ? "carried" : payloads_.firmware);
    o.text("table", carried(payloads_.table) ? "carried" : payloads_.table);
    o.text("port", portShown());
    if (deviceNoted_) {
        // The serial's bytes are the device's choice: shown safely, and exactly in hexadecimal
        // (an unprogrammed one is FFFFFFFF).
        o.object("device", JsonLine()
                               .text("serial", shownText(serial_))
                               .text("serial_hex", hexBytes(serial_))
                               .number("hardware_version", hardwareVersion_)
                               .number("firmware_version", firmwareVersion_)
                               .text("firmware_date", firmwareDate_)
                               .text("line", shownText(deviceLine_)));
        o.text("battery", battery_);
    }
    std::vector<JsonLine> stages, messages;
    for (const Event &e : stages_)
        stages.push_back(JsonLine().text("name", e.text).text("at", at(e.atMs)));
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
    if (firmwareAfter_)
        o.number("firmware_after", *firmwareAfter_);
    o.text("outcome", outcomeName(outcome)).number("exit", int(outcome));
    return o.text("text", endText).str();
}

const std::string &RunRecord::portShown() const
{
    // A device never reached still names where it was looked for.
    const std::string &where = session_.portPath.empty() ? session_.portPathOverride : session_.portPath;
    return deviceNoted_ ? port_ : where;
}

std::string RunRecord::stageReached() const
{
    if (!result_)
        return {};
    // The run goes on to its end after a table that failed: the step that failed is the table.
    const bool tableFailed = result_->firmwareConfirmed && !result_->tableSent;
    return runStageName(tableFailed ? RunStage::Table : result_->stage);
}

JournalEntry RunRecord::journalEntry(Outcome outcome, const std::string &text) const
{
    JournalEntry e;
    e.program = store_.program;
    e.port = portShown();
    e.identified = deviceNoted_;
    if (deviceNoted_)
        e.serial = serial_, e.firmwareBefore = firmwareVersion_;
    e.firmwareAfter = firmwareAfter_;
    e.stage = stageReached();
    e.outcome = outcome;
    e.text = text;
    e.batch = batch_;
    return e;
}

void RunRecord::end(Outcome outcome, const std::string &endText)
{
    if (!begun_ || ended_)
        return;
    ended_ = true;
    if (store_.journal)
        store_.journal(journalEntry(outcome, endText));
    if (store_.folder.empty())
        return;
    std::string reason;
    if (Trace::recording() && !Trace::stopRecording(&reason))
        store_.report(store_.tracePath() + ": " + reason);
    store_.append(line(outcome, endText));
}

void RunRecord::end(const RunResult &result)
{
    result_ = result;
    end(outcomeOf(result), endText(result));
}

std::string RunRecord::endText(const RunResult &result) const
{
    // The window's cancelled low-battery question shows no message of its own; the record
    // says why nothing was written all the same.
    if (result.message.empty() && result.failure == RunFailure::LowBattery && lowBatteryRefused_ >= 0)
        return messageText(MessageId::BatteryLow, std::to_string(lowBatteryRefused_) + " %): not updated, as the "
                                                  "operator chose");
    if (!result.firmwareConfirmed || result.tableSent)
        return result.message;
    if (result.tableMessageId == MessageId::None) // no table was read to send
        return result.payloadReason.empty() ? std::string()
                                            : messageText(MessageId::PayloadInvalid, result.payloadReason);
    // The table's failure as it was shown, its value (an error code) in it. A failure in the
    // system's own words is no catalogue text: it is the last failure shown.
    const Event *last = nullptr;
    for (auto e = messages_.rbegin(); e != messages_.rend(); ++e) {
        if (std::strcmp(e->kind, "failure") != 0)
            continue;
        if (messageIdOf(e->text) == result.tableMessageId)
            return e->text;
        last = last ? last : &*e;
    }
    if (result.tableMessageId != MessageId::SystemError)
        return messageText(result.tableMessageId);
    return last ? last->text : std::string();
}

void RunRecord::diagnostic(const std::string &line)
{
    readBacks_.push_back({line, clock_.nowMs(), "readback"});
    screen_.diagnostic(line);
}

bool RunRecord::confirm(const std::string &caption, const std::string &question)
{
    begin();
    const size_t asked = messages_.size();
    messages_.push_back({caption + ": " + question, clock_.nowMs(), "question"});
    const bool yes = screen_.confirm(caption, question);
    messages_[asked].text += yes ? " [OK]" : " [Cancel]";
    return yes;
}

bool RunRecord::confirmLowBattery(int percent)
{
    begin();
    const size_t asked = messages_.size();
    messages_.push_back({"Low battery: " + std::to_string(percent) + " %", clock_.nowMs(), "question"});
    const bool yes = screen_.confirmLowBattery(percent);
    messages_[asked].text += yes ? " [OK]" : " [Cancel]";
    lowBatteryRefused_ = yes ? -1 : percent;
    return yes;
}

void RunRecord::message(const std::string &shown)
{
    begin();
    messages_.push_back({shown, clock_.nowMs(), "message"});
    screen_.message(shown);
}

void RunRecord::failure(const std::string &shown)
{
    begin();
    messages_.push_back({shown, clock_.nowMs(), "failure"});
    screen_.failure(shown);
}

void RunRecord::failure(MessageId explainedBy, const std::string &shown)
{
    begin();
    messages_.push_back({shown, clock_.nowMs(), "failure"});
    screen_.failure(explainedBy, shown);
}

void RunRecord::progressCaption(ProgressStage stage, const std::string &caption)
{
    begin();
    stages_.push_back({caption, clock_.nowMs(), "stage"});
    screen_.progressCaption(stage, caption);
}
