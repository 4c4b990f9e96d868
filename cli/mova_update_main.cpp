// mova-update: the updater without a window, for scripts and headless machines. The same
// link, readout, loader and update run as the window, with the same operator texts.
#include "batch_report.h"
#include "build_settings.h"
#include "cli_arguments.h"
#include "cli_batch.h"
#include "cli_log.h"
#include "cli_list.h"
#include "live_columns.h"
#include "cli_signals.h"
#include "clock.h"
#include "console_progress.h"
#include "console_screen.h"
#include "device_listing.h"
#include "discovery.h"
#include "failure_guide.h"
#include "firmware_image.h"
#include "monitor.h"
#include "operator_messages.h"
#include "outcome.h"
#include "output_writer.h"
#include "payload_file.h"
#include "handshake.h"
#include "readout.h"
#include "run_record.h"
#include "safe_text.h"
#include "session.h"
#include "standard_descriptors.h"
#include "stop_signals.h"
#include "support_bundle.h"
#include "trace.h"
#include "transfer_plan.h"
#include "update_run.h"
#include "cli_info.h"
#include "usb_connection.h"

#include <QCoreApplication>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <poll.h>
#include <unistd.h>

namespace {


// An update's record: kept from its start, ended by its result or by a signal.
using Recording = std::optional<RunRecord>;

// Says the result and ends the run's record. An update's result carries what the device
// confirmed as data: a batch counts a device updated from those, never from the exit status.
int finish(ConsoleScreen &screen, Outcome outcome, const std::string &text, bool readOnly = false,
           const RunResult &run = {}, Recording *recording = nullptr)
{
    if (recording && *recording)
        (*recording)->end(outcome, text);
    const bool ok = outcome == Outcome::Updated;
    JsonLine result = JsonLine::event("result").flag("ok", ok).number("exit", int(outcome));
    result.text("outcome", outcomeName(outcome, readOnly)).text("text", text);
    if (!readOnly) {
        result.flag("firmware_confirmed", run.firmwareConfirmed).flag("table_sent", run.tableSent);
        result.number("readback_warnings", static_cast<long long>(screen.readBackWarnings.size()));
    }
    // A question nobody was asked was not declined: the last line says what did happen.
    const std::string said = outcome == Outcome::Declined && !screen.asked ? text : outcomeName(outcome);
    screen.event(result, ok ? std::string() : "mova-update: " + said, !ok);
    return int(outcome);
}

// What goes onto the device, checked before the device is touched.
struct PayloadCheck {
    std::string error; // "<path>: <reason>", empty when both are fine
    int errorLine = 0; // the firmware text's line where its load stopped, when it names one
    std::string firmwareName, tableName;
    uint32_t firmwareLength = 0;
    int firmwareBlocks = 0, tableBlocks = 0;
    // The blocks the run will send, as it chooses their size for the device's hardware.
    void sizeFor(int hardwareVersion) { firmwareBlocks = firmwareTransferPlan(firmwareLength, hardwareVersion).blockCount; }
};

PayloadCheck checkPayloads(const CliArguments &a, int hardwareVersion)
{
    PayloadCheck c;
    c.firmwareName = carried(a.firmware) ? BuildSettings::compiled().firmwareName + " (carried)" : a.firmware;
    c.tableName = carried(a.table) ? "the carried translation table" : a.table;
    const PayloadFile hex = readPayloadFile(a.firmware, PayloadKind::Firmware);
    if (!hex.ok()) {
        c.error = a.firmware + ": " + hex.reason;
        return c;
    }
    const ImageLoad load = parseIntelHex(hex.bytes.constData(), size_t(hex.bytes.size()), hardwareVersion);
    if (!load.ok || !load.image.endOfFile) {
        c.error = a.firmware + ": " + (load.ok ? "no end-of-file record" : load.message);
        c.errorLine = brokenLine(load, {hex.bytes.constData(), size_t(hex.bytes.size())});
        return c;
    }
    c.firmwareLength = load.image.length();
    c.sizeFor(hardwareVersion);
    const PayloadFile table = readPayloadFile(a.table, PayloadKind::Table); // its limit of blocks is the reader's
    // A firmware text given as the table would go onto the device as its menu texts.
    if (const std::string reason = table.ok() ? tableFormatProblem(table.bytes) : table.reason; !reason.empty()) {
        c.error = a.table + ": " + reason;
        return c;
    }
    c.tableBlocks = tableTransferPlan(int64_t(table.bytes.size())).blockCount;
    return c;
}

// Finds and identifies the device as the window's first tick does; false when it is not there
// (with why the path could not be opened in `hintSaid`, when it is known).
bool connect(Session &session, ConsoleScreen &screen, std::string *hintSaid = nullptr)
{
    pollDevice(session, screen, realClock());
    if (session.link->isOpen())
        return true;
    // The monitor shows its line as text alone; where that says the path could not be opened,
    // the link's reason picks the explanation.
    MessageId shown = messageIdOf(screen.deviceLine);
    if (shown == MessageId::InitialiseError)
        shown = openFailureMessage(session.link->lastRefusal());
    screen.failure(shown, screen.deviceLine);
    const std::string hint = openFailureHint(*session.link);
    if (hintSaid)
        *hintSaid = hint;
    if (!hint.empty())
        screen.event(JsonLine::event("hint").text("path", session.link->lastPath()).text("text", hint), shownText(hint),
                     true);
    else if (session.ttyRoad() && session.portPathOverride.empty() && session.portPath.empty())
        hintUnmatchedDevices(screen); // discovery found no device with the id: say what it saw
    return false;
}

int info(Session &session, ConsoleScreen &screen, const CliArguments &a)
{
    if (!connect(session, screen))
        return finish(screen, Outcome::NotConnected, screen.deviceLine);
    showDeviceInfo(session, screen, a);
    return finish(screen, Outcome::Updated, screen.deviceLine, true);
}

// Which device is about to be updated, and with what: said before the question (or before
// the start, with --yes), so that the operator can still stop it; a downgrade said as one.
void describe(const Session &session, ConsoleScreen &screen, const PayloadCheck &plan, const std::string &age)
{
    const DeviceRecord &r = session.record;
    const std::string port = session.portPath.empty() ? "the docking station" : session.portPath;
    screen.event(JsonLine::event("plan")
                     .text("port", port)
                     .text("serial", screen.serial)
                     .text("serial_hex", hexBytes(screen.serialBytes))
                     .number("hardware_version", r.hardwareVersion)
                     .text("firmware_now", screen.deviceLine)
                     .number("firmware_version", r.firmwareVersion)
                     .text("battery", screen.battery)
                     .text("firmware", plan.firmwareName)
                     .text("table", plan.tableName)
                     .number("firmware_blocks", plan.firmwareBlocks)
                     .number("table_blocks", plan.tableBlocks)
                     .text("firmware_is", age)
                     .flag("downgrade", age == "older"),
                 "device            " + shownText(port) + "\nserial number     " + screen.serial +
                     "\nhardware version  " + std::to_string(r.hardwareVersion) + "\nfirmware now      " +
                     screen.deviceLine + "\nbattery           " + screen.battery + "\nfirmware to go on " +
                     plan.firmwareName + (age == "older" ? ", " + downgradeText(r) : "") +
                     "\ntable to go on    " + plan.tableName);
}

// A batch's worker has said who its device is; before it writes a byte it waits for the
// batch's word on standard input: "go", "refuse" (another device present has the same
// serial) or "skip" (the device just updated, back after its restart). Signals are heard
// meanwhile; a batch that went away (end of input) or says nothing in time means skip.
std::string awaitBatchWord()
{
    constexpr int WaitMs = 120'000;
    std::string line;
    for (const int64_t until = realClock().nowMs() + WaitMs; realClock().nowMs() < until;) {
        pollfd in {STDIN_FILENO, POLLIN, 0};
        if (::poll(&in, 1, 100) > 0) {
            char c = 0;
            const ssize_t n = ::read(STDIN_FILENO, &c, 1);
            if (n <= 0 && !(n < 0 && errno == EINTR))
                return {};
            if (c == '\n')
                return line;
            if (n == 1 && line.size() < 64)
                line += c;
        }
        QCoreApplication::processEvents();
    }
    return {};
}

// After a batch's update (or one with a report) the device is read again, as the window does
// once a run is over, so that the report says which firmware it runs now.
void readFirmwareAfter(Session &session, ConsoleScreen &screen, RunRecord &record, SingleReport *report)
{
    if (!session.portPath.empty())
        session.portPathOverride = session.portPath; // where the table found it
    pollDevice(session, screen, realClock());
    if (!session.link->isOpen())
        return;
    record.noteFirmwareAfter(session.record.firmwareVersion);
    if (report)
        report->row.firmwareAfter = session.record.firmwareVersion;
    screen.event(JsonLine::event("after")
                     .number("firmware_version", session.record.firmwareVersion)
                     .text("line", screen.deviceLine),
                 {});
    sayGoodbye(*session.link);
    session.link->close();
}

int update(Session &session, ConsoleScreen &screen, const CliArguments &a, RunStore &store, Recording &recording,
           SingleReport *report)
{
    const int hardware = session.expectedHardwareVersion != 0 ? session.expectedHardwareVersion : 24;
    RunRecord &record = recording.emplace(screen, realClock(), session, Payloads {a.firmware, a.table}, store);
    record.begin();
    auto finish = [&](Outcome outcome, const std::string &text, const RunResult &run = {}) {
        if (report)
            report->end(outcome, text);
        return ::finish(screen, outcome, text, false, run, &recording);
    };
    PayloadCheck plan = checkPayloads(a, hardware);
    if (!plan.error.empty()) {
        screen.failure(MessageId::PayloadInvalid, messageText(MessageId::PayloadInvalid, plan.error),
                       {plan.firmwareName, plan.errorLine});
        return finish(Outcome::PayloadInvalid, plan.error);
    }
    if (std::string hint; !connect(session, screen, &hint)) {
        record.noteHint(hint);
        return finish(Outcome::NotConnected, screen.deviceLine);
    }
    record.noteDevice(screen.deviceLine, screen.battery);
    // The window's button stays disabled for such a device; nothing may be sent to it here
    // either, or a build for another hardware would overwrite its firmware.
    if (const UpdateRefusal refusal = updateRefusal(session.expectedHardwareVersion, session.record);
        refusal.id != MessageId::None) {
        screen.failure(refusal.id, messageText(refusal.id, refusal.reason + "."));
        return finish(Outcome::NotAllowed, refusal.reason);
    }
    plan.sizeFor(session.record.hardwareVersion);
    const std::string age = firmwareAge(session, carried(a.firmware));
    describe(session, screen, plan, age);
    if (report) { // the device as the plan says it
        ReportRow &row = report->row;
        row.port = row.port.empty() ? session.portPath : row.port;
        row.serial = screen.serial, row.serialHex = hexBytes(screen.serialBytes), row.battery = screen.battery;
        row.hardwareVersion = session.record.hardwareVersion, row.firmwareBefore = session.record.firmwareVersion;
    }
    if (!a.worker.empty()) {
        record.noteBatch(a.worker);
        const std::string word = awaitBatchWord();
        if (word == "refuse") {
            const std::string text = "device " + screen.serial +
                                     " has the same serial number as another device present, so it is not updated";
            screen.failure(MessageId::SameSerial, messageText(MessageId::SameSerial, text + "."));
            return finish(Outcome::SameSerial, text);
        }
        if (word == "skip") {
            recording.reset(); // not a run: the device was updated already
            sayGoodbye(*session.link);
            return finish(Outcome::Skipped, "device " + screen.serial + " was updated just before");
        }
        if (word != "go") { // the batch went away or said nothing: nobody decided this device
            sayGoodbye(*session.link);
            const std::string text = "no word from the batch to go on, so device " + screen.serial + " is not updated";
            screen.failure(MessageId::BatchGone, messageText(MessageId::BatchGone, text + "."));
            return finish(Outcome::Skipped, text);
        }
    }
    screen.setPlan(plan.firmwareBlocks, plan.tableBlocks);
    // Heartbeat: the run's waits let the event loop turn, so a log hears from a waiting stage.
    QTimer heartbeat;
    QObject::connect(&heartbeat, &QTimer::timeout, [&screen] { screen.tick(); });
    heartbeat.start(ConsoleProgress::TickMs);
    screen.questionSubject = "device " + screen.serial;
    screen.allowLowBattery = a.allowLowBattery;
    if (age == "older") {
        screen.questionNote = "the firmware to go on is " + downgradeText(session.record);
        // Without the question, that is said all the same before a byte is written.
        if (a.yes || session.record.deviceStatus != 0)
            screen.event(JsonLine::event("warning").text("text", screen.questionNote),
                         "mova-update: warning: " + screen.questionNote, true);
    }
    realClock().pump(); // a stop asked for while the device was read is heard before it is written
    const RunResult result = UpdateButtonClick(session, record, realClock(), {a.firmware, a.table});
    record.noteResult(result);
    if (result.firmwareConfirmed)
        screen.event(JsonLine::event("table").flag("sent", result.tableSent), {});
    if ((!a.worker.empty() || report) && result.firmwareConfirmed)
        readFirmwareAfter(session, screen, record, report);
    std::string text = record.endText(result);
    if (text.empty() && !screen.messages.empty()) // a refusal the screen said itself (the battery guard)
        text = screen.messages.back();
    if (result.failure == RunFailure::Declined && screen.asked) {
        text = "the operator declined"; // said once, by the result's line
    } else if (result.failure == RunFailure::Declined) { // exit 7 all the same: the words say why
        text = "not updated: the update would delete a recording that may still be on " + screen.questionSubject +
               ", and the question whether to go on was not asked: " + screen.whyNotAsked();
        screen.event(JsonLine::event("note").text("text", text), {});
    }
    return finish(outcomeOf(result), text, result);
}

int imageInfo(const CliArguments &a, ConsoleScreen &screen)
{
    const std::string path = a.file.empty() ? a.firmware : a.file;
    const ImageLoad load = loadFirmwareImage(a.hardware, path);
    const FirmwareImage &image = load.image;
    if (!load.ok || !image.endOfFile) {
        // A file that cannot be read is said as update says it, with the same reason.
        const MessageId id = !load.reason.empty() ? MessageId::PayloadInvalid : load.messageId;
        const std::string text = !load.reason.empty() ? messageText(MessageId::PayloadInvalid, load.reason)
                                 : !load.ok           ? load.message
                                                      : "no end-of-file record: the update would stop without a word";
        const QByteArray hex = !load.ok && load.reason.empty() ? readPayloadFile(path, PayloadKind::Firmware).bytes
                                                                : QByteArray();
        const std::string name = carried(path) ? BuildSettings::compiled().firmwareName + " (carried)" : path;
        screen.failure(id, text, {name, brokenLine(load, {hex.constData(), size_t(hex.size())})});
        return finish(screen, Outcome::PayloadInvalid, text);
    }
    const BlockCounts blocks = firmwareBlockCounts(image.length());
    char plain[512];
    std::snprintf(plain, sizeof plain,
                  "hardware version  %d\nrecords           %d\nlinear base       0x%08X\nimage length      %u\n"
                  "imageTop          0x%X\ncapacity          0x%X\nblocks of 1024    %d\nblocks of 512     %d",
                  a.hardware, image.records + 1, image.linearBase, image.length(), image.imageTop, image.capacity(),
                  blocks.of1K, blocks.of512);
    screen.event(JsonLine::event("image")
                     .number("hardware_version", a.hardware)
                     .number("records", image.records + 1)
                     .number("linear_base", image.linearBase)
                     .number("length", image.length())
                     .number("image_top", image.imageTop)
                     .number("capacity", image.capacity())
                     .number("blocks_1024", blocks.of1K)
                     .number("blocks_512", blocks.of512),
                 plain);
    return finish(screen, Outcome::Updated, {}, true);
}

// Ends the program at once, politely: the goodbye the window's close sends when the link is
// open, the line let go, and the result said.
[[noreturn]] void leaveNow(Session &session, ConsoleScreen &screen, Recording &recording, SingleReport *report,
                           int signalNumber)
{
    sayGoodbye(*session.link);
    session.link->close();
    const std::string text = std::string("stopped by signal ") + ::strsignal(signalNumber);
    if (report)
        report->end(Outcome::Interrupted, text);
    finish(screen, Outcome::Interrupted, text, false, {}, &recording);
    OutputWriter::drain(); // the device is let go: now the reader may take its time
    std::_Exit(int(Outcome::Interrupted));
}

} // namespace

int main(int argc, char **argv)
{
    keepStandardDescriptorsOpen();
    // Nothing printed may hold the device's clock: a terminal stopped with Ctrl-S or a pipe
    // nobody reads loses progress lines, never the device.
    OutputWriter::install();
    const BuildSettings build = BuildSettings::compiled();
    CliArguments a;
    std::string error;
    if (!parseArguments(argc, argv, build.expectedHardwareVersion(), a, error)) {
        std::cerr << "mova-update: " << error << "\n" << usageLine() << std::endl;
        return int(Outcome::Usage);
    }
    if (a.command == "help") {
        std::cout << UsageText;
        return 0;
    }
    if (a.command == "version") {
        std::cout << versionText(build) << std::flush;
        return 0;
    }
    if (a.command == "log" && !a.exportTo.empty())
        return exportLog(RunStore::standard("mova-update"), a.count, a.exportTo,
                         usbListText(build.expectedHardwareVersion()), a.json, std::cout, std::cerr);
    if (a.command == "log")
        return printLog(RunStore::standard("mova-update"), a.json, a.count, std::cout, std::cerr);
    if (a.json) // a reader that fell behind is told what it missed in its own form
        OutputWriter::setNote(STDOUT_FILENO, [](const OutputWriter::Dropped &d) {
            return JsonLine::event("not_shown")
                       .number("progress_lines", d.progress)
                       .number("lines", d.events)
                       .str() +
                   "\n";
        });
    if (a.trace)
        Trace::setEnabled(true);
    const bool liveLines = isatty(STDOUT_FILENO) == 1 && !a.json && terminalMovesCursor();
    ConsoleScreen screen({a.json, a.yes, isatty(0) == 1, liveLines,
                          a.worker.empty() ? FrontEnd::CommandLine : FrontEnd::Batch});
    if (a.command == "image-info")
        return imageInfo(a, screen);
    if (a.command == "list")
        return finish(screen, Outcome::Updated, listUsbDevices(screen, build.expectedHardwareVersion()), true);
    QCoreApplication application(argc, argv); // the device's waits let an event loop run
    if (a.batch())
        return runBatch(a, a.json, liveLines);
    // Each worker of a batch keeps the trace of its own device.
    RunStore store = RunStore::standard("mova-update", RunStore::traceFileName(a.worker.empty() ? 0 : a.workerSlot));
    Recording recording;
    // One device gets its row as each device of a batch does; the file is checked first.
    std::optional<SingleReport> reporting;
    if (!a.report.empty() && !reporting.emplace().open(a.report, error)) {
        std::cerr << "mova-update: cannot write the report: " << error << std::endl;
        return int(Outcome::Usage);
    }
    SingleReport *const report = reporting ? &*reporting : nullptr;
    if (report && !a.ports.empty())
        report->row.port = a.ports.front();
    // Output to a reader that went away fails quietly instead of killing a running update.
    std::signal(SIGPIPE, SIG_IGN);
    UsbConnection link(realClock());
    Session session;
    session.link = &link;
    screen.progressThroughWriter([&session] {
        return session.portPath.empty() || ::access(session.portPath.c_str(), F_OK) == 0;
    });
    CliSignalPolicy policy(
        session, [&](int number) { leaveNow(session, screen, recording, report, number); }, a.worker.empty());
    StopSignals stopSignals({SIGINT, SIGTERM, SIGHUP}, [&policy](int number) { policy(number); });
    screen.whileAsking = [] { QCoreApplication::processEvents(); };
    session.expectedHardwareVersion = build.expectedHardwareVersion();
    session.portPathOverride = a.ports.empty() ? std::string() : a.ports.front();
    if (!a.worker.empty()) {
        // Should the device come back elsewhere for its table, every matching device is
        // looked at in turn, not only the first: the reconnect keeps the one with this
        // device's serial, so a neighbour of the batch is never taken for it.
        session.findPort = [next = size_t(0)]() mutable {
            const std::vector<std::string> paths = findInterfacePaths(deviceUsbId());
            return paths.empty() ? std::string() : paths[next++ % paths.size()];
        };
    }
    if (a.command == "info")
        return info(session, screen, a);
    return update(session, screen, a, store, recording, report);
}
