// The window watching a device that is pulled out and plugged back in, again and again
// (QTX_SOAK_CYCLES times, 500 by default), on the FTDI road through the stand-in library:
// every reconnection shows the device line again, and the process's memory stays flat.
#include "clock.h"
#include "emulator_fixture.h"
#include "ftdi_api.h"
#include "kvl_update.h"
#include "usb_connection.h"

#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QTimer>
#include <QtTest>

namespace {

long residentKiB()
{
    QFile status("/proc/self/status");
    status.open(QIODevice::ReadOnly);
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    return -1;
}

int openDescriptors()
{
    return int(QDir("/proc/self/fd").entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size());
}

} // namespace

class TestSoak : public QObject {
    Q_OBJECT
private slots:
    void pulledAndPluggedAgain();
};

void TestSoak::pulledAndPluggedAgain()
{
    const int cycles = qEnvironmentVariableIntValue("QTX_SOAK_CYCLES") > 0 ? qEnvironmentVariableIntValue("QTX_SOAK_CYCLES") : 500;
    EmulatorFixture f;
    DeviceModel::Config config;
    config.doubledRoad = true;
    QVERIFY(f.start(config));
    qputenv("QTX_STANDIN_PORT", QByteArray::fromStdString(f.link()));
    FtdiLibrary standin(STANDIN_PATH);
    TKVLUpdate w({"QTX_MOVA_Update"}, realClock(),
                 std::make_unique<UsbConnection>(realClock(), UsbConnection::Options {}, nullptr, &standin),
                 BuildSettings {"Corvane MOVA FW 68 from 19.10.21", "0"});
    w.AccuTimer->stop(); // ticked by hand, as fast as the device allows
    w.show();
    const QString line = "FW 68 from 19.10.21, SerialNr: 0042";
    QElapsedTimer timer;
    timer.start();
    long rssAtStart = 0;
    int descriptorsAtStart = 0;
    const int warmUp = 5;
    for (int cycle = 0; cycle < cycles + warmUp; ++cycle) {
        if (cycle == warmUp) {
            rssAtStart = residentKiB();
            descriptorsAtStart = openDescriptors();
        }
        w.AccuTimerTimer();
        QVERIFY2(w.GeraetLabel->text() == line, qPrintable(QString("cycle %1: %2").arg(cycle).arg(w.GeraetLabel->text())));
        f.emulator->unplug();
        w.AccuTimerTimer(); // the battery poll finds the line dead and lets it go
        QVERIFY(!w.link()->isOpen());
        QVERIFY(f.emulator->plug());
        // The emulator shares the process: its byte trace must not count as the window's.
        f.emulator->withModel([](DeviceModel &m) {
            m.clearTrace();
            return 0;
        });
    }
    const long rssAtEnd = residentKiB();
    qInfo("soak: %d cycles in %.1f s; RSS %ld KiB after warm-up, %ld KiB at the end; descriptors %d -> %d", cycles,
          timer.elapsed() / 1000.0, rssAtStart, rssAtEnd, descriptorsAtStart, openDescriptors());
    QVERIFY2(rssAtEnd - rssAtStart < 2048, "memory grows with reconnections");
    QCOMPARE(openDescriptors(), descriptorsAtStart);
}

QTEST_MAIN(TestSoak)
#include "test_soak.moc"
