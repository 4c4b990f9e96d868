#include "batch_decisions.h"

#include <QtTest>

// The batch's decisions, given as facts: which word each waiting worker gets.
class TestBatchDecisions : public QObject {
    Q_OBJECT

private slots:
    void words_data();
    void words();
    void readsTheWorkersEvents_data();
    void readsTheWorkersEvents();
};

namespace {

using Word = std::optional<BatchWord>;
constexpr int64_t Now = 100'000;

WorkerFacts waiting(const std::string &port, const std::string &serialHex)
{
    return {port, serialHex, WorkerState::Waiting, std::nullopt};
}

} // namespace

Q_DECLARE_METATYPE(BatchFacts)
Q_DECLARE_METATYPE(std::vector<Word>)
Q_DECLARE_METATYPE(WorkerSays)

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

void TestBatchDecisions::words()
{
    QFETCH(BatchFacts, facts);
    QFETCH(std::vector<Word>, words);
    QVERIFY(batchWords(facts) == words);
}

void TestBatchDecisions::readsTheWorkersEvents_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<WorkerSays>("kind");
    QTest::newRow("plan") << QByteArray(R"({"event":"plan","serial":"0301"})") << WorkerSays::Plan;
    QTest::newRow("result") << QByteArray(R"({"event":"result","exit":0})") << WorkerSays::Result;
    QTest::newRow("an event only passed on") << QByteArray(R"({"event":"table","sent":true})") << WorkerSays::Other;
    QTest::newRow("not JSON") << QByteArray("Segmentation fault") << WorkerSays::Output;
    QTest::newRow("no event") << QByteArray(R"({"serial":"0301"})") << WorkerSays::Output;
}

void TestBatchDecisions::readsTheWorkersEvents()
{
    QFETCH(QByteArray, line);
    QFETCH(WorkerSays, kind);
    QCOMPARE(readWorkerEvent(line).kind, kind);
}

QTEST_APPLESS_MAIN(TestBatchDecisions)
#include "test_batch_decisions.moc"
