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

namespace {

// Who the device on `path` says it is (empty if it does not say), with `line` left open on it.
QByteArray serialOn(UsbConnection &line, const QString &path)
{
    uint8_t record[15];
    if (!line.openComPort(path.toStdString(), false) || !connectHandshake(line)
        || !line.sendCommand(Cmd::DeviceInfo, false) || !line.read(record, 15))
        return {};
    return QByteArray(reinterpret_cast<char *>(record + 1), 4);
}

// The next line mova-sim says.
QByteArray answer(QProcess &sim)
{
    while (!sim.canReadLine() && sim.waitForReadyRead(3000)) {
    }
    return sim.readLine().trimmed();
}

// Told to quit, mova-sim ends well; the lines of its trace.
QList<QByteArray> quitAndReadTrace(QProcess &sim, const QString &trace)
{
    sim.write("quit\n");
    if (!sim.waitForFinished(3000) || sim.exitCode() != 0)
        return {};
    QFile file(trace);
    return file.open(QIODevice::ReadOnly) ? file.readAll().split('\n') : QList<QByteArray>();
}

} // namespace

class TestMovaSim : public QObject {
    Q_OBJECT
private slots:
    void servesControlsAndTraces()
    {
        QTemporaryDir dir;
        const QString link = dir.filePath("by-id/ttyMOVA"), trace = dir.filePath("trace");
        QProcess sim;
        sim.start(MOVA_SIM, {"--link", link, "--trace", trace, "--serial", "0815", "--fault", "silence:0x68"});
        QVERIFY(answer(sim).startsWith("mova-sim: device on " + link.toLocal8Bit()));
        QVERIFY(QFileInfo(link).isSymLink());

        UsbConnection line(realClock());
        QCOMPARE(serialOn(line, link), QByteArray("0815"));
        QVERIFY(!line.sendCommand(Cmd::Calibration, false)); // the fault given at start

        sim.write("unplug\n");
        QCOMPARE(answer(sim), QByteArray("unplugged"));
        QVERIFY(!QFileInfo::exists(link));
        QVERIFY(!line.sendCommand(Cmd::Probe, false));
        QVERIFY(line.deviceLost());
        line.close();
        sim.write("plug\n");
        QVERIFY(answer(sim).startsWith("plugged"));
        QVERIFY(line.openComPort(link.toStdString(), false));
        QVERIFY(line.sendCommand(Cmd::Probe, false));

        const QList<QByteArray> lines = quitAndReadTrace(sim, trace);
        QVERIFY(!QFileInfo::exists(link));
        // "<ms> <in|out> <byte>": the first byte in is the handshake's 0xEE, echoed at once.
        QVERIFY(lines.size() > 10);
        QCOMPARE(lines[0].split(' ').mid(1), (QList<QByteArray> {"in", "EE"}));
        QCOMPARE(lines[1].split(' ').mid(1), (QList<QByteArray> {"out", "EE"}));
        QCOMPARE(std::count_if(lines.begin(), lines.end(), [](const QByteArray &l) { return l.endsWith(" in B0"); }),
                 1); // the probe after re-plugging
    }
    void refusesUnknownFaults()
    {
        QTemporaryDir dir;
        QProcess sim;
        sim.start(MOVA_SIM, {"--link", dir.filePath("tty"), "--fault", "no-such-fault"});
        QVERIFY(sim.waitForFinished(3000));
        QCOMPARE(sim.exitCode(), 2);
        QVERIFY(sim.readAllStandardError().contains("unknown fault no-such-fault"));
    }
    void servesABenchAndSwapsInTheNext()
    {
        QTemporaryDir dir;
        const QString link = dir.filePath("by-id/ttyMOVA"), trace = dir.filePath("trace");
        const QString link1 = link + "-1", link2 = link + "-2";
        QProcess sim;
        sim.start(MOVA_SIM, {"--devices", "2", "--serial", "0098", "--link", link, "--trace", trace});
        QVERIFY(answer(sim).startsWith("mova-sim: device on " + link1.toLocal8Bit() + " ("));
        QVERIFY(answer(sim).startsWith("mova-sim: device on " + link2.toLocal8Bit() + " ("));

        UsbConnection one(realClock()), two(realClock());
        QCOMPARE(serialOn(one, link1), QByteArray("0098"));
        QCOMPARE(serialOn(two, link2), QByteArray("0099"));
        sim.write("fault wrong-echo on 0x68 @2\n");
        QCOMPARE(answer(sim), QByteArray("fault wrong-echo on"));
        QVERIFY(!two.sendCommand(Cmd::Calibration, false));
        QVERIFY(one.sendCommand(Cmd::Calibration, false)); // the other device is left alone
        sim.write("unplug @3\n");
        QCOMPARE(answer(sim), QByteArray("no device 3"));

        sim.write("next @2\n");
        QCOMPARE(answer(sim), "next " + link2.toLocal8Bit() + " serial 0100");
        QVERIFY(!two.sendCommand(Cmd::Probe, false)); // the old unit's line hung up
        QVERIFY(two.deviceLost());
        two.close();
        QCOMPARE(serialOn(two, link2), QByteArray("0100"));
        QVERIFY(two.sendCommand(Cmd::Calibration, false)); // a fresh unit: the fault left with the old one
        sim.write("next\n"); // counted on from the bench's highest, not from device 1's own
        QCOMPARE(answer(sim), "next " + link1.toLocal8Bit() + " serial 0101");

        const QList<QByteArray> lines = quitAndReadTrace(sim, trace);
        // "<device> <ms> <in|out> <byte>": the identity query once on device 1, and on device 2
        // once per unit, so the fresh unit's bytes are traced from its first.
        auto identityQueries = [&lines](const QByteArray &device) {
            return std::count_if(lines.begin(), lines.end(),
                                 [&](const QByteArray &l) { return l.startsWith(device + " ") && l.endsWith(" in 66"); });
        };
        QCOMPARE(identityQueries("1"), 1);
        QCOMPARE(identityQueries("2"), 2);
    }
};

QTEST_GUILESS_MAIN(TestMovaSim)
#include "test_mova_sim.moc"
