// mova-sim, the emulator as a program: it publishes its terminal, answers on it, takes
// control lines on its standard input and writes its byte trace.
#include "clock.h"
#include "handshake.h"
#include "protocol.h"
#include "usb_connection.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

class TestMovaSim : public QObject {
    Q_OBJECT
private slots:
    void servesControlsAndTraces();
    void refusesUnknownFaults();
};

void TestMovaSim::servesControlsAndTraces()
{
    QTemporaryDir dir;
    const QString link = dir.filePath("by-id/ttyMOVA"), trace = dir.filePath("trace");
    QProcess sim;
    sim.start(MOVA_SIM, {"--link", link, "--trace", trace, "--serial", "0815", "--fault", "silence:0x68"});
    QVERIFY(sim.waitForReadyRead(5000));
    QVERIFY(sim.readLine().startsWith("mova-sim: device on " + link.toLocal8Bit()));
    QVERIFY(QFileInfo(link).isSymLink());

    UsbConnection line(realClock());
    QVERIFY(line.openComPort(link.toStdString(), false));
    QVERIFY(connectHandshake(line));
    QVERIFY(line.sendCommand(Cmd::DeviceInfo, false));
    uint8_t record[15];
    QVERIFY(line.read(record, 15));
    QCOMPARE(QByteArray(reinterpret_cast<char *>(record + 1), 4), QByteArray("0815"));
    QVERIFY(!line.sendCommand(Cmd::Calibration, false)); // the fault given at start

    sim.write("unplug\n");
    QVERIFY(sim.waitForReadyRead(2000));
    QCOMPARE(sim.readLine().trimmed(), QByteArray("unplugged"));
    QVERIFY(!QFileInfo::exists(link));
    QVERIFY(!line.sendCommand(Cmd::Probe, false));
    QVERIFY(line.deviceLost());
    line.close();
    sim.write("plug\n");
    QVERIFY(sim.waitForReadyRead(2000));
    QVERIFY(sim.readLine().startsWith("plugged"));
    QVERIFY(line.openComPort(link.toStdString(), false));
    QVERIFY(line.sendCommand(Cmd::Probe, false));

    sim.write("quit\n");
    QVERIFY(sim.waitForFinished(3000));
    QCOMPARE(sim.exitCode(), 0);
    QVERIFY(!QFileInfo::exists(link));
    QFile file(trace);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().split('\n');
    // "<ms> <in|out> <byte>": the first byte in is the handshake's 0xEE, echoed at once.
    QVERIFY(lines.size() > 10);
    QCOMPARE(lines[0].split(' ').mid(1), (QList<QByteArray> {"in", "EE"}));
    QCOMPARE(lines[1].split(' ').mid(1), (QList<QByteArray> {"out", "EE"}));
    QCOMPARE(std::count_if(lines.begin(), lines.end(), [](const QByteArray &l) { return l.endsWith(" in B0"); }),
             1); // the probe after re-plugging
}

void TestMovaSim::refusesUnknownFaults()
{
    QTemporaryDir dir;
    QProcess sim;
    sim.start(MOVA_SIM, {"--link", dir.filePath("tty"), "--fault", "no-such-fault"});
    QVERIFY(sim.waitForFinished(3000));
    QCOMPARE(sim.exitCode(), 2);
    QVERIFY(sim.readAllStandardError().contains("unknown fault no-such-fault"));
}

QTEST_GUILESS_MAIN(TestMovaSim)
#include "test_mova_sim.moc"
