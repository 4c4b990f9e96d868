#include "batch_words.h"
#include "batch_report.h"
#include "clock.h"
#include "discovery.h"
#include "json_line.h"
#include "readout.h"
#include "safe_text.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QString>
#include <algorithm>
#include <array>
#include <cerrno>
#include <poll.h>
#include <unistd.h>
#include <utility>

QByteArray batchWordLine(BatchWord word)
{
    switch (word) {
    case BatchWord::Go:
        return "go\n";
    case BatchWord::Skip:
        return "skip\n";
    case BatchWord::Refuse:
        return "refuse\n";
    }
    return "\n"; // not a word: the worker takes it for none and leaves its device alone
}

std::optional<BatchWord> batchWordOf(const std::string &line)
{
    for (const BatchWord word : {BatchWord::Go, BatchWord::Skip, BatchWord::Refuse})
        if (batchWordLine(word).toStdString() == line + "\n")
            return word;
    return std::nullopt;
}

namespace {

enum class Says { Output, Other, Plan, Stage, Progress, Message, Remark, Diagnostic, Writing, After, Row, Result };

Says saysOf(const QString &name)
{
    using namespace EventName;
    static const std::array<std::pair<const char *, Says>, 12> known {{
        {Plan, Says::Plan},
        {Stage, Says::Stage},
        {Progress, Says::Progress},
        {Message, Says::Message},
        {Hint, Says::Remark},
        {Note, Says::Remark},
        {Warning, Says::Remark},
        {Diagnostic, Says::Diagnostic},
        {Writing, Says::Writing},
        {After, Says::After},
        {Row, Says::Row},
        {Result, Says::Result},
    }};
    for (const auto &[word, says] : known)
        if (name == QLatin1String(word))
            return says;
    return Says::Other;
}

// A worker's texts are shown safely again: a line that reaches the operator's terminal never
// carries a byte that moves the cursor, whoever put it there. The tool's own texts that run
// over two lines become one, led by the port like every other.
std::string text(const QJsonObject &o, const char *key)
{
    return shownText(o[key].toString().replace(QLatin1Char('\n'), QLatin1Char(' ')).toStdString());
}

// Who the device is, as its plan says: the serial's exact bytes from their hex, the rest as given.
DeviceFacts deviceOf(const QJsonObject &o)
{
    DeviceFacts d;
    DeviceRecord &r = d.record;
    const QByteArray serial = QByteArray::fromHex(o["serial_hex"].toString().toLatin1());
    std::copy_n(serial.constData(), std::min<qsizetype>(serial.size(), sizeof r.serialNumber), r.serialNumber);
    const std::string date = deviceDateOf(o["firmware_date"].toString().toStdString());
    std::copy_n(date.data(), std::min(date.size(), sizeof r.firmwareDate), r.firmwareDate);
    r.hardwareVersion = o["hardware_version"].toInt();
    r.firmwareVersion = o["firmware_version"].toInt();
    r.firmwareUnreadable = o["firmware_version"].isNull();
    if (o.contains("battery_percent"))
        d.batteryPercent = o["battery_percent"].toInt();
    else // a reading asked for and not given says "N/A"; none asked says nothing
        d.batteryUnreadable = !o["battery"].toString().isEmpty();
    d.socket = text(o, "socket");
    d.port = o["port"].toString().toStdString();
    return d;
}

RunPlan planOf(const QJsonObject &o)
{
    RunPlan p;
    p.port = o["port"].toString().toStdString();
    p.firmwareName = o["firmware"].toString().toStdString();
    p.tableName = o["table"].toString().toStdString();
    p.firmwareBlocks = o["firmware_blocks"].toInt();
    p.tableBlocks = o["table_blocks"].toInt();
    for (const FirmwareAge age : {FirmwareAge::Older, FirmwareAge::Same, FirmwareAge::Newer})
        if (o["firmware_is"].toString() == QLatin1String(firmwareAgeName(age)))
            p.firmwareIs = age;
    p.run = o["run"].toString().toStdString();
    return p;
}

ProgressStage stageOf(const QString &id)
{
    for (const ProgressStage s : {ProgressStage::Reset, ProgressStage::Erase, ProgressStage::Send,
                                  ProgressStage::Verify, ProgressStage::TableConnect, ProgressStage::TableSend})
        if (id == QLatin1String(progressStageId(s)))
            return s;
    return ProgressStage::Reset;
}

RunEnd endOf(const QJsonObject &o)
{
    RunEnd end;
    // By its name: both successes exit 0.
    end.outcome = outcomeByName(o["outcome"].toString().toStdString()).value_or(Outcome(o["exit"].toInt()));
    end.text = text(o, "text");
    RunResult run;
    run.firmwareConfirmed = o["firmware_confirmed"].toBool();
    run.tableSent = o["table_sent"].toBool();
    run.readBackWarnings = o["readback_warnings"].toInt();
    // What it said of its device's firmware stands, whatever else it said.
    run.eraseBegun = o["may_be_without_firmware"].toBool() && !run.firmwareConfirmed;
    end.run = run;
    return end;
}

// The line passed on as JSON, told whose it is: anything that is no event stays one object a
// line, so that a reader of the batch never meets a line it cannot parse.
std::string relayed(Says says, const QJsonObject &o, const QByteArray &line, const std::string &port)
{
    if (says == Says::Output)
        return JsonLine::event("output").text("port", shownText(port)).text("text", shownText(line.toStdString())).str();
    JsonLine json = JsonLine::event(o.value("event").toString().toStdString());
    if (o.contains("port"))
        json.value("port", o.value("port"));
    else
        json.text("port", shownText(port));
    return json.fields(o, {"event", "port"}).str();
}

} // namespace

void hearWorker(const QByteArray &line, const std::string &port, WorkerEvents &l)
{
    const QJsonObject o = QJsonDocument::fromJson(line).object();
    const QString name = o.value("event").toString();
    const Says says = name.isEmpty() ? Says::Output : saysOf(name);
    switch (says) {
    case Says::Plan:
        l.device(deviceOf(o));
        l.plan(planOf(o));
        break;
    case Says::Stage:
        l.stage(stageOf(o["id"].toString()), text(o, "name"));
        break;
    case Says::Progress:
        l.progress(o["percent"].toInt());
        // an estimate the worker no longer gives (a stage done, a device gone) goes
        l.estimate(o["device_present"].toBool(true),
                   o.contains("run_left_s") ? std::optional<double>(o["run_left_s"].toDouble()) : std::nullopt);
        break;
    case Says::Message: {
        RunMessage m;
        m.kind = o["failure"].toBool() ? MessageKind::Failure : MessageKind::Success;
        m.text = text(o, "text");
        m.file = o["file"].toString().toStdString();
        m.line = o["line"].toInt();
        l.explained(m, text(o, "explanation"));
        break;
    }
    case Says::Remark:
        l.remark(text(o, "text"));
        break;
    case Says::Diagnostic: {
        RunMessage m;
        m.kind = MessageKind::Diagnostic;
        m.text = text(o, "line");
        l.explained(m, {});
        break;
    }
    case Says::Writing:
        l.writing(true);
        break;
    case Says::After: {
        DeviceFacts d;
        d.record.firmwareVersion = o["firmware_version"].toInt();
        l.after(d);
        break;
    }
    case Says::Row:
        l.reported(reportRowOf(o["row"].toObject()));
        break;
    case Says::Result:
        l.result(endOf(o));
        break;
    case Says::Output:
    case Says::Other:
        break;
    }
    if (says != Says::Row) // the batch's own "report" says it
        l.relay(relayed(says, o, line, port), says == Says::Progress);
    l.heard();
}

void WorkerWords::plan(const RunPlan &p)
{
    const DeviceFacts d = device_.value_or(DeviceFacts {});
    JsonLine line = JsonLine::event(EventName::Plan).text("port", p.port);
    if (!p.run.empty())
        line.text("run", p.run);
    if (!d.socket.empty())
        line.text("socket", shownText(d.socket));
    line.append(identityJson(d.record)).text("firmware_now", shownText(d.line())).text("battery", d.batteryText());
    if (d.batteryPercent)
        line.number("battery_percent", *d.batteryPercent);
    line.text("firmware", p.firmwareName)
        .text("table", p.tableName)
        .number("firmware_blocks", p.firmwareBlocks)
        .number("table_blocks", p.tableBlocks)
        .text("firmware_is", firmwareAgeName(p.firmwareIs))
        .flag("downgrade", p.firmwareIs == FirmwareAge::Older);
    say_(line.str());
}

void WorkerWords::writing(bool on)
{
    if (on)
        say_(JsonLine::event(EventName::Writing).str());
}

void WorkerWords::message(const RunMessage &m)
{
    if (m.kind == MessageKind::Diagnostic)
        return say_(JsonLine::event(EventName::Diagnostic).text("line", m.text).str());
    JsonLine line = JsonLine::event(EventName::Message).text("text", m.text);
    if (!m.failure())
        return say_(line.str());
    line.flag("failure", true);
    if (m.line > 0)
        line.number("line", m.line).text("file", m.file);
    say_(line.text("explanation", explanationText(m.explainedBy, frontEnd_)).str());
}

void WorkerWords::after(const DeviceFacts &facts)
{
    say_(JsonLine::event(EventName::After)
             .number("firmware_version", facts.record.firmwareVersion)
             .text("line", shownText(facts.line()))
             .str());
}

void WorkerWords::result(const RunEnd &end)
{
    const RunResult run = end.run.value_or(RunResult {});
    if (run.firmwareConfirmed)
        say_(JsonLine::event("table").flag("sent", run.tableSent).str());
    JsonLine line = JsonLine::event(EventName::Result).flag("ok", succeeded(end.outcome));
    line.number("exit", exitStatus(end.outcome)).text("outcome", outcomeName(end.outcome, end.readOnly));
    line.text("text", end.text);
    if (!end.readOnly) {
        line.flag("firmware_confirmed", run.firmwareConfirmed).flag("table_sent", run.tableSent);
        line.number("readback_warnings", run.readBackWarnings);
        line.flag("may_be_without_firmware", end.mayBeWithoutFirmware());
        if (run.otherDevice)
            line.object("other_device", identityJson(*run.otherDevice));
    }
    say_(line.str());
}

JsonLine stageWords(ProgressStage stage, const std::string &caption)
{
    return JsonLine::event(EventName::Stage).text("id", progressStageId(stage)).text("name", caption);
}

JsonLine progressWords(const ProgressSaid &p)
{
    JsonLine line = JsonLine::event(EventName::Progress).text("stage", p.stage).number("percent", p.percent);
    line.fixed("elapsed_s", p.elapsedS, 1);
    if (p.stageLeftS)
        line.fixed("eta_s", *p.stageLeftS, 1);
    if (p.runLeftS)
        line.fixed("run_left_s", *p.runLeftS, 1);
    if (!p.present)
        line.flag("device_present", false);
    return line;
}

JsonLine remarkWords(const char *name, const std::string &text, const std::optional<std::string> &path)
{
    JsonLine line = JsonLine::event(name);
    if (path)
        line.text("path", *path);
    return line.text("text", text);
}

JsonLine rowWords(const ReportRow &row)
{
    return JsonLine::event(EventName::Row).object("row", row.object());
}

std::optional<BatchWord> awaitBatchWord()
{
    constexpr int WaitMs = 120'000;
    std::string line;
    for (const int64_t until = realClock().nowMs() + WaitMs; realClock().nowMs() < until;) {
        pollfd in {STDIN_FILENO, POLLIN, 0};
        if (::poll(&in, 1, 100) > 0) {
            char c = 0;
            const ssize_t n = ::read(STDIN_FILENO, &c, 1);
            if (n <= 0 && !(n < 0 && errno == EINTR))
                return std::nullopt;
            if (c == '\n')
                return batchWordOf(line);
            if (n == 1 && line.size() < 64)
                line += c;
        }
        QCoreApplication::processEvents();
    }
    return std::nullopt;
}

std::optional<WordAnswer> answerTo(std::optional<BatchWord> word, const std::string &serialShown)
{
    if (word == BatchWord::Go)
        return std::nullopt;
    WordAnswer a;
    if (word == BatchWord::Refuse) {
        a.text = "device " + serialShown + " has the same serial number as another device present, so it is not updated";
        a.message = RunMessage::of(MessageId::SameSerial, messageText(MessageId::SameSerial, a.text + "."));
        a.outcome = Outcome::SameSerial;
        a.letGo = false;
    } else if (word == BatchWord::Skip) {
        a.text = "device " + serialShown + " was updated just before";
        a.notARun = true;
    } else { // the batch went away or said nothing: nobody decided this device
        a.text = "no word from the batch to go on, so device " + serialShown + " is not updated";
        a.message = RunMessage::of(MessageId::BatchGone, messageText(MessageId::BatchGone, a.text + "."));
    }
    return a;
}

std::function<std::string()> portRotation()
{
    return [next = size_t(0)]() mutable {
        const std::vector<std::string> paths = findInterfacePaths(deviceUsbId());
        return paths.empty() ? std::string() : paths[next++ % paths.size()];
    };
}
