// The command exchange and the connect handshake in virtual time, against the device
// model: exact waits, exact bytes, no real time spent.
#include "clock.h"
#include "handshake.h"
#include "protocol.h"
#include "usb_connection.h"
#include "table_rows.h"
#include "virtual_device.h"

using Bytes = std::vector<uint8_t>;

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

// A command on the plain or the doubled road against a device with a fault: the answer, the
// virtual time it took and the bytes the device took in.
struct SendRow { const char *name; bool doubled; QString fault; bool expected; int elapsedMs; Bytes wire; };
// The handshake against a device with a fault (on one command, or -1: on all).
struct HandshakeRow { const char *name; QString fault; int faultCommand; bool online; Bytes wire; int elapsedMs; };

} // namespace

class TestLinkVirtual : public QObject {
    Q_OBJECT
private slots:
    void openTakesItsSettlingTime()
    {
        Bench b;
        const int64_t start = b.clock.nowMs();
        QVERIFY(b.link.openComPort(DevicePath, false));
        QCOMPARE(b.clock.nowMs() - start, int64_t(Wait::TtyConfigMs + Wait::AfterOpenMs));
        QVERIFY(!b.link.openComPort("/dev/other", false));
        QVERIFY(!b.link.isOpen());
    }

    void sendCommandWaits_data()
    {
        addRows<SendRow>({
            {"echoed", false, "", true, 0, {0x66}},
            {"doubled, both echoed", true, "", true, Wait::BetweenDoubledMs, {0x66, 0x66}},
            {"silent: the standing time-out", false, "silence", false, 1000, {0x66}},
            {"late echo is not seen", false, "late-echo", false, 1000, {0x66}},
            {"doubled, silent", true, "silence", false, 1000, {0x66}},
        });
    }
    void sendCommandWaits()
    {
        QFETCH(SendRow, row);
        DeviceModel::Config config;
        config.doubledRoad = row.doubled;
        Bench b(config);
        QVERIFY(b.link.openComPort(DevicePath, false));
        if (!row.fault.isEmpty())
            QVERIFY(b.device.model().setFault(row.fault.toStdString(), true));
        const int64_t start = b.clock.nowMs();
        QCOMPARE(b.link.sendCommand(Cmd::DeviceInfo, row.doubled), row.expected);
        QCOMPARE(b.clock.nowMs() - start, int64_t(row.elapsedMs));
        QCOMPARE(b.into('<'), row.wire);
        if (row.expected) {
            uint8_t record[14];
            QVERIFY(b.link.read(record, 14));
            QCOMPARE(b.device.model().commands(), Bytes {Cmd::DeviceInfo}); // carried out once
        }
    }

    void handshake_data()
    {
        addRows<HandshakeRow>({
            // On the tty road every drain listens 500 ms unless its two bytes come: the first
            // finds nothing, the second only 0xEE's one reply byte.
            {"answering device", "", -1, true, {0xEE, 0x90}, 1000},
            // 0x90 unanswered twice (echo time-outs of 1 s), no reply byte (1 s), 10 ms, first probe.
            {"0x90 ignored, probe answered", "silence", 0x90, true, {0xEE, 0x90, 0x90, 0xB0}, 1000 + 2000 + 1000 + 10},
            {"dead device", "silence", -1, false, {0xEE, 0x90, 0x90, 0xB0, 0xB0, 0xB0, 0xB0},
             500 + 1000 + 500 + 2000 + 1000 + 10 + 4000},
        });
    }
    void handshake()
    {
        QFETCH(HandshakeRow, row);
        Bench b;
        QVERIFY(b.link.openComPort(DevicePath, false));
        if (!row.fault.isEmpty())
            QVERIFY(b.device.model().setFault(row.fault.toStdString(), true, row.faultCommand));
        const int64_t start = b.clock.nowMs();
        const int pumpsBefore = b.clock.pumps;
        QCOMPARE(connectHandshake(b.link), row.online);
        QCOMPARE(b.into('<'), row.wire);
        QCOMPARE(b.clock.nowMs() - start, int64_t(row.elapsedMs));
        if (!row.online)
            QCOMPARE(b.clock.pumps - pumpsBefore, 3); // the event loop runs between the probes
    }

    void resetDropsTheLineAfterTheEcho()
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
};

QTEST_GUILESS_MAIN(TestLinkVirtual)
#include "test_link_virtual.moc"
