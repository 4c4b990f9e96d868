// The device pulled out at every stage of a run: each ends in its message within bounded
// time, with the window's state sound, and the device, plugged back in, can be updated by a
// new click. In virtual time against the device model.
#include "protocol.h"
#include "update_rig.h"

#include <QTest>

namespace {
} // namespace

class TestUnplug : public QObject {
    Q_OBJECT
private slots:
    void duringTheRun_data();
    void duringTheRun();
    void whilePolled();
};

void TestUnplug::duringTheRun_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("argument");
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<bool>("windowClosed");

    QTest::newRow("handshake after the reset") << "pull-on-command" << int(Cmd::Probe)
                                               << QStringList {"Cannot connect to device after Reset."} << false;
    QTest::newRow("status") << "pull-on-command" << int(Cmd::Status) << QStringList {"Device status cannot receive"}
                            << false;
    QTest::newRow("erase") << "pull-during-erase" << -1 << QStringList {"Data cannot clear.2"} << false;
    QTest::newRow("first block") << "pull-on-block" << 0 << QStringList {"Error by senden Update.2"} << false;
    QTest::newRow("block 5") << "pull-on-block" << 5 << QStringList {"Error by senden Update.2"} << false;
    // Read-back block 0 leaves with the last block's verdict: pulled then, the verdict is lost.
    QTest::newRow("read-back block 0") << "pull-on-readback" << 0 << QStringList {"Error by senden Update.2"}
                                       << false;
    QTest::newRow("read-back block 1") << "pull-on-readback" << 1 << QStringList {"Error by verify Update"} << false;
    QTest::newRow("read-back block 4") << "pull-on-readback" << 4 << QStringList {"Error by verify Update"} << false;
    QTest::newRow("comparison") << "pull-on-compare" << -1 << QStringList {"Update error!.2"} << false;
    // The firmware is in place: its success closes the window after the table's failure.
    QTest::newRow("table block 1") << "pull-on-table-block" << 1
                                   << QStringList {"Error by senden Language.2", LongSuccess} << true;
}

void TestUnplug::duringTheRun()
{
    QFETCH(QString, fault);
    QFETCH(int, argument);
    QFETCH(QStringList, messages);
    QFETCH(bool, windowClosed);
    UpdateRig rig;
    QVERIFY(rig.connect());
    rig.usePayloads(hexText(imageBytes(8 * 512)), QByteArray(3 * 512, 'T'));
    QVERIFY(rig.device.model().setFault(fault.toStdString(), true, argument));
    const int64_t start = rig.clock.nowMs();
    rig.run();
    QStringList shown;
    for (const auto &m : rig.screen.messages)
        shown << QString::fromStdString(m);
    QCOMPARE(shown, messages);
    QVERIFY2(rig.clock.nowMs() - start < 60'000, "bounded: no stage waits on a device that is gone");
    QVERIFY(!rig.device.plugged());
    QCOMPARE(rig.screen.windowClosed, windowClosed);
    QVERIFY(!rig.session.updateRunning && !rig.session.runActive && !rig.screen.busy);
    QVERIFY(!rig.link.isOpen()); // let go, so the device can be found again
    if (windowClosed)
        return;
    QVERIFY(!rig.screen.progressVisible);
    QCOMPARE(rig.screen.pollsNow, 1); // the window looks for the device again

    // Plugged back in, the next poll finds it and a new click updates it.
    rig.device.plug();
    pollDevice(rig.session, rig.monitor, rig.clock);
    QVERIFY(rig.link.isOpen());
    QCOMPARE(rig.monitor.lastLine(), std::string("FW 68 from 19.10.21, SerialNr: 0042"));
    rig.screen.messages.clear();
    rig.run();
    QCOMPARE(rig.screen.messages, std::vector<std::string> {"Update and Language sended success!"});
    QVERIFY(rig.screen.windowClosed);
    QCOMPARE(rig.device.model().image().size(), size_t(8 * 512));
}

void TestUnplug::whilePolled()
{
    UpdateRig rig;
    rig.device.model().setFault("pull-on-command", true, Cmd::Start); // during the handshake
    pollDevice(rig.session, rig.monitor, rig.clock);
    QCOMPARE(rig.monitor.lastLine(), std::string("No connection - Device not connected or offline"));
    QVERIFY(!rig.link.isOpen());
    rig.device.plug();
    pollDevice(rig.session, rig.monitor, rig.clock);
    QCOMPARE(rig.monitor.lastLine(), std::string("FW 68 from 19.10.21, SerialNr: 0042"));
}

QTEST_GUILESS_MAIN(TestUnplug)
#include "test_unplug.moc"
