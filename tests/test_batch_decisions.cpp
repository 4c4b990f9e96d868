// The batch's core, given as facts: which word each waiting worker gets, what a worker's line
// says, and its live lines fitted to the terminal with the part of a port's name that tells it
// from its neighbours.
#include "batch_decisions.h"
#include "batch_report.h"
#include "batch_words.h"
#include "batch_view.h"
#include "readout.h"
#include "safe_text.h"
#include "live_columns.h"
#include "table_rows.h"

#include <QtTest>

namespace {

using Word = std::optional<BatchWord>;
constexpr int64_t Now = 100'000;

WorkerFacts waiting(const std::string &port, const std::string &serialHex)
{
    return {port, serialHex, WorkerState::Waiting, std::nullopt};
}

// A text fitted to a width of columns, padded out or not.
struct FitRow { const char *name; QString text; int columns; bool pad; QString fitted; };
// Where the summary goes, NO_COLOR's value (null: not set), and whether it comes in colour.
struct ColourRow { const char *name; bool terminal; const char *noColor; bool colour; };

// The lines a worker says of these events, through its encoder.
QByteArray told(const std::function<void(WorkerWords &)> &events)
{
    QByteArray lines;
    WorkerWords words(FrontEnd::Batch, [&](const std::string &line) { lines += line + '\n'; });
    events(words);
    return lines;
}

} // namespace

Q_DECLARE_METATYPE(BatchFacts)
Q_DECLARE_METATYPE(std::vector<Word>)

class TestBatchDecisions : public QObject {
    Q_OBJECT

private slots:
    void words_data();
    void words()
    {
        QFETCH(BatchFacts, facts);
        QFETCH(std::vector<Word>, words);
        QVERIFY(batchWords(facts) == words);
    }

    void readsTheWorkersEvents_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QString>("heard");
        // The serial's exact bytes go as hex and come back: one a terminal cannot show stays escaped once.
        DeviceFacts d;
        std::copy_n("\xff\x0a" "01", 4, d.record.serialNumber), std::copy_n("211019", 6, d.record.firmwareDate);
        d.record.hardwareVersion = 24, d.record.firmwareVersion = 67, d.batteryUnreadable = true;
        QTest::newRow("plan") << told([&](WorkerWords &w) { w.device(d), w.plan({"/dev/x", "f.hex", "", 3, 0, FirmwareAge::Newer, "", "r1"}); })
                              << R"(device FW 67 from 19.10.21, SerialNr: \xff\x0a01 FF0A3031 24 N/A|plan /dev/x r1|{"event":"plan","port":"/dev/x",)"
                                 R"("battery":"N/A","downgrade":false,"firmware":"f.hex","firmware_blocks":3,"firmware_date":"2021-10-19",)"
                                 R"("firmware_is":"newer","firmware_now":"FW 67 from 19.10.21, SerialNr: \\xff\\x0a01","firmware_version":67,)"
                                 R"("hardware_version":24,"run":"r1","serial":"\\xff\\x0a01","serial_hex":"FF0A3031","table":"","table_blocks":0})";
        QTest::newRow("a progress, then one without the device")
            << QByteArray::fromStdString(progressWords({"Send", 42, 1, 2.5, 12.5, true}).str() + "\n" +
                                          progressWords({"Send", 43, 2, {}, {}, false}).str())
            << R"(progress 42|estimate 1 12.5|~{"event":"progress","port":"p","elapsed_s":1,"eta_s":2.5,"percent":42,"run_left_s":12.5,"stage":"Send"}|)"
               R"(progress 43|estimate 0 none|~{"event":"progress","port":"p","device_present":false,"elapsed_s":2,"percent":43,"stage":"Send"})";
        const QString why = QString::fromStdString(explanationText(MessageId::HexChecksum, FrontEnd::Batch));
        QTest::newRow("a failure with its explanation")
            << told([](WorkerWords &w) { w.message({MessageId::None, MessageKind::Failure, "a\nb", MessageId::HexChecksum, "f.hex", 3}); })
            << QString(R"(failure a b f.hex:3 / %1|{"event":"message","port":"p","explanation":"%1","failure":true,)"
                       R"("file":"f.hex","line":3,"text":"a\nb"})").arg(why);
        QTest::newRow("a result said by its name")
            << told([run = RunResult {}](WorkerWords &w) mutable { run.eraseBegun = true, w.result({Outcome::AlreadyCurrent, "t", run}); })
            << R"(result already current 1|{"event":"result","port":"p","exit":0,"firmware_confirmed":false,)"
               R"("may_be_without_firmware":true,"ok":true,"outcome":"already current","readback_warnings":0,"table_sent":false,"text":"t"})";
        QTest::newRow("its row is not passed on") << QByteArray(R"({"event":"row","row":{"outcome":"updated"}})") << "row updated";
        QTest::newRow("a row put aside, and why")
            << [] {
                   ReportRow r;
                   r.outcome = Outcome::NotAllowed, r.firmwareNewer = true;
                   return QByteArray::fromStdString(R"({"event":"row","row":)" + r.json() + "}");
               }()
            << "row not allowed, put aside: newer firmware";
        QTest::newRow("an event only passed on") << QByteArray(R"({"event":"table","sent":true})")
                                                 << R"({"event":"table","port":"p","sent":true})";
        QTest::newRow("not JSON") << QByteArray("Segmentation\x1b fault")
                                  << R"({"event":"output","port":"p","text":"Segmentation\\x1b fault"})";
    }
    void readsTheWorkersEvents()
    {
        QFETCH(QByteArray, line);
        QFETCH(QString, heard);
        // Each event the decoder tells, one after another.
        struct Heard final : WorkerListener {
            std::vector<std::string> said;
            void device(const DeviceFacts &d) override
            {
                said.push_back("device " + shownText(d.line()) + " " + hexBytes(serialBytes(d.record)) + " " +
                               std::to_string(d.record.hardwareVersion) + " " + d.batteryText());
            }
            void plan(const RunPlan &p) override { said.push_back("plan " + p.port + " " + p.run); }
            void progress(int percent) override { said.push_back("progress " + std::to_string(percent)); }
            void estimate(bool present, std::optional<double> left) override
            {
                said.push_back("estimate " + std::to_string(present) + " " + (left ? QByteArray::number(*left) : "none").toStdString());
            }
            void explained(const RunMessage &m, const std::string &why) override
            {
                said.push_back((m.failure() ? "failure " : "message ") + m.text + " " + m.file + ":" +
                               std::to_string(m.line) + " / " + why);
            }
            void result(const RunEnd &end) override
            {
                said.push_back("result " + std::string(outcomeName(end.outcome)) + " " +
                               std::to_string(end.mayBeWithoutFirmware()));
            }
            void reported(const ReportRow &row) override
            {
                const std::string aside = asideName(row.aside());
                said.push_back("row " + std::string(outcomeName(row.outcome)) + (aside.empty() ? "" : ", put aside: " + aside));
            }
            void relay(const std::string &json, bool progress) override { said.push_back((progress ? "~" : "") + json); }
        } listener;
        for (const QByteArray &each : line.split('\n'))
            if (!each.isEmpty())
                hearWorker(each, "p", listener);
        QStringList said;
        for (const std::string &event : listener.said)
            said << QString::fromStdString(event);
        QCOMPARE(said.join('|'), heard);
    }

    void fitsALiveColumn_data()
    {
        addRows<FitRow>({
            {"cut at the width", "ttyUSB0 0301   Erasing  42 %", 13, false, "ttyUSB0 0301 "},
            {"a character is never halved", "Größe über", 7, false, "Größe ü"},
            {"a short column is padded", "0301", 6, true, "0301  "},
            {"a short line is left as it is", "ttyUSB0", 59, false, "ttyUSB0"},
        });
    }
    void fitsALiveColumn()
    {
        QFETCH(FitRow, row);
        QCOMPARE(QString::fromStdString(fitColumns(row.text.toStdString(), size_t(row.columns), row.pad)), row.fitted);
    }

    void summaryInColour_data()
    {
        addRows<ColourRow>({
            {"a terminal", true, nullptr, true},
            {"a pipe or a file", false, nullptr, false},
            {"a terminal, NO_COLOR set to nothing", true, "", false},
        });
    }
    void summaryInColour()
    {
        QFETCH(ColourRow, row);
        QCOMPARE(::summaryInColour(row.terminal, row.noColor), row.colour);
    }

    void shortPort_data()
    {
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("shown");
        QTest::newRow("a node") << "/dev/ttyUSB12" << "ttyUSB12";
        QTest::newRow("a link by the adapter's serial")
            << "/dev/serial/by-id/usb-Maker_Serial_Cable_Plus_A50285BI-if00-port0" << "A50285BI-if00-port0";
        QTest::newRow("a long name by its end")
            << "/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.2.4:1.0-port0" << "…:14.0-usb-0:1.2.4:1.0-port0";
        QTest::newRow("a name of 28 as it is") << "/dev/abcdefghijklmnopqrstuvwxyz01" << "abcdefghijklmnopqrstuvwxyz01";
    }
    void shortPort()
    {
        QFETCH(QString, port);
        QFETCH(QString, shown);
        QCOMPARE(QString::fromStdString(shortPortName(port.toStdString())), shown);
    }
};

void TestBatchDecisions::words_data()
{
    QTest::addColumn<BatchFacts>("facts");
    QTest::addColumn<std::vector<Word>>("words");
    const WorkerFacts a = waiting("a", "30333031"), b = waiting("b", "30333032"), twinOfA = waiting("b", "30333031");
    const auto go = BatchWord::Go, skip = BatchWord::Skip, refuse = BatchWord::Refuse;
    // The device just updated on port a (or whose update just failed), away since `awayAt`.
    auto updatedOnA = [](int64_t awayAt, bool updated = true) {
        return std::map<std::string, HeldPort> {{"a", {"30333031", awayAt, updated}}};
    };

    QTest::newRow("new devices go") << BatchFacts {{a, b}, {}, Now, false} << std::vector<Word> {go, go};
    QTest::newRow("none while one still identifies")
        << BatchFacts {{a, {"b", "", WorkerState::Identifying, {}}}, {}, Now, false} << std::vector<Word> {{}, {}};
    QTest::newRow("two with one serial are both refused")
        << BatchFacts {{a, twinOfA}, {}, Now, false} << std::vector<Word> {refuse, refuse};
    QTest::newRow("the serial of one going on is refused")
        << BatchFacts {{{"a", "30333031", WorkerState::Running, go}, twinOfA}, {}, Now, false}
        << std::vector<Word> {{}, refuse};
    QTest::newRow("the serial of one skipped is no twin")
        << BatchFacts {{{"a", "30333031", WorkerState::Running, skip}, twinOfA}, {}, Now, false}
        << std::vector<Word> {{}, go};
    QTest::newRow("the serial of one updated and still in its socket is refused")
        << BatchFacts {{twinOfA}, updatedOnA(-1), Now, false} << std::vector<Word> {refuse};
    QTest::newRow("back on its port just within the restart is skipped")
        << BatchFacts {{a}, updatedOnA(Now - RestartGraceMs + 1), Now, false} << std::vector<Word> {skip};
    QTest::newRow("back on its port within the restart after a failed update goes")
        << BatchFacts {{a}, updatedOnA(Now - 1, false), Now, false} << std::vector<Word> {go};
    QTest::newRow("back on its port after the restart goes")
        << BatchFacts {{a}, updatedOnA(Now - RestartGraceMs), Now, false} << std::vector<Word> {go};
    QTest::newRow("another device on that port within the restart goes")
        << BatchFacts {{waiting("a", "30333032")}, updatedOnA(Now - 1), Now, false} << std::vector<Word> {go};
    QTest::newRow("the same serial on another port within the restart goes")
        << BatchFacts {{twinOfA}, updatedOnA(Now - 1), Now, false} << std::vector<Word> {go};
    QTest::newRow("a stopping batch skips") << BatchFacts {{a}, {}, Now, true} << std::vector<Word> {skip};
    QTest::newRow("a stopping batch still refuses twins")
        << BatchFacts {{a, twinOfA}, {}, Now, true} << std::vector<Word> {refuse, refuse};
}

QTEST_APPLESS_MAIN(TestBatchDecisions)
#include "test_batch_decisions.moc"
