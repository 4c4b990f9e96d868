// One run's events, as the run tells them, through every listener that renders them: the
// command line's screen (its JSON lines and its plain text), the run record's line, the
// report's row and the journal's fields, checked together row by row with the exit status.
#include "batch_report.h"
#include "clock.h"
#include "console_screen.h"
#include "run_record.h"
#include "file_writer.h"
#include "session.h"

#include <QTemporaryDir>
#include <QtTest>
#include <functional>
#include <sstream>

namespace {

using Script = std::function<void(RunListener &)>;

DeviceFacts device(const std::string &serial = "0042", std::optional<int> battery = 76)
{
    DeviceFacts d;
    d.port = "/dev/ttyMOVA-1";
    d.socket = "Bay 3";
    std::copy_n(serial.data(), 4, d.record.serialNumber);
    std::copy_n("211019", 6, d.record.firmwareDate);
    d.record.hardwareVersion = 24, d.record.firmwareVersion = 68;
    d.batteryPercent = battery;
    return d;
}

RunMessage said(MessageId id, MessageId explainedBy = MessageId::None)
{
    RunMessage m = RunMessage::of(id);
    if (explainedBy != MessageId::None)
        m.explainedBy = explainedBy;
    return m;
}

RunResult reached(RunStage stage, RunFailure failure, bool confirmed = false, bool tableSent = false)
{
    RunResult r;
    r.stage = stage, r.failure = failure, r.firmwareConfirmed = confirmed, r.tableSent = tableSent;
    r.eraseBegun = stage >= RunStage::Send || confirmed;
    return r;
}

// Ended in the erase the device began.
RunResult erasing(RunFailure failure)
{
    RunResult r = reached(RunStage::Erase, failure);
    r.eraseBegun = true;
    return r;
}

// A run that wrote the device up to `stage` and ended there with this message.
Script failedIn(ProgressStage stage, const char *caption, RunMessage failure, RunEnd end)
{
    return [=](RunListener &l) {
        l.device(device());
        l.writing(true);
        l.stage(stage, caption);
        l.progress(40);
        l.writing(false);
        l.message(failure);
        l.result(end);
    };
}

struct Row {
    const char *name;
    Script events;
    int exit;
    QStringList json, plain; // in the JSON lines; in the plain text (both streams)
    QStringList record, csv, journal; // in the record's line, the report's row, the journal's fields
    QStringList nowhere = {};         // in neither of the screen's forms
};

// What each listener made of the events.
struct Rendered {
    QString json, plain, record, csv, journal;
    QString run; // the run's id, which the record, the report and the journal name
    int exit = -1;
};

QString captured(bool json, const Script &events, int &exit)
{
    std::ostringstream out;
    std::streambuf *const cout = std::cout.rdbuf(out.rdbuf()), *const cerr = std::cerr.rdbuf(out.rdbuf());
    ConsoleScreen screen({json, true, false, false, FrontEnd::CommandLine});
    struct Exit : RunListener {
        int &code;
        explicit Exit(int &c) : code(c) {}
        void result(const RunEnd &end) override { code = exitStatus(end.outcome); }
    } status {exit};
    RunEvents tell {&screen, &status};
    events(tell);
    std::cout.rdbuf(cout), std::cerr.rdbuf(cerr);
    return QString::fromStdString(out.str());
}

Rendered render(const Script &events)
{
    Rendered r;
    QTemporaryDir dir;
    RunStore store;
    store.folder = dir.filePath("state").toStdString();
    std::vector<JournalEntry> journaled;
    store.journal = [&](const JournalEntry &e) { journaled.push_back(e); };
    VirtualClock clock;
    Session session;
    session.portPathOverride = "/dev/ttyMOVA-1"; // where a device never reached was looked for
    session.socket = "Bay 3";
    RunRecord record(clock, session, {}, store);
    SingleReport report;
    report.row.port = "/dev/ttyMOVA-1"; // as the command line names it before the device is found
    report.row.run = record.runId(), r.run = QString::fromStdString(record.runId());
    std::string error;
    const QString csv = dir.filePath("report.csv");
    report.open(csv.toStdString(), error);
    RunEvents tell {&report, &record};
    events(tell);
    FileWriter::drain();
    QFile records(QString::fromStdString(store.runsPath())), rows(csv);
    records.open(QIODevice::ReadOnly), rows.open(QIODevice::ReadOnly);
    r.record = QString::fromUtf8(records.readAll()), r.csv = QString::fromUtf8(rows.readAll()).section('\n', 1);
    for (const JournalEntry &e : journaled)
        for (const std::string &field : e.fields())
            r.journal += QString::fromStdString(field) + "\n";
    r.json = captured(true, events, r.exit);
    r.plain = captured(false, events, r.exit);
    return r;
}

void expect(const QString &where, const QString &text, const QStringList &parts, bool present = true)
{
    for (const QString &part : parts)
        QVERIFY2(text.contains(part) == present, qPrintable(where + (present ? " lacks: " : " has: ") + part +
                                                             "\nin:\n" + text));
}

} // namespace

Q_DECLARE_METATYPE(Row)

class TestRunListeners : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { qputenv("TZ", "UTC"); }
    void eachListenerRendersTheEvents_data();
    void eachListenerRendersTheEvents();
};

// A whole update, told to the end.
static std::vector<Row> runRows()
{
    RunMessage damaged = RunMessage::of(MessageId::ReadBackChecksum, messageText(MessageId::ReadBackChecksum, 0x200));
    RunResult updated = reached(RunStage::Done, RunFailure::None, true, true);
    updated.readBackWarnings = 1;
    updated.firmwareAfter = FirmwareAfter {69, true}; // read again, as with a report
    return {
        {"updated, a damaged block read back and survived",
         [=](RunListener &l) {
             l.device(device());
             l.plan({"/dev/ttyMOVA-1", "firmware.hex", "table.tra", 3, 1, FirmwareAge::Newer, "", "0123456789abcdef"});
             l.writing(true);
             l.stage(ProgressStage::Erase, "Memory prepare - clear");
             l.progress(50);
             l.stage(ProgressStage::Verify, "Verify update");
             l.message(damaged);
             l.writing(false);
             l.stage(ProgressStage::TableSend, "Send languages");
             l.message(said(MessageId::FirmwareAndTableSent));
             DeviceFacts after = device();
             after.record.firmwareVersion = 69;
             l.after(after);
             l.result({Outcome::Updated, messageText(MessageId::FirmwareAndTableSent), updated});
         },
         0,
         {R"("event":"plan","port":"/dev/ttyMOVA-1","run":"0123456789abcdef","socket":"Bay 3")", R"("battery":"Accu: 76 %","battery_percent":76)", R"("firmware_version":68,"firmware_date":"2021-10-19","firmware_now")",
          R"("event":"stage","id":"erase","name":"Memory prepare - clear")", R"("event":"writing")",
          R"("event":"diagnostic","line":"Daten lesen: XOR Summe ist fehlerhaft. Offset: 200")",
          R"("event":"after","firmware_version":69)", R"("event":"table","sent":true)",
          R"("event":"result","ok":true,"exit":0,"outcome":"updated","text":"Update and Language sended success!")",
          R"("readback_warnings":1)"},
         {"mova-update: warning: Daten lesen: XOR Summe ist fehlerhaft. Offset: 200\n  A block read back",
          "Update and Language sended success!\n"},
         {R"("port":"/dev/ttyMOVA-1","socket":"Bay 3","device":{"serial":"0042","serial_hex":"30303432")", R"("firmware_date":"2021-10-19")",
          R"("battery":"Accu: 76 %","battery_percent":76)", R"({"id":"erase","name":"Memory prepare - clear")",
          R"("stage_reached":"done","firmware_confirmed":true,"table_sent":true)",
          R"("readback_warnings":1,"readback_lines":[{"line":"Daten lesen)", R"("writing":true,"firmware_after":69,"firmware_after_known":"read back")",
          R"("outcome":"updated","exit":0,"text":"Update and Language sended success!")"},
         {",/dev/ttyMOVA-1,0042,24,68,69,Accu: 76 %,updated,0,Update and Language sended success!,", ",30303432,76,Bay 3,no,"},
         {"MESSAGE_ID=" + QString(JournalEntry::MessageId), "MOVA_OUTCOME=updated", "MOVA_EXIT_STATUS=0",
          "MOVA_PORT=/dev/ttyMOVA-1", "MOVA_SOCKET=Bay 3", "MOVA_SERIAL=0042", "MOVA_SERIAL_HEX=30303432", "MOVA_FIRMWARE_BEFORE=68",
          "MOVA_FIRMWARE_AFTER=69\nMOVA_FIRMWARE_AFTER_KNOWN=read back", "MOVA_BATTERY_PERCENT=76", "MOVA_STAGE=done", "PRIORITY=6",
          "MOVA_TEXT=Update and Language sended success!", "MOVA_MAY_BE_WITHOUT_FIRMWARE=0"}},
        // Nothing written, a success of its own.
        {"already current",
         [=](RunListener &l) {
             l.device(device());
             l.message(RunMessage::of(MessageId::AlreadyCurrent, messageText(MessageId::AlreadyCurrent, "as it was.")));
             l.result({Outcome::AlreadyCurrent, "as it was"});
         },
         0, {R"("event":"result","ok":true,"exit":0,"outcome":"already current","text":"as it was")"},
         {"Already current: as it was.\n"}, {R"("may_be_without_firmware":false,"outcome":"already current","exit":0)"},
         {",already current,0,as it was,", ",Bay 3,no,"},
         {"MOVA_OUTCOME=already current", "MOVA_EXIT_STATUS=0", "PRIORITY=6", "MOVA_MAY_BE_WITHOUT_FIRMWARE=0"},
         {"mova-update: already current"}},
    };
}

// A failure in each part of a run, a device's own bytes, and no device at all.
static std::vector<Row> failureRows()
{
    const RunMessage montage = said(MessageId::FirmwareSentStandardMontage);
    RunResult tableRefused = reached(RunStage::Table, RunFailure::None, true);
    tableRefused.tableFailure = RunFailure::TransferFailed;
    tableRefused.firmwareAfter = FirmwareAfter {69, false}; // not read again: the device confirmed it
    RunResult notAsked = reached(RunStage::Prepare, RunFailure::Declined);
    notAsked.notAskedBecause = "standard input is no terminal (--yes answers it)";
    return {
        {"verify failed",
         failedIn(ProgressStage::Verify, "Verify update", said(MessageId::VerifyFailed),
                  {Outcome::VerifyFailed, "Error by verify Update", reached(RunStage::Verify, RunFailure::VerifyFailed)}),
         5,
         {R"("event":"message","text":"Error by verify Update","failure":true,"explanation":")",
          R"("event":"result","ok":false,"exit":5,"outcome":"verify failed")"},
         {"Error by verify Update\n  ", "mova-update: verify failed\n"},
         {R"({"id":"verify","name":"Verify update")", R"({"kind":"failure","text":"Error by verify Update")",
          R"("stage_reached":"verify","firmware_confirmed":false)", R"("outcome":"verify failed","exit":5)"},
         {",verify failed,5,Error by verify Update,", ",Bay 3,yes,"},
         {"MOVA_OUTCOME=verify failed", "MOVA_STAGE=verify", "PRIORITY=3", "MOVA_MAY_BE_WITHOUT_FIRMWARE=1"}},
        // The erase's own message stays; what it means is that the device went away.
        {"pulled out during the erase",
         failedIn(ProgressStage::Erase, "Memory prepare - clear",
                  said(MessageId::EraseUnconfirmed, MessageId::DeviceLost),
                  {Outcome::DeviceLost, "Data cannot clear.2", erasing(RunFailure::DeviceLost)}),
         17,
         {R"("text":"Data cannot clear.2","failure":true,"explanation":"The device went away)",
          R"("exit":17,"outcome":"device lost")"},
         {"Data cannot clear.2\n  The device went away"},
         {R"("stage_reached":"erase")", R"("writing":true)", R"("outcome":"device lost","exit":17)"},
         {",device lost,17,Data cannot clear.2,", ",Bay 3,yes,"},
         {"MOVA_STAGE=erase", "MOVA_EXIT_STATUS=17", "PRIORITY=3", "MOVA_MAY_BE_WITHOUT_FIRMWARE=1"}},
        // The firmware's success is said after the table's failure, as the window says it; the
        // command line keeps the failure as its last word, the record keeps both. Every book
        // says the device runs the firmware it confirmed.
        {"the table refused after the firmware went on",
         [=](RunListener &l) {
             l.device(device());
             l.writing(true);
             l.stage(ProgressStage::TableSend, "Send languages");
             l.writing(false);
             l.message(said(MessageId::TableRefused));
             l.message(montage);
             l.result({Outcome::TableNotSent, "Error by senden Language.5", tableRefused});
         },
         9,
         {R"("event":"table","sent":false)", R"("exit":9,"outcome":"table not sent","text":"Error by senden Language.5")"},
         {"Error by senden Language.5\n", "mova-update: table not sent\n"},
         {R"({"kind":"failure","text":"Error by senden Language.5")", R"({"kind":"message","text":"Update sended)",
          R"("stage_reached":"table","firmware_confirmed":true,"table_sent":false)",
          R"("firmware_after":69,"firmware_after_known":"confirmed")"},
         {",68,69,Accu: 76 %,table not sent,9,Error by senden Language.5,", ",Bay 3,no,"},
         {"MOVA_STAGE=table", "MOVA_EXIT_STATUS=9", "MOVA_MAY_BE_WITHOUT_FIRMWARE=0",
          "MOVA_FIRMWARE_AFTER=69\nMOVA_FIRMWARE_AFTER_KNOWN=confirmed"},
         {"sended success"}},
        // A device chose bytes that would clear a terminal, run a formula and break a JSON line.
        {"a serial that is no text, no battery reading",
         [=](RunListener &l) {
             l.device(device("=\x1b[2", std::nullopt));
             l.result({Outcome::Declined, "not updated", notAsked}); // nobody declined: the words say why
         },
         7, {R"("exit":7,"outcome":"not confirmed")"}, {"mova-update: not updated\n"},
         {R"("serial":"=\\x1b[2","serial_hex":"3D1B5B32")", R"("battery":"","stages")", R"("writing":false)"},
         {R"(,"'=\x1b[2",24,68,,,not confirmed,7,not updated,)", ",3D1B5B32,,Bay 3,no,", ",recording kept\n"},
         {R"(MOVA_SERIAL==\x1b[2)", "MOVA_SERIAL_HEX=3D1B5B32", "PRIORITY=5"},
         {}},
        {"no device found",
         [=](RunListener &l) {
             l.message(said(MessageId::NoDevice));
             l.result({Outcome::NotConnected, messageText(MessageId::NoDevice)});
         },
         2, {R"("text":"No connection - Corvane not connected","failure":true)", R"("exit":2,"outcome":"not connected")"},
         {"No connection - Corvane not connected\n  "},
         {R"("port":"/dev/ttyMOVA-1","socket":"Bay 3","stages")", R"("outcome":"not connected","exit":2)"},
         {",/dev/ttyMOVA-1,,,,,,not connected,2,No connection - Corvane not connected,"},
         {"MOVA_PORT=/dev/ttyMOVA-1", "MOVA_OUTCOME=not connected"},
         {"battery_percent", "MOVA_SERIAL"}},
    };
}

void TestRunListeners::eachListenerRendersTheEvents_data()
{
    QTest::addColumn<Row>("row");
    for (const auto &rows : {runRows(), failureRows()})
        for (const Row &row : rows)
            QTest::newRow(row.name) << row;
}

void TestRunListeners::eachListenerRendersTheEvents()
{
    QFETCH(Row, row);
    const Rendered r = render(row.events);
    QCOMPARE(r.exit, row.exit);
    expect("JSON lines", r.json, row.json);
    expect("plain text", r.plain, row.plain);
    expect("record", r.record, row.record);
    expect("report", r.csv, row.csv);
    expect("journal", r.journal, row.journal);
    expect("screen", r.json + r.plain, row.nowhere, false);
    expect("every rendering", r.json + r.plain + r.record + r.csv + r.journal, {"\x1b"}, false); // no terminal control
    for (const QString &line : r.json.split('\n', Qt::SkipEmptyParts)) // one object a line, strict UTF-8
        QVERIFY2(QJsonDocument::fromJson(line.toUtf8()).isObject(), qPrintable(line));
    QCOMPARE(r.record.count('\n'), 1);
    // One run, by one id: its record, its report row and its journal entry name it.
    QVERIFY2(r.record.startsWith("{\"run\":\"" + r.run + "\",") && r.csv.contains("," + r.run + ",") &&
                 r.journal.contains("\nMOVA_RUN=" + r.run + "\n"),
             qPrintable(r.record + r.csv + r.journal));
}

QTEST_GUILESS_MAIN(TestRunListeners)
#include "test_run_listeners.moc"
