// One whole update against the emulator on a pseudo-terminal, timed against what the
// protocol itself prescribes.
//   bench_full_update MOVA_SIM [FIRMWARE.hex TABLE.tra]
// First for real: mova-sim in a process of its own, the run in this one. Then the same run
// against the in-process device model in virtual time: its duration is the sum of the waits
// and listens the protocol prescribes (the model answers at once). Printed: wall time and
// its overhead over the prescribed time, this process's CPU time, its peak memory (taken
// before the virtual run).
#include "clock.h"
#include "monitor.h"
#include "monitor_screen.h"
#include "readout.h"
#include "run_events.h"
#include "session.h"
#include "update_run.h"
#include "usb_connection.h"
#include "virtual_device.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>
#include <chrono>
#include <cstdio>
#include <sys/resource.h>
#include <thread>

namespace {

struct QuietMonitor : MonitorScreen {
    std::string line;
    void showDeviceLine(const std::string &t) override { line = t; }
};

struct ConsoleRun : RunScreen {
    explicit ConsoleRun(bool verbose) : verbose(verbose) {}
    bool verbose;
    MessageId last = MessageId::None;
    Answer confirmFirmwareAge(FirmwareAge, const DeviceRecord &) override { return {true}; }
    Answer confirm(const std::string &, const std::string &) override { return {true}; }
    Answer confirmLowBattery(int) override { return {true}; }
    void message(const RunMessage &m) override
    {
        if (m.kind != MessageKind::Diagnostic)
            last = m.id;
        if (verbose || m.kind == MessageKind::Diagnostic)
            std::printf("  message: %s\n", m.text.c_str());
    }
    void stage(ProgressStage, const std::string &t) override
    {
        if (verbose)
            std::printf("  stage: %s\n", t.c_str());
    }
};

// Runs the update on a session whose link is ready to connect; true on success.
bool update(Session &session, Clock &clock, const Payloads &payloads, bool verbose)
{
    QuietMonitor monitor;
    pollDevice(session, monitor, clock);
    if (!session.link->isOpen()) {
        std::printf("no device: %s\n", monitor.line.c_str());
        return false;
    }
    ConsoleRun screen(verbose);
    runUpdate(session, screen, screen, clock, payloads);
    return screen.last == MessageId::FirmwareAndTableSent;
}

double cpuSeconds()
{
    rusage u {};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    if (argc != 2 && argc != 4) {
        std::fprintf(stderr, "usage: bench_full_update MOVA_SIM [FIRMWARE.hex TABLE.tra]\n");
        return 2;
    }
    Payloads payloads;
    if (argc == 4)
        payloads = {argv[2], argv[3]};

    // The real run.
    QTemporaryDir dir;
    const QString link = dir.filePath("ttyMOVA");
    QProcess sim;
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sim.start(QString::fromLocal8Bit(argv[1]), {"--link", link});
    if (!sim.waitForReadyRead(5000)) {
        std::printf("mova-sim did not start\n");
        return 1;
    }
    Session session;
    UsbConnection realLink(realClock());
    session.link = &realLink;
    session.expectedHardwareVersion = 24;
    session.portPathOverride = link.toStdString();
    const double cpuBefore = cpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    const bool ok = update(session, realClock(), payloads, true);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = cpuSeconds() - cpuBefore;
    sim.write("quit\n");
    sim.waitForFinished(3000);
    // The peak before the virtual run, whose device model keeps every byte it saw.
    rusage u {};
    getrusage(RUSAGE_SELF, &u);

    // The prescribed time: the same run in virtual time.
    VirtualClock virtualClock;
    VirtualDevice device(virtualClock, "/dev/virtual-mova");
    UsbConnection virtualLink(virtualClock, UsbConnection::Options {}, device.wire());
    Session virtualSession;
    virtualSession.link = &virtualLink;
    virtualSession.expectedHardwareVersion = 24;
    virtualSession.portPathOverride = device.path();
    const int64_t virtualStart = virtualClock.nowMs();
    if (!update(virtualSession, virtualClock, payloads, false)) {
        std::printf("the virtual run failed\n");
        return 1;
    }
    const double prescribed = double(virtualClock.nowMs() - virtualStart) / 1000.0;


    std::printf("result            %s\n", ok ? "updated" : "FAILED");
    std::printf("prescribed time   %.1f s (the same run in virtual time)\n", prescribed);
    std::printf("wall time         %.1f s (overhead %.2f %%)\n", wall, (wall - prescribed) / prescribed * 100);
    std::printf("tool CPU time     %.2f s (%.2f %% of wall)\n", cpu, cpu / wall * 100);
    std::printf("tool peak memory  %ld KiB (max RSS)\n", u.ru_maxrss);
    return ok ? 0 : 1;
}
