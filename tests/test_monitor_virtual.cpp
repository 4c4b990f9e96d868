// In virtual time against the device model: the link's command exchange and connect
// handshake (exact waits, exact bytes), and the polling tick: what the window is told, which
// intervals follow, and which bytes the device sees.
#include "battery.h"
#include "clock.h"
#include "handshake.h"
#include "monitor.h"
#include "protocol.h"
#include "table_rows.h"
#include "update_rig.h"

using Charge = MonitorScreen::Charge;
using Words = std::vector<uint16_t>;
using Bytes = std::vector<uint8_t>;

namespace {

// A rig whose tick is the window's poll, its screen the monitoring's.
struct Rig : UpdateRig {
    using UpdateRig::UpdateRig;
    RecordingScreen &screen = monitor;
    void tick() { pollDevice(session, monitor, clock); }
};

// What the first tick shows when no device can be talked to, and what the operator answers.
struct NoConnectionRow {
    const char *name;
    QString situation;
    bool answerOk;
    QString line, question; // question empty: none is asked
    int interval;
    bool ended;
};
// A battery answer (DeviceModel::BatteryMode, its words or raw reading) and what is shown;
// charge 0 good, 1 low, -1 none.
struct BatteryRow { const char *name; int mode; Words words; int raw; QString text; int charge, interval; };
// A second reading after a first of 90 %, on the same connection or a new one.
struct SecondReadingRow { const char *name; Words words; bool reconnect; QString text; int charge, interval; };

// A command on the plain or the doubled road against a device with a fault: the answer, the
// virtual time it took and the bytes the device took in.
struct SendRow { const char *name; bool doubled; QString fault; bool expected; int elapsedMs; Bytes wire; };
// The handshake against a device with a fault (on one command, or -1: on all).
struct HandshakeRow { const char *name; QString fault; int faultCommand; bool online; Bytes wire; int elapsedMs; };

std::optional<Charge> charge(int code)
{
    return code < 0 ? std::nullopt : std::optional<Charge>(code == 0 ? Charge::Good : Charge::Low);
}

} // namespace

class TestMonitorVirtual : public QObject {
    Q_OBJECT
private slots:
    void openTakesItsSettlingTime()
    {
        Rig rig;
        const int64_t start = rig.clock.nowMs();
        QVERIFY(rig.link.openComPort(UpdateRig::DevicePath, false));
        QCOMPARE(rig.clock.nowMs() - start, int64_t(Wait::TtyConfigMs + Wait::AfterOpenMs));
        QVERIFY(!rig.link.openComPort("/dev/other", false));
        QVERIFY(!rig.link.isOpen());
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
        Rig rig(config);
        QVERIFY(rig.link.openComPort(UpdateRig::DevicePath, false));
        if (!row.fault.isEmpty())
            QVERIFY(rig.device.model().setFault(row.fault.toStdString(), true));
        const int64_t start = rig.clock.nowMs();
        QCOMPARE(rig.link.sendCommand(Cmd::DeviceInfo, row.doubled), row.expected);
        QCOMPARE(rig.clock.nowMs() - start, int64_t(row.elapsedMs));
        QCOMPARE(rig.into(), row.wire);
        if (row.expected) {
            uint8_t record[14];
            QVERIFY(rig.link.read(record, 14));
            QCOMPARE(rig.device.model().commands(), Bytes {Cmd::DeviceInfo}); // carried out once
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
        Rig rig;
        QVERIFY(rig.link.openComPort(UpdateRig::DevicePath, false));
        if (!row.fault.isEmpty())
            QVERIFY(rig.device.model().setFault(row.fault.toStdString(), true, row.faultCommand));
        const int64_t start = rig.clock.nowMs();
        const int pumpsBefore = rig.clock.pumps;
        QCOMPARE(connectHandshake(rig.link), row.online);
        QCOMPARE(rig.into(), row.wire);
        QCOMPARE(rig.clock.nowMs() - start, int64_t(row.elapsedMs));
        if (!row.online)
            QCOMPARE(rig.clock.pumps - pumpsBefore, 3); // the event loop runs between the probes
    }

    void resetDropsTheLineAfterTheEcho()
    {
        Rig rig;
        rig.device.resetDowntimeMs = 1500;
        QVERIFY(rig.link.openComPort(UpdateRig::DevicePath, false));
        QVERIFY(rig.link.sendCommand(Cmd::Reset, false)); // the echo gets out first
        uint8_t byte;
        QVERIFY(!rig.link.read(&byte, 1));
        rig.link.close();
        QVERIFY(!rig.link.openComPort(UpdateRig::DevicePath, false));
        rig.clock.advanceBy(1500);
        QVERIFY(rig.link.openComPort(UpdateRig::DevicePath, false));
        QVERIFY(connectHandshake(rig.link));
    }

    void connectsAndShowsTheDevice()
    {
        DeviceModel::Config config;
        config.identity.deviceInfo = 0x2A;
        config.calibration = std::vector<uint8_t> {0x64, 0x65, 0x66, 0x67, 0xFE, 0x00, 0x05, 0x00};
        Rig rig(config);
        rig.tick();
        QCOMPARE(rig.screen.deviceLines,
                 (std::vector<std::string> {"Connect...", "FW 67 from 19.10.21, SerialNr: 0042"}));
        QCOMPARE(rig.screen.battery, std::string("Accu: 76 %"));
        QCOMPARE(rig.screen.charge, std::optional<Charge>(Charge::Good));
        QVERIFY(rig.screen.updateEnabled);
        // The run's facts, as the readout took them in.
        QCOMPARE(serialBytes(rig.session.record), std::string("0042"));
        QCOMPARE(int(rig.session.record.deviceInfo), 0x2A);
        QCOMPARE(rig.session.calibration.koefY, 0x65);
        QCOMPARE(rig.session.calibration.offsX, -2);
        QCOMPARE(rig.session.calibration.offsZ, 5);
        QVERIFY(!rig.screen.busy);
        QCOMPARE(rig.screen.intervalMs, 10'000);
        QVERIFY(rig.screen.pollEnabled);
        QCOMPARE(rig.session.portPath, UpdateRig::DevicePath);
        QCOMPARE(int(rig.session.record.deviceStatus), 1);
        QCOMPARE(rig.device.model().commands(),
                 (std::vector<uint8_t> {Cmd::StatusShort, Cmd::Start, Cmd::DeviceInfo, Cmd::Calibration,
                                        Cmd::BatteryExtended}));

        // Later ticks only read the battery.
        rig.device.model().clearTrace();
        rig.tick();
        QCOMPARE(rig.device.model().commands(), std::vector<uint8_t> {Cmd::BatteryExtended});
        QCOMPARE(rig.screen.deviceLines.size(), size_t(2));
        // Connected again without a calibration reply: the defaults stand.
        rig.device.model().config().calibration.reset();
        rig.link.close();
        rig.tick();
        QCOMPARE(rig.session.calibration.koefY, 100);
        QCOMPARE(rig.session.calibration.offsX, 0);
    }

    void noConnection_data()
    {
        const QString absent = "No connection - Corvane not connected";
        const QString notConnected = "Corvane not connected\nPlease connect Corvane and press OK.";
        const QString silent = "No connection - Device not connected or offline";
        const QString offline = "Device not connected or offline\nPlease turn on the Device, connect it and press OK.";
        addRows<NoConnectionRow>({
            {"not found, OK", "unplugged", true, absent, notConnected, 1000, false},
            {"not found, Cancel", "unplugged", false, absent, notConnected, 10'000, true},
            {"found but cannot open", "unopenable", true, "No connection - Initialise error", "", 10'000, false},
            {"silent device, OK", "silent", true, silent, offline, 1000, false},
            {"silent device, Cancel", "silent", false, silent, offline, 10'000, true},
            {"identity does not come", "no identity", true, "No connection - Communications error", "", 10'000, false},
        });
    }
    void noConnection()
    {
        QFETCH(NoConnectionRow, row);
        Rig rig;
        rig.screen.answerOk = row.answerOk;
        if (row.situation == "unplugged")
            rig.device.unplug();
        else if (row.situation == "unopenable")
            rig.session.findPort = [] { return std::string("/dev/serial/by-id/gone"); };
        else if (row.situation == "silent")
            rig.device.model().setFault("silence", true);
        else if (row.situation == "no identity")
            rig.device.model().setFault("silence", true, Cmd::DeviceInfo);
        rig.tick();
        QCOMPARE(QString::fromStdString(rig.screen.lastLine()), row.line);
        const auto &questions = rig.screen.questions;
        QCOMPARE(questions.empty() ? QString() : QString::fromStdString(questions.back()), row.question);
        QCOMPARE(rig.screen.ended, row.ended);
        if (!row.ended) {
            QCOMPARE(rig.screen.intervalMs, row.interval);
            QVERIFY(rig.screen.pollEnabled);
        }
        QVERIFY(!rig.link.isOpen());
        QVERIFY(!rig.screen.busy);
        QVERIFY(!rig.screen.updateEnabled);
        QVERIFY(rig.screen.battery.empty());
        if (row.situation == "unopenable")
            QVERIFY(rig.session.portPath.empty());
        if (row.situation == "no identity")
            QCOMPARE(int(rig.session.record.deviceStatus), 255);
    }

    void battery_data()
    {
        const int extended = int(DeviceModel::BatteryMode::Extended);
        const int rawOnly = int(DeviceModel::BatteryMode::RawOnly), none = int(DeviceModel::BatteryMode::None);
        addRows<BatteryRow>({
            {"one word: the formula", extended, {0x0B7C}, 0, "Accu: 76 %", 0, 10'000},
            {"two words: as they come", extended, {0x0B7C, 0x0055}, 0, "Accu: 85 %", 0, 10'000},
            {"second word by its low byte", extended, {0x0B7C, 0x1234}, 0, "Accu: 52 %", 1, 10'000},
            {"three words: the last", extended, {1, 2, 59}, 0, "Accu: 59 %", 1, 10'000},
            {"marker without words", extended, {}, 0, "N/A", -1, 5000},
            {"no marker: the raw reading", rawOnly, {}, 2845, "Accu: 53 %", 1, 10'000},
            {"no reading", none, {}, 0, "N/A", -1, 5000},
        });
    }
    void battery()
    {
        QFETCH(BatteryRow, row);
        DeviceModel::Config config;
        config.battery = {DeviceModel::BatteryMode(row.mode), row.words, uint16_t(row.raw)};
        Rig rig(config);
        rig.tick();
        QCOMPARE(QString::fromStdString(rig.screen.battery), row.text);
        QCOMPARE(rig.screen.charge, charge(row.charge));
        QCOMPARE(rig.screen.intervalMs, row.interval);
        QVERIFY(rig.link.isOpen()); // a missing reading is no reason to drop the device
    }

    // mova-sim --battery-percent: every percentage reads back as itself.
    void batteryShowing_data()
    {
        QTest::addColumn<int>("percent");
        for (int percent = 0; percent <= 100; ++percent)
            QTest::addRow("%d %%", percent) << percent;
    }
    void batteryShowing()
    {
        QFETCH(int, percent);
        DeviceModel::Config config;
        config.battery.words = batteryWordsShowing(percent);
        Rig rig(config);
        rig.tick();
        QCOMPARE(rig.screen.battery, "Accu: " + std::to_string(percent) + " %");
    }

    void secondReading_data()
    {
        addRows<SecondReadingRow>({
            {"a fall of 70 is held back", {1, 20}, false, "Accu: 90 %", 0, 5000},
            {"a fall of 60 is held back", {1, 30}, false, "Accu: 90 %", 0, 5000},
            {"a fall of 50 is shown", {1, 40}, false, "Accu: 40 %", 1, 10'000},
            // Another device, much lower, plugged in after the first one went away.
            {"a new connection shows its own", {1, 20}, true, "Accu: 20 %", 1, 10'000},
        });
    }
    void secondReading()
    {
        QFETCH(SecondReadingRow, row);
        DeviceModel::Config config;
        config.battery.words = {1, 90}; // two words: shown as they come
        Rig rig(config);
        rig.tick();
        QCOMPARE(rig.screen.battery, std::string("Accu: 90 %"));
        if (row.reconnect)
            rig.link.close();
        rig.device.model().config().battery.words = row.words;
        rig.tick();
        QCOMPARE(QString::fromStdString(rig.screen.battery), row.text);
        QCOMPARE(rig.screen.charge, charge(row.charge));
        QCOMPARE(rig.screen.intervalMs, row.interval);
    }

    void unpluggedDeviceIsFoundAgain()
    {
        Rig rig;
        rig.tick();
        QVERIFY(rig.screen.updateEnabled);
        rig.device.unplug();
        rig.tick();
        QCOMPARE(rig.screen.battery, std::string("N/A"));
        QVERIFY(!rig.link.isOpen());
        QVERIFY(!rig.screen.updateEnabled);
        rig.tick(); // still gone: the operator is asked
        QCOMPARE(rig.screen.lastLine(), std::string("No connection - Corvane not connected"));
        rig.device.plug();
        rig.tick();
        QCOMPARE(rig.screen.lastLine(), std::string("FW 67 from 19.10.21, SerialNr: 0042"));
        QCOMPARE(rig.screen.battery, std::string("Accu: 76 %"));
        QVERIFY(rig.screen.updateEnabled);
    }

    void overrideReplacesDiscovery()
    {
        Rig rig;
        bool looked = false;
        rig.session.findPort = [&] {
            looked = true;
            return std::string();
        };
        rig.session.portPathOverride = UpdateRig::DevicePath;
        rig.tick();
        QVERIFY(!looked);
        QCOMPARE(rig.session.portPath, UpdateRig::DevicePath);
        QVERIFY(rig.link.isOpen());
    }
};

QTEST_GUILESS_MAIN(TestMonitorVirtual)
#include "test_monitor_virtual.moc"
