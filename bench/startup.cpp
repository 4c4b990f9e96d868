// From the tool's start to the device line on screen, against the emulator on a
// pseudo-terminal (offscreen), next to what the first tick itself prescribes.
//   QT_QPA_PLATFORM=offscreen build/bench/bench_startup MOVA_SIM
// The first tick is due 500 ms after start by design; the handshake and the readout then
// wait what the protocol asks (the tty road's 500 ms listens, the 200 ms before the
// calibration). The same tick in virtual time gives that part; the rest is overhead.
#include "clock.h"
#include "kvl_update.h"
#include "monitor.h"
#include "recording_screen_min.h"
#include "session.h"
#include "usb_connection.h"
#include "virtual_device.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>

int main(int argc, char **argv)
{
    QElapsedTimer sinceStart;
    sinceStart.start();
    QApplication application(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_startup MOVA_SIM\n");
        return 2;
    }
    QTemporaryDir dir;
    const QString link = dir.filePath("ttyMOVA");
    QProcess sim;
    sim.start(QString::fromLocal8Bit(argv[1]), {"--link", link});
    if (!sim.waitForReadyRead(5000))
        return 1;
    const qint64 simReady = sinceStart.elapsed();

    QElapsedTimer sinceWindow;
    sinceWindow.start();
    TKVLUpdate window({"QTX_MOVA_Update", link});
    window.show();
    while (!window.GeraetLabel->text().startsWith("FW ") && sinceWindow.elapsed() < 10'000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    const qint64 shown = sinceWindow.elapsed();
    window.AccuTimer->stop();
    sim.write("quit\n");
    sim.waitForFinished(3000);

    VirtualClock clock;
    VirtualDevice device(clock, "/dev/virtual-mova");
    UsbConnection virtualLink(clock, UsbConnection::Options {}, device.wire());
    Session session;
    session.link = &virtualLink;
    session.expectedHardwareVersion = 24;
    session.portPathOverride = device.path();
    MinimalScreen screen;
    const int64_t before = clock.nowMs();
    pollDevice(session, screen, clock);
    const int64_t tick = clock.nowMs() - before;

    std::printf("device line        %s\n", window.GeraetLabel->text().toLocal8Bit().constData());
    std::printf("window to line     %lld ms (process start to emulator ready: %lld ms)\n",
                static_cast<long long>(shown), static_cast<long long>(simReady));
    std::printf("prescribed         500 ms to the first tick + %lld ms of the tick's own waits\n",
                static_cast<long long>(tick));
    std::printf("overhead           %lld ms\n", static_cast<long long>(shown - 500 - tick));
    return 0;
}
