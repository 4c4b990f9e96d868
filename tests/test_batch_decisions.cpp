// The batch's core, given as facts: which word each waiting worker gets, what a worker's line
// says, and its live lines fitted to the terminal with the part of a port's name that tells it
// from its neighbours.
#include "batch_decisions.h"
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

} // namespace

Q_DECLARE_METATYPE(BatchFacts)
Q_DECLARE_METATYPE(std::vector<Word>)
Q_DECLARE_METATYPE(WorkerSays)

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
        QTest::addColumn<WorkerSays>("kind");
        QTest::newRow("plan") << QByteArray(R"({"event":"plan","serial":"0301"})") << WorkerSays::Plan;
        QTest::newRow("result") << QByteArray(R"({"event":"result","exit":0})") << WorkerSays::Result;
        QTest::newRow("an event only passed on") << QByteArray(R"({"event":"table","sent":true})") << WorkerSays::Other;
        QTest::newRow("not JSON") << QByteArray("Segmentation fault") << WorkerSays::Output;
        QTest::newRow("no event") << QByteArray(R"({"serial":"0301"})") << WorkerSays::Output;
    }
    void readsTheWorkersEvents()
    {
        QFETCH(QByteArray, line);
        QFETCH(WorkerSays, kind);
        QCOMPARE(readWorkerEvent(line).kind, kind);
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
