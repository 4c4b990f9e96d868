// The command exchange and the connect handshake in virtual time, against the device
// model: exact waits, exact bytes, no real time spent.
#include "clock.h"
#include "handshake.h"
#include "protocol.h"
#include "usb_connection.h"
#include "virtual_device.h"

#include <QTest>

using Bytes = std::vector<uint8_t>;
Q_DECLARE_METATYPE(Bytes)

namespace {

const std::string DevicePath = "/dev/serial/by-id/usb-test-if00";

struct Bench {
    VirtualClock clock;
    VirtualDevice device;
    UsbConnection link;
    explicit Bench(DeviceModel::Config config = DeviceModel::Config())
        : device(clock, DevicePath, std::move(config)), link(clock, UsbConnection::Options {}, device.wire())
    {
    }
    Bytes into(char direction = '<') const
    {
        Bytes v;
        for (const auto &e : const_cast<VirtualDevice &>(device).model().trace())
            if (e.direction == direction)
                v.push_back(e.byte);
        return v;
    }
};

} // namespace

class TestLinkVirtual : public QObject {
    Q_OBJECT
private slots:
    void openTakesItsSettlingTime();
    void sendCommandWaits_data();
    void sendCommandWaits();
    void handshake_data();
    void handshake();
    void resetDropsTheLineAfterTheEcho();
};

void TestLinkVirtual::openTakesItsSettlingTime()
{
    Bench b;
    const int64_t start = b.clock.nowMs();
    QVERIFY(b.link.openComPort(DevicePath, false));
    QCOMPARE(b.clock.nowMs() - start, int64_t(Wait::TtyConfigMs + Wait::AfterOpenMs));
    QVERIFY(!b.link.openComPort("/dev/other", false));
    QVERIFY(!b.link.isOpen());
}

void TestLinkVirtual::sendCommandWaits_data()
{
    QTest::addColumn<bool>("doubledRoad");
    QTest::addColumn<bool>("doubled");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<bool>("expected");
    QTest::addColumn<int>("elapsedMs");
    QTest::addColumn<Bytes>("wire");

    QTest::newRow("echoed") << false << false << QString() << true << 0 << Bytes {0x66};
    QTest::newRow("doubled, both echoed") << true << true << QString() << true << Wait::BetweenDoubledMs
                                          << Bytes {0x66, 0x66};
    QTest::newRow("silent: the standing time-out") << false << false << "silence" << false << 1000 << Bytes {0x66};
    QTest::newRow("late echo is not seen") << false << false << "late-echo" << false << 1000 << Bytes {0x66};
    QTest::newRow("doubled, silent") << true << true << "silence" << false << 1000 << Bytes {0x66};
}

void TestLinkVirtual::sendCommandWaits()
{
    QFETCH(bool, doubledRoad);
    QFETCH(bool, doubled);
    QFETCH(QString, fault);
    QFETCH(bool, expected);
    QFETCH(int, elapsedMs);
    QFETCH(Bytes, wire);

    DeviceModel::Config config;
    config.doubledRoad = doubledRoad;
    Bench b(config);
    QVERIFY(b.link.openComPort(DevicePath, false));
    if (!fault.isEmpty())
        QVERIFY(b.device.model().setFault(fault.toStdString(), true));
    const int64_t start = b.clock.nowMs();
    QCOMPARE(b.link.sendCommand(Cmd::DeviceInfo, doubled), expected);
    QCOMPARE(b.clock.nowMs() - start, int64_t(elapsedMs));
    QCOMPARE(b.into('<'), wire);
    if (expected) {
        uint8_t record[14];
        QVERIFY(b.link.read(record, 14));
        QCOMPARE(b.device.model().commands(), Bytes {Cmd::DeviceInfo}); // carried out once
    }
}

void TestLinkVirtual::handshake_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("faultCommand");
    QTest::addColumn<bool>("online");
    QTest::addColumn<Bytes>("wire");
    QTest::addColumn<int>("elapsedMs");

    // On the tty road every drain listens 500 ms unless its two bytes come: the first finds
    // nothing, the second only 0xEE's one reply byte.
    QTest::newRow("answering device") << QString() << -1 << true << Bytes {0xEE, 0x90} << 1000;
    // 0x90 unanswered twice (echo time-outs of 1 s), no reply byte (1 s), 10 ms, first probe.
    QTest::newRow("0x90 ignored, probe answered")
        << "silence" << 0x90 << true << Bytes {0xEE, 0x90, 0x90, 0xB0} << 1000 + 2000 + 1000 + 10;
    QTest::newRow("dead device")
        << "silence" << -1 << false << Bytes {0xEE, 0x90, 0x90, 0xB0, 0xB0, 0xB0, 0xB0}
        << 500 + 1000 + 500 + 2000 + 1000 + 10 + 4000;
}

void TestLinkVirtual::handshake()
{
    QFETCH(QString, fault);
    QFETCH(int, faultCommand);
    QFETCH(bool, online);
    QFETCH(Bytes, wire);
    QFETCH(int, elapsedMs);

    Bench b;
    QVERIFY(b.link.openComPort(DevicePath, false));
    if (!fault.isEmpty())
        QVERIFY(b.device.model().setFault(fault.toStdString(), true, faultCommand));
    const int64_t start = b.clock.nowMs();
    const int pumpsBefore = b.clock.pumps;
    QCOMPARE(connectHandshake(b.link), online);
    QCOMPARE(b.into('<'), wire);
    QCOMPARE(b.clock.nowMs() - start, int64_t(elapsedMs));
    if (!online)
        QCOMPARE(b.clock.pumps - pumpsBefore, 3); // the event loop runs between the probes
}

void TestLinkVirtual::resetDropsTheLineAfterTheEcho()
{
    Bench b;
    b.device.resetDowntimeMs = 1500;
    QVERIFY(b.link.openComPort(DevicePath, false));
    QVERIFY(b.link.sendCommand(Cmd::Reset, false)); // the echo gets out first
    uint8_t byte;
    QVERIFY(!b.link.read(&byte, 1));
    b.link.close();
    QVERIFY(!b.link.openComPort(DevicePath, false));
    b.clock.advanceBy(1500);
    QVERIFY(b.link.openComPort(DevicePath, false));
    QVERIFY(connectHandshake(b.link));
}

QTEST_GUILESS_MAIN(TestLinkVirtual)
#include "test_link_virtual.moc"
