#include "cli_update.h"
#include "batch_report.h"
#include "build_settings.h"
#include "batch_words.h"
#include "cli_arguments.h"
#include "cli_info.h"
#include "cli_list.h"
#include "cli_signals.h"
#include "clock.h"
#include "console_screen.h"
#include "discovery.h"
#include "failure_guide.h"
#include "file_writer.h"
#include "handshake.h"
#include "monitor.h"
#include "output_writer.h"
#include "payload_file.h"
#include "port_holder.h"
#include "result_hook.h"
#include "run_begin.h"
#include "run_record.h"
#include "session.h"
#include "stop_signals.h"
#include "update_run.h"
#include "usb_connection.h"

#include <QCoreApplication>
#include <QTimer>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <poll.h>
#include <unistd.h>
#include <utility>

int finishReading(ConsoleScreen &screen, Outcome outcome, const std::string &text)
{
    screen.result({outcome, text, std::nullopt, true});
    return exitStatus(outcome);
}

namespace {

// One device's command: its link, what it knows of the device, and who hears what it tells,
// in the order they hear it: the report and the record note the result before the screen
// says it.
// The operator's name for the socket of the one port given, when there is one.
std::string namedSocket(const CliArguments &a)
{
    SocketNames names;
    std::string error;
    if (a.ports.empty())
        return {};
    if (!socketNames(a, names, error))
        std::cerr << "mova-update: the sockets' names are not used: " << error << std::endl;
    return names.named(a.ports.front()) ? names.nameOf(a.ports.front()) : std::string();
}

// The operator's result hook, once the device is let go: it ends within its limit. A batch's
// worker runs its own device's, so that the hook does not depend on its batch still living.
void runResultHook(const CliArguments &a, const SingleReport *report)
{
    if (!report || a.onResult.empty() || !report->kept())
        return;
    ResultHooks hook(a.onResult, RunStore::standardFolder(), [](const std::string &text) {
        std::cerr << text << std::endl;
    });
    hook.run(report->row);
    hook.waitAll();
}

// Once the device is let go: the report row reaches its file first, then a batch's worker tells
// its batch the row, then the hook (which may read the row) runs. The same on every way out.
void closeTheBooks(const CliArguments &a, ConsoleScreen &screen, const SingleReport *report)
{
    FileWriter::drain();
    if (report && report->kept() && !a.worker.empty())
        screen.event(rowWords(report->row), {});
    runResultHook(a, report);
}

class DeviceCommand {
public:
    DeviceCommand(const CliArguments &a, ConsoleScreen &screen, SingleReport *report)
        : a_(a), screen_(screen), report_(report),
          store_(RunStore::standard("mova-update"))
    {
        session_.link = &link_;
        session_.expectedHardwareVersion = BuildSettings::compiled().expectedHardwareVersion();
        session_.portPathOverride = a.ports.empty() ? std::string() : a.ports.front();
        session_.socket = a.worker.empty() ? namedSocket(a) : a.socket; // a worker is told its own
        if (!a.worker.empty()) {
            session_.findPort = portRotation();
        }
    }

    int run();
    // Ends the program at once, politely: the goodbye the window's close sends when the link
    // is open, the line let go, and the result said.
    [[noreturn]] void leaveNow(int signalNumber);

private:
    int info();
    int update();
    std::string sayWhyNotConnected();
    std::optional<int> takeBatchWord();
    void prepareScreen(FirmwareAge age);
    std::optional<FirmwareAfter> readFirmwareAfter();
    std::string endWords(const RunResult &result);
    int finish(Outcome outcome, const std::string &text, std::optional<RunResult> run = std::nullopt);
    std::string serialShown() const { return shownText(serialBytes(session_.record)); }

    const CliArguments &a_;
    ConsoleScreen &screen_;
    SingleReport *report_;
    UsbConnection link_ {realClock()};
    Session session_;
    RunStore store_;
    std::optional<RunRecord> record_;
    std::optional<PortClaim> claim_; // the port given, for as long as this run may use it
    RunEvents events_;
};

int DeviceCommand::finish(Outcome outcome, const std::string &text, std::optional<RunResult> run)
{
    events_.result({outcome, text, std::move(run), false});
    return exitStatus(outcome);
}

// Why the device could not be opened, said after the failure that says it could not: the
// path's hint (returned, when one is known), or what discovery saw.
std::string DeviceCommand::sayWhyNotConnected()
{
    const std::string hint = openFailureHint(link_);
    if (!hint.empty())
        screen_.event(remarkWords(EventName::Hint, hint, link_.lastPath()), shownText(hint), true);
    else if (session_.ttyRoad() && session_.portPathOverride.empty() && session_.portPath.empty())
        hintUnmatchedDevices(screen_); // discovery found no device with the id: say what it saw
    return hint;
}

int DeviceCommand::info()
{
    events_.listen(screen_);
    if (findDevice(session_, screen_, events_, realClock())) {
        sayWhyNotConnected();
        return finishReading(screen_, Outcome::NotConnected, messageText(session_.pollMessage));
    }
    showDeviceInfo(session_, screen_, a_);
    return finishReading(screen_, Outcome::Updated, shownText(deviceLine(session_.record)));
}

// The batch's word for a worker's device: nothing when it may go on, else the exit status of
// a device left alone.
std::optional<int> DeviceCommand::takeBatchWord()
{
    const std::optional<WordAnswer> answer = answerTo(awaitBatchWord(), serialShown());
    if (!answer)
        return std::nullopt;
    if (answer->letGo)
        sayGoodbye(link_);
    if (answer->notARun) { // not a run: the device was updated already
        record_->forget();
        if (report_)
            report_->forget();
    }
    if (answer->message)
        events_.message(*answer->message);
    return finish(answer->outcome, answer->text);
}

void DeviceCommand::prepareScreen(FirmwareAge age)
{
    screen_.questionSubject = "device " + serialShown();
    screen_.allowLowBattery = a_.allowLowBattery;
    if (age == FirmwareAge::Older) {
        screen_.questionNote = "the firmware to go on is " + downgradeText(session_.record);
        // Without the question, that is said all the same before a byte is written.
        if (a_.yes || !session_.record.asksBeforeErase())
            screen_.event(remarkWords(EventName::Warning, screen_.questionNote),
                          "mova-update: warning: " + screen_.questionNote, true);
    }
}

// After a batch's update (or one with a report) the device is read again, as the window does
// once a run is over, so that the report says which firmware it runs now as read, not only as
// confirmed. None when it does not answer: the confirmed firmware stands.
std::optional<FirmwareAfter> DeviceCommand::readFirmwareAfter()
{
    if (!session_.portPath.empty())
        session_.portPathOverride = session_.portPath; // where the table found it
    pollDevice(session_, screen_, realClock());
    if (!link_.isOpen())
        return std::nullopt;
    const DeviceFacts read = DeviceFacts::of(session_);
    events_.after(read);
    sayGoodbye(link_);
    link_.close();
    if (read.record.firmwareUnreadable)
        return std::nullopt;
    return FirmwareAfter {read.record.firmwareVersion, true};
}

std::string DeviceCommand::endWords(const RunResult &result)
{
    if (result.failure != RunFailure::Declined)
        return endText(result);
    if (result.notAskedBecause.empty())
        return "the operator declined"; // said once, by the result's line
    // Exit 7 all the same: the words say why.
    const std::string text = "not updated: the update would delete a recording that may still be on device " +
                             serialShown() + ", and the question whether to go on was not asked: " +
                             result.notAskedBecause;
    screen_.event(remarkWords(EventName::Note, text), {});
    return text;
}

int DeviceCommand::update()
{
    const Payloads payloads {a_.firmware, a_.table};
    RunRecord &record = record_.emplace(realClock(), session_, payloads, store_);
    if (isRunId(a_.runId)) // a batch's worker: the run its batch began
        record.noteRun(a_.runId);
    if (report_) {
        report_->row.run = record.runId();
        events_.listen(*report_);
    }
    events_.listen(record);
    events_.listen(screen_);
    record.begin();
    screen_.reinstall = a_.reinstall, screen_.allowOlder = a_.allowOlder; // the guard's answers
    RunBeginning begin(session_, screen_, events_, realClock(), payloads, record.runId());
    if (const std::optional<RunEnd> end = begin.checkPayloads())
        return finish(end->outcome, end->text);
    const std::string process = "process " + std::to_string(::getpid());
    claim_.emplace(RunStore::standardFolder(), session_.portPathOverride,
                   a_.worker.empty() ? "the update run of " + process + " (mova-update)"
                                     : "the batch " + a_.worker + " (" + process + ")");
    if (const std::optional<RunEnd> end = begin.identify(&screen_)) {
        if (end->outcome == Outcome::NotConnected) {
            const std::string hint = sayWhyNotConnected();
            record.noteHint(hint);
            if (report_) // a port busy with another run is said so in the row, not only "not connected"
                report_->hint = hint;
        }
        return finish(end->outcome, end->text);
    }
    if (!a_.worker.empty())
        record.noteBatch(a_.worker);
    // The firmware's age may leave the device as it is: said before any byte is written and
    // before a batch's word is waited for, and the device let go.
    if (const std::optional<RunEnd> end = begin.guard()) {
        sayGoodbye(link_);
        return finish(end->outcome, end->text);
    }
    if (!a_.worker.empty())
        if (const std::optional<int> left = takeBatchWord())
            return *left;
    prepareScreen(begin.age());
    // Heartbeat: the run's waits let the event loop turn, so a log hears from a waiting stage.
    QTimer heartbeat;
    QObject::connect(&heartbeat, &QTimer::timeout, [this] { screen_.tick(); });
    heartbeat.start(ConsoleProgress::TickMs);
    realClock().pump(); // a stop asked for while the device was read is heard before it is written
    RunResult result = runUpdate(session_, screen_, events_, realClock(), payloads);
    if ((!a_.worker.empty() || report_) && result.firmwareConfirmed)
        if (const std::optional<FirmwareAfter> read = readFirmwareAfter())
            result.firmwareAfter = read;
    return finish(outcomeOf(result), endWords(result), result);
}

void DeviceCommand::leaveNow(int signalNumber)
{
    static bool leaving = false; // a signal while the result hook runs ends the program at once
    if (std::exchange(leaving, true))
        std::_Exit(int(Outcome::Interrupted));
    sayGoodbye(link_);
    link_.close();
    if (events_.empty())
        events_.listen(screen_);
    finish(Outcome::Interrupted, std::string("stopped by signal ") + ::strsignal(signalNumber));
    closeTheBooks(a_, screen_, report_); // the device is let go: now the books may take their time
    OutputWriter::drain();
    std::_Exit(int(Outcome::Interrupted));
}

int DeviceCommand::run()
{
    screen_.progressThroughWriter([this] {
        return session_.portPath.empty() || ::access(session_.portPath.c_str(), F_OK) == 0;
    });
    CliSignalPolicy policy(session_, [this](int number) { leaveNow(number); }, a_.worker.empty());
    StopSignals stopSignals({SIGINT, SIGTERM, SIGHUP}, [&policy](int number) { policy(number); });
    screen_.whileAsking = [] { QCoreApplication::processEvents(); };
    return a_.command == "info" ? info() : update();
}

} // namespace

int runDeviceCommand(const CliArguments &a, ConsoleScreen &screen)
{
    // One device gets its row as each device of a batch does; the file is checked first. The
    // result hook is told the same row, a file or not. A batch's worker always makes its row:
    // it writes it and runs its hook itself, then tells its batch the row, so that neither
    // depends on the batch living until the device is done.
    std::optional<SingleReport> reporting;
    if (!a.report.empty() || !a.onResult.empty() || !a.worker.empty())
        reporting.emplace();
    if (std::string error; !a.report.empty() && !reporting->open(a.report, error)) {
        std::cerr << "mova-update: cannot write the report: " << error << std::endl;
        return int(Outcome::Usage);
    }
    SingleReport *const report = reporting ? &*reporting : nullptr;
    if (report)
        report->failed = [](const std::string &text) { OutputWriter::write(STDERR_FILENO, text + "\n"); };
    if (report && !a.ports.empty())
        report->row.port = a.ports.front();
    if (report && !a.worker.empty()) {
        report->row.socket = a.socket; // also for a device never found
        report->lockFolder = RunStore::standardFolder();
    }
    // Output to a reader that went away fails quietly instead of killing a running update.
    std::signal(SIGPIPE, SIG_IGN);
    int status = 0;
    {
        DeviceCommand command(a, screen, report);
        status = command.run();
    } // the device is let go: now the hook may take its time
    closeTheBooks(a, screen, report);
    return status;
}
