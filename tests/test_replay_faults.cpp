// Every fault of the emulator that a single run shows, on both roads: a run recorded against
// the emulated device, then played back by mova-sim --replay and run again must end the same
// way, and the replay must find that it matched. The tty road runs mova-update; the FTDI road
// runs the same update in a process of this program (through the stand-in libftdi1), as
// mova-update takes that road only in a build for another hardware version.
#include "ftdi_api.h"
#include "monitor.h"
#include "outcome.h"
#include "test_replay_rig.h"
#include "trace.h"

#include <QtTest>
#include <cstring>
#include <iostream>

namespace {

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
    std::string reason;
    if (!Trace::recordTo(trace, 8L << 20, "# test_replay_faults, FTDI road", reason)) {
        std::cerr << trace << ": " << reason << "\n";
        return 1;
    }
    pollDevice(session, monitor, realClock());
    std::string said = monitor.lastLine();
    Outcome outcome = Outcome::NotConnected;
    if (link.isOpen()) {
        const RunResult result = runAndEnd(session, screen, realClock(), {firmware, table});
        outcome = outcomeOf(result);
        said = screen.messages.empty() ? result.message : screen.messages.back();
    }
    Trace::stopRecording();
    std::cout << "exit " << int(outcome) << "\n" << said << std::endl;
    return 0;
}

} // namespace

class TestReplayFaults : public QObject, private CliFixture {
    Q_OBJECT
private slots:
    void init() { prepare(); }
    void faultsReplayedOnTty() { replayAll(false); }
    void faultsReplayedOnFtdi() { replayAll(true); }

private:
    void replayAll(bool ftdi);
};

// All faults of a road side by side: recorded, then replayed and run again.
void TestReplayFaults::replayAll(bool ftdi)
{
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
    auto tracePath = [&](const QString &run) { return ftdi ? run + ".log" : run + "/mova-update/last-trace.log"; };
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
    if (argc == 5 && std::strcmp(argv[1], "--ftdi-update") == 0) {
        QCoreApplication application(argc, argv);
        return ftdiUpdate(argv[2], argv[3], argv[4]);
    }
    QCoreApplication application(argc, argv);
    TestReplayFaults test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "test_replay_faults.moc"
