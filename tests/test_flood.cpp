// A device that babbles without end: during the greeting and during the read-back. Every
// wait stays bounded and the run ends in a message; the line's own queue is all that fills.
#include "protocol.h"
#include "update_rig.h"

#include <QTest>

class TestFlood : public QObject {
    Q_OBJECT
private slots:
    void duringTheHandshake();
    void duringTheReadBack();
};

void TestFlood::duringTheHandshake()
{
    UpdateRig rig;
    rig.device.model().setFault("flood-on-command", true, Cmd::StatusShort);
    const int64_t start = rig.clock.nowMs();
    pollDevice(rig.session, rig.monitor, rig.clock);
    // Any byte after 0x90 counts as its reply, so the greeting passes; then no echo is right.
    QCOMPARE(rig.monitor.lastLine(), std::string("No connection - Communications error"));
    QVERIFY(!rig.link.isOpen());
    QVERIFY(rig.clock.nowMs() - start < 20'000);
}

void TestFlood::duringTheReadBack()
{
    UpdateRig rig;
    QVERIFY(rig.connect());
    rig.usePayloads(hexText(imageBytes(6 * 512)), "LANG");
    rig.device.model().setFault("flood-on-readback", true, 2);
    const int64_t start = rig.clock.nowMs();
    rig.run();
    // The flood reads as whole blocks whose check bytes do not match; the image compares
    // different, and the babbling device never confirms it.
    QCOMPARE(rig.screen.messages, std::vector<std::string> {"Update error!.1"});
    QCOMPARE(rig.screen.diagnostics.size(), size_t(4));
    QCOMPARE(rig.screen.diagnostics.front(), std::string("Daten lesen: XOR Summe ist fehlerhaft. Offset: 400"));
    QVERIFY(!rig.screen.windowClosed && !rig.session.updateRunning);
    QVERIFY(rig.clock.nowMs() - start < 60'000);
}

QTEST_GUILESS_MAIN(TestFlood)
#include "test_flood.moc"
