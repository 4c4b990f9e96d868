// The command line's progress with the clock and the output in the test's hands: stages
// shown done only when they ended well, estimates only where they can be made, and a log
// that hears from a waiting stage. And the programs' output writer with a reader that does
// not read (a pipe of one page): the caller never waits, the lines that matter all arrive in
// order, and what was left out is either said or (a live line redrawn) not missed.
#include "console_progress.h"
#include "json_line.h"
#include "output_writer.h"
#include "table_rows.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QtTest>
#include <map>
#include <optional>
#include <sstream>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

using Mode = ConsoleProgress::Mode;
Q_DECLARE_METATYPE(ConsoleProgress::Mode)

// One run's progress, its output and its clock (named outside the anonymous namespace, as the
// slots defined in their class capture it).
struct Rig {
    explicit Rig(Mode mode) : progress(mode, out, [this] { return now; }) {}
    QString text() const { return QString::fromStdString(out.str()); }
    // The last "progress" event printed.
    QJsonObject lastProgress() const
    {
        QJsonObject last;
        for (const QString &line : text().split('\n', Qt::SkipEmptyParts)) {
            const QJsonObject o = QJsonDocument::fromJson(line.toUtf8()).object();
            if (o["event"] == "progress")
                last = o;
        }
        return last;
    }

    // A step begins with the caption the run gives it.
    void caption(const std::string &text)
    {
        static const std::map<std::string, ProgressStage> steps {
            {"Reset...", ProgressStage::Reset},        {"Memory prepare - clear", ProgressStage::Erase},
            {"Send update", ProgressStage::Send},      {"Verify update", ProgressStage::Verify},
            {"Connect...", ProgressStage::TableConnect}, {"Send languages", ProgressStage::TableSend}};
        progress.caption(steps.at(text), text);
    }

    double now = 0;
    std::ostringstream out;
    ConsoleProgress progress;
};

namespace {

// A stage, the run's progress in it as (second, percent), the seconds at which lines appear,
// and the first that says the stage waits.
struct WaitRow { const char *name; std::string stage; QList<QPointF> progress; QList<double> lines; QString firstWaiting; };

const char *modeName(Mode mode)
{
    return mode == Mode::Live ? "live" : mode == Mode::Plain ? "plain" : "json";
}

// Everything the writer puts into `fd`, read until it has nothing left.
QByteArray readAll(int fd)
{
    QByteArray all;
    for (;;) {
        pollfd ready {fd, POLLIN, 0};
        if (::poll(&ready, 1, 200) > 0) {
            char buffer[65536];
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n > 0)
                all.append(buffer, n);
        } else if (OutputWriter::drain(0)) {
            return all;
        }
    }
}

} // namespace

class TestConsoleProgress : public QObject {
    Q_OBJECT
private slots:
    void aStageIsShownDoneOnlyWhenTheNextOneFollows_data()
    {
        QTest::addColumn<Mode>("mode");
        QTest::addColumn<bool>("failed");
        QTest::addColumn<QString>("stage");
        // How each form shows the stage at 100 %.
        QTest::addColumn<QString>("done");
        const std::pair<Mode, QString> forms[] = {
            {Mode::Live, R"(\rReset\.\.\. +\[#+\] 100 %)"},
            {Mode::Plain, R"((^|\n)Reset\.\.\. 100 %)"},
            {Mode::Json, R"("stage":"Reset\.\.\.","percent":100[,}])"},
        };
        for (const auto &[mode, done] : forms) {
            QTest::addRow("%s, ended well", modeName(mode)) << mode << false << "Reset..." << done;
            QTest::addRow("%s, failed", modeName(mode)) << mode << true << "Reset..." << done;
        }
        // The whole run's time left is known by then: a stage done says none all the same.
        QTest::newRow("live, a stage done says no time left")
            << Mode::Live << false << "Send update" << R"(\rSend update +\[#+\] 100 % +\d+s\x1b\[K)";
        QTest::newRow("plain, a stage done says no time left")
            << Mode::Plain << false << "Send update" << R"((^|\n)Send update 100 %\n)";
    }
    void aStageIsShownDoneOnlyWhenTheNextOneFollows()
    {
        QFETCH(Mode, mode);
        QFETCH(bool, failed);
        QFETCH(QString, stage);
        QFETCH(QString, done);
        Rig rig(mode);
        rig.progress.setPlan(100, 10);
        rig.caption(stage.toStdString());
        rig.now = 3;
        rig.progress.set(1); // its bar counts attempts: the device came back after two
        if (failed)
            rig.progress.close(); // the failure's message comes next
        rig.now = 4;
        rig.caption("Memory prepare - clear");
        const QString out = rig.text();
        const qsizetype at = out.indexOf(QRegularExpression(done));
        if (failed) {
            QVERIFY2(at < 0, qPrintable(out));
        } else {
            QVERIFY2(at >= 0, qPrintable(out));
            QVERIFY2(at < out.indexOf("Memory prepare - clear"), qPrintable(out));
        }
    }
    void theWholeRunIsEstimatedFromTheDevicesPace_data()
    {
        QTest::addColumn<double>("lineS"); // a block's time on the line
        QTest::addColumn<int>("tableBlocks");
        QTest::newRow("fast line, table") << 0.012 << 60;
        QTest::newRow("the usual line, table") << 0.045 << 120;
        QTest::newRow("slow line, no table") << 0.3 << 0;
    }
    void theWholeRunIsEstimatedFromTheDevicesPace()
    {
        QFETCH(double, lineS);
        QFETCH(int, tableBlocks);
        constexpr int Blocks = 1514; // the carried image in blocks of 512
        // The device's pace: 100 ms after each block it takes, 20 ms before each it gives back.
        const double send = 0.1 + lineS, readBack = 0.02 + lineS, table = tableBlocks * send;
        Rig rig(Mode::Json);
        rig.progress.setPlan(Blocks, tableBlocks);
        // The run's time left, and the stage's (none where its length is unknown).
        auto expectLeft = [&](double run, std::optional<double> stage, const char *where) {
            const QJsonObject event = rig.lastProgress();
            const std::pair<const char *, std::optional<double>> fields[] = {{"run_left_s", run}, {"eta_s", stage}};
            for (const auto &[field, truth] : fields) {
                const double told = event[field].toDouble(-1);
                QVERIFY2(truth ? qAbs(told - *truth) <= 0.02 * *truth + 0.5 : !event.contains(field),
                         qPrintable(QString("%1, %2: %3 s, told %4").arg(where, field).arg(truth.value_or(-1)).arg(told)));
            }
        };

        rig.caption("Reset...");
        rig.now = 9;
        rig.progress.set(4);
        rig.caption("Send update");
        rig.progress.set(0);
        QVERIFY(!rig.lastProgress().contains("run_left_s")); // no pace yet, no guess
        const double sendStart = rig.now;
        for (int sent = 1; sent <= Blocks; ++sent) {
            rig.now = sendStart + sent * send;
            rig.progress.set(sent * 100 / Blocks);
            if (sent == Blocks / 10 || sent == Blocks / 2)
                expectLeft((Blocks - sent) * send + Blocks * readBack + table, (Blocks - sent) * send, "sending");
        }
        rig.caption("Verify update");
        const double verifyStart = rig.now;
        for (int index = 0; index <= Blocks; ++index) {
            rig.now = verifyStart + index * readBack;
            rig.progress.set(index * 100 / Blocks);
            if (index == Blocks / 10 || index == Blocks / 2)
                expectLeft((Blocks - index) * readBack + table, (Blocks - index) * readBack, "verifying");
        }
        rig.progress.close();
        rig.now += 30; // the device restarts
        rig.caption("Connect...");
        rig.progress.set(0);
        expectLeft(table, std::nullopt, "reconnecting");
    }
    void aLogHearsFromAWaitingStage_data()
    {
        addRows<WaitRow>({
            {"reset: the device is away", "Reset...", {{0.5, 0}, {6.5, 3}, {12.5, 6}, {18.5, 9}},
             {0, 0.5, 5, 10, 15, 20, 25}, "Reset... 0 % (waiting 5 s)"},
            {"erase stalls at 40 %", "Memory prepare - clear", {{0, 0}, {3, 40}}, {0, 0, 3, 8, 13, 18, 23},
             "Memory prepare - clear 40 % (waiting 5 s)"},
            {"a progress line starts the count again", "Verify update", {{0, 0}, {4, 10}, {7, 12}, {11, 20}},
             {0, 0, 4, 9, 11, 16, 21}, "Verify update 20 % (waiting 5 s)"},
        });
    }
    void aLogHearsFromAWaitingStage()
    {
        QFETCH(WaitRow, row);
        Rig rig(Mode::Plain);
        QList<double> seen;
        auto note = [&] {
            while (seen.size() < rig.text().count('\n'))
                seen << rig.now;
        };
        rig.caption(row.stage);
        note();
        // The program's heartbeat, once a second, and the run's progress between beats.
        for (int beat = 1; beat <= 25; ++beat) {
            for (const QPointF &step : row.progress) {
                if (step.x() >= beat - 1 && step.x() < beat) {
                    rig.now = step.x();
                    rig.progress.set(int(step.y()));
                    note();
                }
            }
            rig.now = beat;
            rig.progress.tick();
            note();
        }
        QCOMPARE(seen, row.lines);
        const QString out = rig.text();
        const qsizetype waiting = out.indexOf("(waiting");
        QVERIFY2(waiting >= 0, qPrintable(out));
        QCOMPARE(out.mid(out.lastIndexOf('\n', waiting) + 1, row.firstWaiting.size()), row.firstWaiting);
    }
    // Every JSON line is written by one writer: the event first, then the fields in the order the
    // code chose, a line read back from another program in one fixed order, and never a byte
    // that is not UTF-8.
    void aJsonLineKeepsItsOrderAndIsStrictUtf8_data()
    {
        QTest::addColumn<QString>("built");
        QTest::addColumn<QString>("expected");
        QTest::newRow("event first, then as added")
            << QString::fromStdString(JsonLine::event("plan").text("port", "/dev/x").number("blocks", 3).flag("ok", false).str())
            << R"({"event":"plan","port":"/dev/x","blocks":3,"ok":false})";
        QTest::newRow("device bytes, a null, tenths, an object in a list")
            << QString::fromStdString(JsonLine()
                                          .text("serial", std::string("A\0\xff\x1b", 4))
                                          .null("after")
                                          .fixed("s", 12.34, 1)
                                          .objects("stages", {JsonLine().text("name", "Reset...")})
                                          .str())
            << R"({"serial":"A\u0000\\xff\u001B","after":null,"s":12.3,"stages":[{"name":"Reset..."}]})";
        const QJsonObject worker = QJsonDocument::fromJson(R"({"text":"t","port":"old","n":2,"event":"message"})").object();
        QTest::newRow("a worker's line with the batch's port")
            << QString::fromStdString(JsonLine::event("message").text("port", "/dev/y").fields(worker, {"port"}).str())
            << R"({"event":"message","port":"/dev/y","n":2,"text":"t"})";
    }
    void aJsonLineKeepsItsOrderAndIsStrictUtf8()
    {
        QFETCH(QString, built);
        QFETCH(QString, expected);
        QCOMPARE(built, expected);
    }
    // A program hears of each whole percent once, however many blocks make it, and at once of
    // a device that went away or came back while the percent stands.
    void aProgramHearsEachWholePercentOnce()
    {
        constexpr int Blocks = 1514;
        Rig rig(Mode::Json);
        bool present = true;
        rig.progress.devicePresent = [&] { return present; };
        rig.caption("Send update");
        constexpr int Gone = Blocks / 2 + 5; // 50 %, said five blocks before
        for (int sent = 0; sent <= Blocks; ++sent) {
            if (sent == Gone || sent == Gone + 1)
                present = !present;
            rig.progress.set(sent * 100 / Blocks);
            if (sent == Gone)
                QCOMPARE(rig.lastProgress()["device_present"], QJsonValue(false));
        }
        QCOMPARE(rig.text().count("\"event\":\"progress\""), 101 + 2);
        QCOMPARE(rig.lastProgress()["percent"], QJsonValue(100));
    }
    // A percent that comes before any stage began (a device babbling while it is read) belongs
    // to no stage: no line, and no time made up for it.
    void noEstimateBeforeTheFirstStage()
    {
        for (const Mode mode : {Mode::Live, Mode::Json}) {
            Rig rig(mode);
            rig.now = 40000; // the steady clock counts from the machine's start
            rig.progress.set(60);
            QVERIFY2(rig.text().isEmpty(), qPrintable(rig.text()));
        }
    }
    // Each redraw of the live line stays within the terminal's width (a wrapped line is left
    // behind by the next redraw), says one figure of time left, and none for a device gone.
    void aLiveLineFitsItsTerminal_data()
    {
        QTest::addColumn<int>("columns");
        QTest::addColumn<bool>("present");
        QTest::newRow("50 columns") << 50 << true;
        QTest::newRow("a wide terminal, the device gone") << 120 << false;
    }
    void aLiveLineFitsItsTerminal()
    {
        QFETCH(int, columns);
        QFETCH(bool, present);
        Rig rig(Mode::Live);
        rig.progress.columns = [&] { return size_t(columns); };
        rig.progress.devicePresent = [&] { return present; };
        rig.progress.setPlan(100, 10);
        rig.caption("Send update");
        for (int sent = 1; sent <= 50; ++sent) {
            rig.now = sent * 0.2;
            rig.progress.set(sent);
        }
        const QStringList redraws = rig.text().split('\r', Qt::SkipEmptyParts);
        QVERIFY(redraws.size() > 10);
        for (QString line : redraws) {
            line.remove("\x1b[K");
            QVERIFY2(line.size() < columns, qPrintable(line));
            QVERIFY2(!line.contains("ETA") && line.count("left") <= 1, qPrintable(line));
        }
        QCOMPARE(redraws.last().contains("device not present"), !present);
        QCOMPARE(redraws.last().contains("s left"), present);
    }
    void aReaderThatFallsBehindLosesOnlyProgress_data()
    {
        QTest::addColumn<bool>("redraw");
        QTest::addColumn<bool>("otherDescriptor"); // the events go through a second descriptor of the pipe
        QTest::newRow("progress lines: the newest kept, the rest counted and said") << false << false;
        QTest::newRow("a live line: only the newest drawn, over what the screen shows") << true << false;
        // Standard error on the terminal of standard output: a message never overtakes the live line.
        QTest::newRow("a live line, the events on another descriptor of the same reader") << true << true;
    }
    void aReaderThatFallsBehindLosesOnlyProgress()
    {
        QFETCH(bool, redraw);
        QFETCH(bool, otherDescriptor);
        int ends[2];
        QVERIFY(::pipe2(ends, O_CLOEXEC) == 0);
        QVERIFY(::fcntl(ends[1], F_SETPIPE_SZ, 4096) >= 0);
        const int events = otherDescriptor ? ::fcntl(ends[1], F_DUPFD_CLOEXEC, 0) : ends[1];
        constexpr int Lines = 2000, EventEvery = 100;
        const QByteArray padding(100, '.');
        // Nobody reads while these are written: a writer that waited on the reader never gets past them.
        for (int i = 0; i < Lines; ++i) {
            if (i % EventEvery == 0)
                OutputWriter::write(events, "event " + std::to_string(i) + "\n");
            if (redraw) // redraw i takes back redraw i-1
                OutputWriter::redraw(ends[1], "<u" + std::to_string(i) + ">", "<d" + std::to_string(i) + ">");
            else
                OutputWriter::write(ends[1], "progress " + std::to_string(i) + " " + padding.toStdString() + "\n",
                                    OutputWriter::Kind::Progress);
        }
        const QString out = QString::fromLatin1(readAll(ends[0]));
        ::close(ends[0]);
        ::close(ends[1]);
        if (otherDescriptor)
            ::close(events);

        // Every event, in order, and a live line's right after the redraw queued before it: on a
        // line of its own when another descriptor says it.
        qsizetype at = 0;
        for (int i = 0; i < Lines; i += EventEvery) {
            const qsizetype next = out.indexOf(QString("event %1\n").arg(i), at);
            QVERIFY2(next >= at, qPrintable(QString("event %1 missing or out of order").arg(i)));
            const QString before = QString("<d%1>").arg(i - 1) + (otherDescriptor ? "\n" : "");
            QVERIFY2(!redraw || i == 0 || out.mid(0, next).endsWith(before),
                     qPrintable(QString("event %1 overtook a redraw: ").arg(i) + out.mid(next - 40, 60)));
            at = next;
        }
        if (redraw) {
            // Each redraw written takes back exactly the one drawn before it, and the last is the newest.
            const QRegularExpression pair("<u(\\d+)><d(\\d+)>");
            int drawn = -1, written = 0;
            for (auto m = pair.globalMatch(out); m.hasNext(); ++written) {
                const auto match = m.next();
                QCOMPARE(match.captured(1).toInt(), drawn + 1);
                drawn = match.captured(2).toInt();
            }
            QCOMPARE(drawn, Lines - 1);
            QVERIFY2(written < Lines, "nothing was coalesced: the reader was never behind");
            QVERIFY(!out.contains("not shown"));
            return;
        }
        const QRegularExpressionMatch note = QRegularExpression("(\\d+) progress lines not shown").match(out);
        QVERIFY2(note.hasMatch(), qPrintable(out.right(500)));
        QCOMPARE(out.count("progress ") - out.count("progress lines") + note.captured(1).toInt(), Lines);
        QVERIFY(out.contains(QString("progress %1 ").arg(Lines - 1))); // the newest waited
    }
};

QTEST_GUILESS_MAIN(TestConsoleProgress)
#include "test_console_progress.moc"
