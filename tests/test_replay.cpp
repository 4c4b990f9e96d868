// mova-sim --replay: how a trace is read and what the device does from it, a recording the
// tool no longer follows, and the recorded traces in tests/traces played against the tool.
// And, slow, every fault of the emulator that a single run shows, on both roads: a run
// recorded against the emulated device, then played back and run again, must end the same
// way, and the replay must find that it matched. The tty road runs mova-update; the FTDI road
// runs the same update in a process of this program (through the stand-in libftdi1), as
// mova-update takes that road only in a build for another hardware version.
#include "ftdi_api.h"
#include "monitor.h"
#include "outcome.h"
#include "replay_device.h"
#include "replay_trace.h"
#include "cli_run.h"
#include "trace.h"
#include "file_writer.h"

#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>
#include <csignal>
#include <cstring>
#include <iostream>
#include <sys/stat.h>

namespace {

// What a run of mova-update ended with: its exit status and its last words (on standard
// output for a success, else on standard error).
QByteArray ending(const Run &r)
{
    return "exit " + QByteArray::number(r.exitCode) + " | " +
           (r.exitCode == 0 ? r.out : r.err).trimmed().split('\n').last();
}

// mova-sim --replay on `link`, started and waited for until the link is there.
struct Replay {
    std::unique_ptr<QProcess> process = std::make_unique<QProcess>();
    Replay() = default;
    Replay(Replay &&) = default;
    ~Replay()
    {
        if (process && process->state() != QProcess::NotRunning)
            finish(0); // a test that failed halfway leaves no replay behind
    }

    bool start(const QString &trace, const QString &link, const QStringList &more = {})
    {
        process->start(MOVA_SIM, QStringList {"--replay", trace, "--link", link} + more);
        for (int i = 0; i < 200 && process->state() != QProcess::NotRunning && !QFile::exists(link); ++i)
            QThread::msleep(10);
        return QFile::exists(link);
    }
    // Waits for the replay to end by itself (as it must once the tool let go of the line), or
    // ends it after `timeoutMs`; its exit status.
    int finish(int timeoutMs = 10'000)
    {
        if (!process->waitForFinished(timeoutMs)) {
            ::kill(pid_t(process->processId()), SIGTERM);
            process->waitForFinished();
            err_ = "(ended by SIGTERM)\n";
        }
        err_ += process->readAllStandardError();
        return process->exitStatus() == QProcess::NormalExit ? process->exitCode() : -1;
    }
    const QByteArray &err() const { return err_; }

private:
    QByteArray err_;
};

constexpr int ReplayMatched = 0, ReplayDiverged = 3, ReplayUnreadable = 4;


constexpr int FtdiHardware = 27; // a hardware version on the FTDI road

struct FaultCase {
    const char *fault;
    int argument;
};

// Each fault where one run shows it: an argument where "always" would only show it at the
// first command. Floods are in, too: the replay sends what the tool read of them. The
// emulator drops the line in the same turn it writes its last reply, so whether the tool read
// that reply differs from run to run; the replay follows whichever the recording holds.
const FaultCase Faults[] = {
    {"no-echo", 0x66}, {"wrong-echo", -1}, {"late-echo", 0x66}, {"silence", 0x51}, {"no-second-echo", 0x90},
    {"refuse-transfer", -1}, {"erase-fail", -1}, {"erase-bad-status", -1}, {"erase-stall", -1},
    {"block-nak", 1}, {"block-nak-always", -1}, {"block-error", -1}, {"block-error-nocode", -1},
    {"block-fatal", 1}, {"block-silent", 1}, {"block-late", 1}, {"language-block-nak", 0},
    {"language-block-nak-always", -1}, {"language-block-error", -1}, {"language-block-error-nocode", -1},
    {"language-block-fatal", -1}, {"language-block-silent", -1}, {"language-block-late", -1},
    {"readback-silent", 1}, {"readback-stall", -1}, {"readback-short", 1}, {"readback-no-xor", 1},
    {"readback-bad-xor", 1}, {"readback-corrupt", 1}, {"readback-trickle", 1}, {"confirm-refuse", -1},
    {"confirm-silent", -1}, {"refuse-language", -1}, {"language-count-reject", -1}, {"pull-on-command", -1},
    {"pull-during-erase", -1}, {"pull-on-block", 1}, {"pull-on-readback", 1}, {"pull-on-table-block", 0},
    {"pull-on-compare", -1}, {"flood-on-command", 0x68}, {"flood-on-readback", 1},
};

// The FTDI road's run in this process: the update the window's button runs, recorded to
// `trace`; says its outcome and last message on standard output.
int ftdiUpdate(const char *trace, const char *firmware, const char *table)
{
    FtdiLibrary standin(STANDIN_PATH);
    UsbConnection link(realClock(), UsbConnection::Options {}, nullptr, &standin);
    Session session;
    session.link = &link;
    session.expectedHardwareVersion = FtdiHardware;
    RecordingScreen monitor;
    RecordingRunScreen screen(realClock());
    Trace::recordTo(trace, 8L << 20, "# test_replay_faults, FTDI road",
                    [trace](const std::string &reason) { std::cerr << trace << ": " << reason << "\n"; });
    pollDevice(session, monitor, realClock());
    std::string said = monitor.lastLine();
    Outcome outcome = Outcome::NotConnected;
    if (link.isOpen()) {
        const RunResult result = runAndEnd(session, screen, realClock(), {firmware, table});
        outcome = outcomeOf(result);
        said = screen.messages.empty() ? result.message : screen.messages.back();
    }
    Trace::stopRecording();
    FileWriter::drain();
    std::cout << "exit " << int(outcome) << "\n" << said << std::endl;
    return 0;
}


// The script in short: the tool's bytes ('*' a command), then each step as
// "<tool bytes before it>:+<delay> <what>".
QString summary(const ReplayScript &s)
{
    QStringList parts;
    QStringList tool;
    for (size_t i = 0; i < s.toolBytes.size(); ++i)
        tool << QString::asprintf("%02X%s", s.toolBytes[i], s.isCommand[i] ? "*" : "");
    parts << tool.join(' ');
    for (const ReplayStep &st : s.steps) {
        QString what = st.kind == ReplayStep::Kind::Leave ? "away" : st.otherLink ? "back other" : "back";
        if (st.kind == ReplayStep::Kind::Reply)
            what = "< " + QByteArray(reinterpret_cast<const char *>(st.bytes.data()), int(st.bytes.size())).toHex(' ').toUpper();
        parts << QString("%1:+%2 %3").arg(st.after).arg(st.delayMs).arg(what);
    }
    return parts.join(" | ");
}

} // namespace

class TestReplay : public QObject {
    Q_OBJECT
private slots:
    void traceReader_data()
    {
        QTest::addColumn<QByteArray>("trace");
        QTest::addColumn<QString>("read"); // the error, or the script in short
        const QByteArray header = "# mova-update 1.0, run started 2026-01-01T00:00:00.000Z\n";
        QTest::newRow("time not a number") << header + "mova-trace 12x tty > 90\n"
                                           << "line 2: the time \"12x\" is not a number of milliseconds";
        QTest::newRow("unknown road") << QByteArray("mova-trace 1 usb > 90") << "line 1: the road \"usb\" is neither tty nor ftdi";
        QTest::newRow("half a byte") << QByteArray("mova-trace 1 tty > 90 0") << "line 1: \"0\" is not a byte in hexadecimal";
        // Ends where the line does, without its newline: nothing is read past it.
        QTest::newRow("transfer without bytes") << QByteArray("mova-trace 1 tty <") << "line 1: a transfer without bytes";
        QTest::newRow("time going back") << QByteArray("mova-trace 20 tty > 90\nmova-trace 10 tty < 90\n")
                                         << "line 2: the time goes back from 20 to 10 ms";
        QTest::newRow("another program's line") << QByteArray("Send update 11 %\n") << "line 1: not a trace line (\"Send update 11 %\")";
        QTest::newRow("header alone") << header << "no trace lines in it";

        // The reset: away once its echo is out, back before the tool's look that found it;
        // replies after the tool's byte, with the recorded delay.
        QTest::newRow("reset, away and back")
            << header + "mova-trace 0 tty # open /a/tty\nmova-trace 10 tty > 71\nmova-trace 12 tty < 71\n"
                        "mova-trace 12 tty # close\nmova-trace 512 tty # /a/tty: stat: No such file or directory\n"
                        "mova-trace 1112 tty # open /a/tty\nmova-trace 1300 tty > B0\nmova-trace 1300 tty < B0\n"
            << "71* B0* | 1:+2 < 71 | 1:+22 away | 1:+802 back | 2:+0 < B0";
        // Closed long after the reply: away between the close and the tool's failed look.
        QTest::newRow("away after a later close")
            << QByteArray("mova-trace 0 tty # open /a/tty\nmova-trace 0 tty > 90\nmova-trace 0 tty < 90\n"
                          "mova-trace 1000 tty # close\nmova-trace 1500 tty # /a/tty: stat: No such file or directory\n")
            << "90* | 1:+0 < 90 | 1:+1250 away";
        QTest::newRow("back under another path")
            << QByteArray("mova-trace 0 tty # open /a/tty\nmova-trace 0 tty > 70\nmova-trace 0 tty < 70\n"
                          "mova-trace 400 tty # close\nmova-trace 1400 tty # open /b/tty\n")
            << "70* | 1:+0 < 70 | 1:+900 away | 1:+1150 back other";
        // Doubled commands; a close right after bytes nobody answered is a device that went away.
        QTest::newRow("lost on the FTDI road")
            << QByteArray("mova-trace 100 ftdi # open\nmova-trace 100 ftdi > 90\nmova-trace 100 ftdi < 90\n"
                          "mova-trace 105 ftdi > 90\nmova-trace 105 ftdi < 90 00\nmova-trace 110 ftdi > 00 09\n"
                          "mova-trace 160 ftdi # close\n")
            << "90* 90* 00 09 | 1:+0 < 90 | 2:+0 < 90 00 | 4:+0 away";
        // A link that says when it found the device gone: it left after its last word.
        QTest::newRow("lost, as the link notes it")
            << QByteArray("mova-trace 0 tty # open /a/tty\nmova-trace 0 tty > 51\nmova-trace 0 tty < 51 00\n"
                          "mova-trace 60 tty # lost\nmova-trace 4000 tty # close\n")
            << "51* | 1:+0 < 51 00 | 1:+20 away";
        QTest::newRow("silent, closed after the tool's wait")
            << QByteArray("mova-trace 100 ftdi # open\nmova-trace 110 ftdi > 00 09\nmova-trace 1110 ftdi # close\n")
            << "00 09";
    }
    void traceReader()
    {
        QFETCH(QByteArray, trace);
        QFETCH(QString, read);
        const TraceRead r = readTrace(std::string_view(trace.constData(), size_t(trace.size())));
        QCOMPARE(r.error.empty() ? summary(buildScript(r)) : QString::fromStdString(r.error), read);
    }
    // A gap no device makes (a clock that jumped) is played cut: the reply comes, and a replay the
    // tool left behind ends, however long the recording says it waited.
    void longGapIsCut()
    {
        const std::string text = "mova-trace 0 tty > 90\nmova-trace 999999999999999 tty < 90\n";
        const ReplayScript script = buildScript(readTrace(text));
        const uint8_t command = 0x90, other = 0x91;
        ReplayDevice played(script, 0);
        played.receive(&command, 1, 0);
        QCOMPARE(played.takeOutput(MaxGapMs), std::vector<uint8_t> {0x90});
        ReplayDevice diverged(script, 0);
        diverged.receive(&other, 1, 0);
        const int64_t heldLongest = MaxGapMs + ReplayDevice::QuietMarginMs + ReplayDevice::HeldQuietMs + 1;
        QCOMPARE(diverged.state(heldLongest, true), ReplayDevice::State::Diverged);
    }
    // What is no trace to read is refused before it is read: a FIFO would hold the open, a device
    // or a file far over the limit would be read without end (the sparse files take no room).
    void unreadableInput_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QByteArray>("reason");
        QTest::newRow("FIFO") << "fifo" << QByteArray("not a regular file");
        QTest::newRow("device") << "/dev/zero" << QByteArray("not a regular file");
        QTest::newRow("trace over the limit") << "trace" << QByteArray("larger than 64 MiB");
        QTest::newRow("bundle over the limit") << "bundle" << QByteArray("larger than 64 MiB");
    }
    void unreadableInput()
    {
        QFETCH(QString, kind);
        QFETCH(QByteArray, reason);
        QTemporaryDir dir;
        QString path = kind.startsWith('/') ? kind : dir.filePath(kind);
        if (kind == "fifo")
            QVERIFY(::mkfifo(path.toLocal8Bit().constData(), 0600) == 0);
        if (kind == "trace" || kind == "bundle") {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(kind == "bundle" ? QByteArray("\x1f\x8b") : QByteArray("mova-trace 0 tty > 90\n"));
            QVERIFY(file.resize(qint64(64) << 30));
        }
        Replay replay;
        replay.process->start(MOVA_SIM, {"--replay", path, "--link", dir.filePath("link")});
        QCOMPARE(replay.finish(2'000), ReplayUnreadable);
        QVERIFY2(replay.err().contains(path.toUtf8() + ": " + reason), replay.err().constData());
    }
    void divergenceIsReported()
    {
        // The good update of tests/traces, one byte the tool sends changed in it: the first of
        // the firmware's second piece of 64 bytes.
        QTemporaryDir dir;
        QList<QByteArray> lines = fileBytes(TRACES_DIR "/good.log").split('\n');
        int offset = 0, pieces = 0, edited = -1;
        QByteArray sent, recordedNow;
        for (int i = 0; i < lines.size() && edited < 0; ++i) {
            const QList<QByteArray> words = lines[i].simplified().split(' ');
            if (words.size() < 5 || words[3] != ">")
                continue;
            if (words.size() == 64 + 4 && ++pieces == 2) {
                sent = words[4];
                recordedNow = sent == "00" ? "01" : "00";
                lines[i].replace(lines[i].indexOf("> ") + 2, 2, recordedNow);
                edited = i + 1;
            } else {
                offset += int(words.size()) - 4;
            }
        }
        QVERIFY(edited > 0);
        const QString changed = QString::fromStdString(writeFile(dir.filePath("changed.log"), lines.join('\n')));

        Replay replay;
        QVERIFY(replay.start(changed, dir.filePath("replay")));
        const Run r = runJobs({{MOVA_UPDATE, {"--yes", "--port", dir.filePath("replay"), "--firmware",
                                              TRACES_DIR "/small.hex", "--table", TRACES_DIR "/small.tra", "update"},
                                {"XDG_STATE_HOME=" + dir.path()}}})[0];
        // The device fell silent where the streams parted: the tool ends with its own failure.
        QCOMPARE(ending(r), QByteArray("exit 4 | mova-update: transfer failed"));
        QCOMPARE(replay.finish(0), ReplayDiverged); // a silent device until the tool is long gone: ended now
        const QByteArray said = replay.err();
        QVERIFY2(said.contains("diverged at byte " + QByteArray::number(offset) + " of the tool's stream (tty road, recording line " +
                               QByteArray::number(edited) + ")"),
                 said.constData());
        QVERIFY2(said.contains("stage:    command 0x78 (transfer 512 wide)"), said.constData());
        QVERIFY2(said.contains("expected: ") && said.contains("| " + recordedNow + " "), said.constData());
        QVERIFY2(said.contains("received: ") && said.contains("| " + sent), said.constData());
    }
    // Every recorded trace of tests/traces (its index gives the exit status and last words each
    // must end with), played as the device against today's tool, all side by side: a tool that
    // talks to the device otherwise than when they were recorded shows here as a divergence.
    void recordedTraces()
    {
        QTemporaryDir dir;
        std::vector<QList<QByteArray>> rows;
        std::vector<Replay> replays;
        std::vector<Job> jobs;
        for (const QByteArray &line : fileBytes(TRACES_DIR "/index").split('\n')) {
            if (line.isEmpty() || line.startsWith('#'))
                continue;
            rows.push_back(line.split(' '));
            const QString link = dir.filePath(QString::number(rows.size()));
            // One comes in the support bundle mova-update writes as the trace of a run still in
            // the store (a lost worker's), one as a failed run's kept trace its record names.
            const QString member = rows.size() == 2 ? "trace-0123456789abcdef.log"
                                                    : "failed-traces/20261209T014512Z-30333033-0123456789abcdef.log";
            if (rows.size() == 2 || rows.size() == 3) {
                const QString state = dir.filePath(QString("state%1/mova-update/").arg(rows.size()));
                QVERIFY(QDir().mkpath(state + "failed-traces"));
                QVERIFY(QFile::copy(TRACES_DIR "/" + rows.back()[0], state + member));
                QFile runs(state + "runs.jsonl");
                QVERIFY(runs.open(QIODevice::WriteOnly) && runs.write("{\"trace\":\"" + member.toUtf8() + "\"}\n") > 0);
                runs.close();
                const QString bundle = state + "bundle.tar.gz";
                const Run exported = runJobs({{MOVA_UPDATE, {"log", "--export", bundle},
                                               {"XDG_STATE_HOME=" + dir.filePath(QString("state%1").arg(rows.size()))}}})[0];
                QVERIFY2(exported.exitCode == 0, exported.err.constData());
                QVERIFY(replays.emplace_back().start(bundle, link, {"--replay-member", member}));
            } else {
                QVERIFY(replays.emplace_back().start(TRACES_DIR "/" + rows.back()[0], link));
            }
            jobs.push_back({MOVA_UPDATE,
                            {"--yes", "--port", link, "--firmware", TRACES_DIR "/small.hex", "--table",
                             TRACES_DIR "/small.tra", "update"},
                            {"XDG_STATE_HOME=" + link + "-state"}});
        }
        QVERIFY(rows.size() >= 6);
        const std::vector<Run> ran = runJobs(jobs);
        for (size_t i = 0; i < rows.size(); ++i) {
            const QByteArray name = rows[i][0], lastWords = QString::fromUtf8(rows[i].mid(2).join(' ')).toUtf8();
            const Run &r = ran[i];
            QVERIFY2(replays[i].finish() == ReplayMatched, (name + ": " + replays[i].err()).constData());
            QVERIFY2(ending(r) == "exit " + rows[i][1] + " | " + lastWords, (name + ": " + ending(r)).constData());
        }
    }
    void faultsReplayedOnTty() { replayAll(false); }
    void faultsReplayedOnFtdi() { replayAll(true); }

private:
    void replayAll(bool ftdi);
};

// All faults of a road side by side: recorded, then replayed and run again.
void TestReplay::replayAll(bool ftdi)
{
    if (!qEnvironmentVariableIsSet("QTX_LONG_TESTS"))
        QSKIP("every fault on a road takes minutes (QTX_LONG_TESTS=1)");
    CliFixture fixture;
    fixture.prepare();
    const std::string &firmware = fixture.firmware, &table = fixture.table;
    QTemporaryDir dir;
    const size_t n = std::size(Faults);
    auto job = [&](const QString &link, const QString &run) -> Job {
        if (ftdi)
            return {QCoreApplication::applicationFilePath(),
                    {"--ftdi-update", run + ".log", QString::fromStdString(firmware), QString::fromStdString(table)},
                    {"QTX_STANDIN_PORT=" + link}};
        return {MOVA_UPDATE,
                {"--yes", "--port", link, "--firmware", QString::fromStdString(firmware), "--table",
                 QString::fromStdString(table), "update"},
                {"XDG_STATE_HOME=" + run}};
    };
    // A failed run's trace is kept in failed-traces/ (its only one there); a success's stays.
    auto tracePath = [&](const QString &run) {
        const QStringList kept = QDir(run + "/mova-update/failed-traces").entryList(QDir::Files);
        return ftdi ? run + ".log"
                    : run + "/mova-update/" + (kept.size() == 1 ? "failed-traces/" + kept[0] : "last-trace.log");
    };
    std::vector<EmulatorFixture> devices(n);
    std::vector<Job> jobs;
    for (size_t i = 0; i < n; ++i) {
        DeviceModel::Config config = quickDevice();
        config.doubledRoad = ftdi;
        config.identity.hardwareVersion = ftdi ? FtdiHardware : 24;
        QVERIFY(devices[i].start(config, QuickDowntimeMs));
        QVERIFY(devices[i].emulator->withModel([&](DeviceModel &m) { return m.setFault(Faults[i].fault, true, Faults[i].argument); }));
        jobs.push_back(job(QString::fromStdString(devices[i].link()), dir.filePath(QString("rec-%1").arg(i))));
    }
    QElapsedTimer phase;
    phase.start();
    const std::vector<Run> recorded = runJobs(jobs);
    const qint64 recordMs = phase.restart();
    devices.clear();
    std::vector<Replay> replays(n);
    jobs.clear();
    for (size_t i = 0; i < n; ++i) {
        const QString link = dir.filePath(QString("replay-%1").arg(i));
        QVERIFY(replays[i].start(tracePath(dir.filePath(QString("rec-%1").arg(i))), link));
        jobs.push_back(job(link, dir.filePath(QString("again-%1").arg(i))));
    }
    const std::vector<Run> replayed = runJobs(jobs);
    const qint64 replayMs = phase.elapsed();
    int matched = 0;
    for (size_t i = 0; i < n; ++i) {
        const QByteArray row = QByteArray(Faults[i].fault) + (ftdi ? " (ftdi): " : " (tty): ");
        const int replayExit = replays[i].finish();
        QVERIFY2(recorded[i].exitCode >= 0, (row + recorded[i].err).constData());
        // The FTDI road's process says its outcome and message on standard output.
        auto said = [&](const Run &r) { return ftdi ? r.out + r.err : ending(r); };
        QVERIFY2(said(replayed[i]) == said(recorded[i]),
                 (row + said(recorded[i]) + " / replayed: " + said(replayed[i]) + "\n" + replays[i].err()).constData());
        QVERIFY2(replayExit == ReplayMatched, (row + replays[i].err()).constData());
        ++matched;
    }
    qInfo("%s road: %d of %zu faults replayed and matched (recorded in %lld ms, replayed in %lld ms)",
          ftdi ? "ftdi" : "tty", matched, n, recordMs, replayMs);
}

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    if (argc == 5 && std::strcmp(argv[1], "--ftdi-update") == 0)
        return ftdiUpdate(argv[2], argv[3], argv[4]);
    TestReplay test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "test_replay.moc"
