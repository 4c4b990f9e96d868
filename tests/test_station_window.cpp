// The station window against emulated devices, one socket each, in one station run: what each
// socket's tile says its device came to, its name, and the alert for each device that needs a
// hand.
#include "alert_sound.h"
#include "cli_run.h"
#include "station_tile.h"
#include "station_window.h"

#include <QtTest>

namespace {

int alerts = 0;

// One socket and what is plugged into it.
struct Socket {
    const char *name;  // the tile's name: a --label, or the link's own
    int hardware;      // the device's hardware version (the build's is 24)
    const char *fault; // switched on at its second block; null: none
    TileState state;
};

const Socket Sockets[] = {
    {"Bay 1", 24, nullptr, TileState::Updated},
    // A device this build may not update: refused before a byte is written.
    {"dev1", 30, nullptr, TileState::Failed},
    // Silent after its first block: its firmware was being replaced.
    {"dev2", 24, "block-silent", TileState::MayBeWithoutFirmware},
};

} // namespace

class TestStationWindow : public QObject, private CliFixture {
    Q_OBJECT
private slots:
    void initTestCase() { qputenv("XDG_CONFIG_HOME", QByteArray(f.path("config").c_str())); }
    void tilesSayWhatEachDeviceCameTo();
};

void TestStationWindow::tilesSayWhatEachDeviceCameTo()
{
    prepare();
    StationSettings settings;
    std::vector<std::unique_ptr<PtyEmulator>> devices;
    for (const Socket &socket : Sockets) {
        PtyEmulator::Options options;
        options.device = quickDevice();
        options.device.identity.hardwareVersion = uint8_t(socket.hardware);
        options.device.identity.serial = "00" + std::to_string(10 + devices.size());
        options.link = f.path(("dev" + std::to_string(devices.size())).c_str());
        options.resetDowntimeMs = QuickDowntimeMs;
        devices.push_back(std::make_unique<PtyEmulator>(options));
        QVERIFY(devices.back()->start());
        if (socket.fault)
            devices.back()->withModel([&](DeviceModel &m) { return m.setFault(socket.fault, true, 1); });
        settings.ports.push_back(options.link);
    }
    settings.labels = {"Bay 1=" + settings.ports[0]};
    settings.count = int(std::size(Sockets));
    settings.firmware = firmware;
    settings.table = table;
    settings.workerProgram = MOVA_UPDATE;
    MyValueSpin::AlertSound = [] { ++alerts; };

    StationWindow window(settings);
    window.resize(1024, 768);
    window.show();
    QVERIFY(window.start());
    QTRY_VERIFY_WITH_TIMEOUT(window.over(), 60'000);

    QCOMPARE(window.tiles().size(), std::size(Sockets));
    int failures = 0;
    for (size_t i = 0; i < std::size(Sockets); ++i) {
        const StationTile &tile = *window.tiles()[i];
        const Socket &socket = Sockets[i];
        QCOMPARE(tile.socketName(), QString(socket.name));
        QCOMPARE(tile.resultWord(), tileWord(socket.state));
        if (socket.state == TileState::Updated) {
            QCOMPARE(tile.firmwareText(), QString("FW 67 \u2192 68"));
        } else { // its cause is shown, and the operator called
            QVERIFY2(!tile.message().isEmpty(), qPrintable(tile.socketName()));
            ++failures;
        }
    }
    QCOMPARE(alerts, failures);

    // Started again (after a stop, or once the sockets are named), the station leaves alone
    // the devices that stayed in their sockets, whatever became of them: nobody is called again.
    QVERIFY(window.start());
    QTest::qWait(2500);
    window.stopAfterWriting();
    QTRY_VERIFY_WITH_TIMEOUT(window.over(), 30'000);
    QCOMPARE(alerts, failures);
}

QTEST_MAIN(TestStationWindow)
#include "test_station_window.moc"
