// The station window against emulated devices, one socket each, in one station run: what each
// socket's tile says its device came to, its name, and the alert for each device that needs a
// hand.
#include "alert_sound.h"
#include "batch_summary.h"
#include "cli_run.h"
#include "socket_naming.h"
#include "station_header.h"
#include "station_tile.h"
#include "station_window.h"
#include "table_rows.h"

#include <QtTest>

namespace {

int alerts = 0;

// One socket and what is plugged into it.
struct Socket {
    const char *name;  // the tile's name: a --label, or the link's own
    int hardware;      // the device's hardware version (the build's is 24)
    uint8_t status;    // 0: it may hold a recording
    int battery;       // percent; 0: the device's usual
    const char *fault; // switched on at its second block; null: none
    TileState state;
    const char *says = ""; // words of its message and explanation, which never name an option
};

// The station runs with its battery guard and its question before a recording on.
const Socket Sockets[] = {
    {"Bay 1", 24, 1, 0, nullptr, TileState::Updated},
    // A device this build may not update: refused before a byte is written.
    {"dev1", 30, 1, 0, nullptr, TileState::Failed},
    // Silent after its first block: its firmware was being replaced.
    {"dev2", 24, 1, 0, "block-silent", TileState::MayBeWithoutFirmware, "plug it into a socket again"},
    // Nothing wrong with either: each waits for a person, told the setting that decides.
    {"dev3", 24, 0, 0, nullptr, TileState::PutAside, "ask_before_recording=on in station.conf keeps"},
    {"dev4", 24, 1, 15, nullptr, TileState::PutAside, "not updated: battery_guard=on in station.conf holds"},
};

// After a batch: a device taken out of its socket, one put back within its restart, and the
// next one in a socket, each time the station is started again. The next device fails at its
// second block (an alert), once the tile was looked at while the device was written.
void aDeviceAfterAnother(StationWindow &window, std::vector<std::unique_ptr<PtyEmulator>> &devices)
{
    // A device taken out leaves an empty tile, which still says, small, what it came to.
    const StationTile &taken = *window.tiles()[2];
    devices[2]->unplug();
    QTRY_COMPARE_WITH_TIMEOUT(taken.resultWord(), tileWord(TileState::Empty), 5000);
    QCOMPARE(taken.lastResult(), QString("Last: \u26A0 MAY BE WITHOUT FIRMWARE \u00B7 S/N 0012 \u00B7 FW 67"));

    // Put back within its restart, the device just updated is left as it is, and says so.
    const StationTile &bay = *window.tiles()[0];
    devices[0]->unplug();
    QTRY_COMPARE_WITH_TIMEOUT(bay.resultWord(), tileWord(TileState::Empty), 5000);
    QVERIFY(devices[0]->plug());
    QVERIFY(window.start());
    QTRY_COMPARE_WITH_TIMEOUT(bay.resultWord(), tileWord(TileState::NotWritten), 10'000);
    QVERIFY2(bay.message().startsWith("left as it is"), qPrintable(bay.message()));
    window.stopAfterWriting();
    QTRY_VERIFY_WITH_TIMEOUT(window.over(), 10'000);

    // The next device in that socket: it is written under a tile of its own, never under the
    // banner and firmware of the device before.
    DeviceModel::Config next = quickDevice();
    next.identity.serial = "0020";
    QVERIFY(devices[0]->replaceDevice(next));
    QVERIFY(devices[0]->withModel([](DeviceModel &m) { return m.setFault("block-fatal", true, 1); }));
    QVERIFY(window.start());
    // The batch runs meanwhile; the device's firmware is replaced once it took a block.
    QTRY_VERIFY_WITH_TIMEOUT(devices[0]->withModel([](const DeviceModel &m) { return !m.image().empty(); }), 20'000);
    QCOMPARE(bay.resultWord(), tileWord(TileState::Working));
    QCOMPARE(bay.serial() + " " + bay.firmwareText(), QString("0020 FW 67"));
    QTRY_COMPARE_WITH_TIMEOUT(bay.resultWord(), tileWord(TileState::MayBeWithoutFirmware), 20'000);
    window.stopAfterWriting();
    QTRY_VERIFY_WITH_TIMEOUT(window.over(), 30'000);
}

} // namespace

class TestStationWindow : public QObject, private CliFixture {
    Q_OBJECT
private slots:
    void initTestCase() { qputenv("XDG_CONFIG_HOME", QByteArray(f.path("config").c_str())); }
    void tilesSayWhatEachDeviceCameTo();
    void settingsFiles_data();
    void settingsFiles();
    void tilesOfOutcomes_data();
    void tilesOfOutcomes();
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
        options.device.identity.status = socket.status;
        if (socket.battery != 0)
            options.device.battery.words = {2940, uint16_t(socket.battery)};
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
    settings.devices = int(std::size(Sockets));
    settings.firmware = firmware;
    settings.table = table;
    settings.workerProgram = MOVA_UPDATE;
    settings.batteryGuard = settings.askBeforeRecording = true;
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
        QCOMPARE(tile.socketName() + ": " + tile.resultWord(), QString(socket.name) + ": " + tileWord(socket.state));
        if (socket.state == TileState::Updated) {
            QCOMPARE(tile.firmwareText(), QString("FW 67 \u2192 68"));
        } else { // its cause is shown in the station's words, and the operator called
            const QString said = tile.message() + "\n" + tile.explanation();
            QVERIFY2(!tile.message().isEmpty() && said.contains(socket.says) && !said.contains("--"), qPrintable(said));
            ++failures;
        }
    }
    QCOMPARE(alerts, failures);
    const StationCounts &counts = window.header()->counts(); // those put aside are no failures
    QCOMPARE(QString::asprintf("%d updated, %d failed, %d put aside", counts.updated, counts.failed, counts.aside),
             QString("1 updated, 2 failed, 2 put aside"));

    // Started again (after a stop, or once the sockets are named), the station leaves alone
    // the devices that stayed in their sockets, whatever became of them: nobody is called again.
    QSignalSpy waiting(&window, &StationWindow::waitingForDevices);
    QVERIFY(window.start());
    QVERIFY(waiting.wait(20'000)); // it looked at every socket and started nothing
    window.stopAfterWriting();
    QTRY_VERIFY_WITH_TIMEOUT(window.over(), 30'000);
    QCOMPARE(alerts, failures);

    aDeviceAfterAnother(window, devices); // the next device failed on purpose
    QVERIFY(QTest::currentTestFailed() || alerts == failures + 1);
}

void TestStationWindow::settingsFiles_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("read"); // what the station takes from it, or why it refuses it
    const QString station = "station.conf", sockets = "sockets.conf";
    QTest::newRow("switch words") << station
                                  << QByteArray("[General]\nbattery_guard=ON\nreinstall=No\nallow_older=off\nsound=0\n"
                                                "ask_before_recording=Yes\n")
                                  << "guard 1, reinstall 0, older 0, sound 0, ask 1, /dev/x in x, proposed Bay 1, "
                                     "kept sound 1 guard 1 ask 1";
    QTest::newRow("switch words too") << station
                                      << QByteArray("battery_guard = false\nreinstall=YES\nallow_older=1\nsound=Off\n"
                                                    "ask_before_recording=TRUE\n")
                                      << "guard 0, reinstall 1, older 1, sound 0, ask 1, /dev/x in x";
    QTest::newRow("no switch") << station << QByteArray("reinstall=off\nallow_older=nope\n")
                               << "station.conf:2: allow_older: \"nope\" is no switch";
    QTest::newRow("quote not closed") << station << QByteArray("report=\"report.csv\nbattery_guard=off\n")
                                      << "station.conf:1: report: a quote is not closed";
    QTest::newRow("no key") << station << QByteArray("# a station\nbattery_guard off\n")
                            << "station.conf:2: a setting is KEY=VALUE";
    QTest::newRow("unknown key") << station << QByteArray("battery_gaurd=on\n")
                                 << "station.conf:1: battery_gaurd: no such setting";
    QTest::newRow("key twice") << station << QByteArray("reinstall=no\nsound=on\nreinstall=yes\n")
                               << "station.conf:3: reinstall: given twice";
    // The name the sockets dialog proposes is the socket's own: taking it renames nothing.
    QTest::newRow("socket quoted") << sockets << QByteArray("\"Bay 3\" = \"/dev/x\"\n")
                                   << "guard 0, reinstall 0, older 0, sound 1, ask 0, /dev/x in Bay 3, proposed Bay 3";
    QTest::newRow("other socket named") << sockets << QByteArray("Bay 1=/dev/y\n")
                                        << "guard 0, reinstall 0, older 0, sound 1, ask 0, /dev/x in x, proposed Bay 2";
    QTest::newRow("socket quote not closed") << sockets << QByteArray("Bay 2=/dev/y\nBay 3=\"/dev/x\n")
                                             << "sockets.conf:2: Bay 3: a quote is not closed";
}

// A settings file says what its writer meant, or the station refuses it, saying where.
void TestStationWindow::settingsFiles()
{
    QFETCH(QString, file);
    QFETCH(QByteArray, text);
    QFETCH(QString, read);
    const QString folder = QString::fromStdString(f.path("config")) + "/qtx-mova-update/";
    QFile out(folder + file);
    QVERIFY(QDir().mkpath(folder) && out.open(QIODevice::WriteOnly) && out.write(text) == text.size());
    out.close();
    StationSettings s;
    s.load(StationSettings::standardFile());
    BatchOptions o;
    std::string why;
    QString taken = s.batchOptions(o, why) ? QString::asprintf("guard %d, reinstall %d, older %d, sound %d, ask %d, "
                                                                     "/dev/x in %s, proposed %s", s.batteryGuard,
                                                                     s.reinstall, s.allowOlder, s.sound,
                                                                     s.askBeforeRecording, o.sockets.nameOf("/dev/x").c_str(),
                                                                     proposedSocketName(o.sockets, {}, "/dev/x").c_str())
                                                 : QString::fromStdString(why).remove(folder);
    // The sound switch the operator flips is kept in the file, every other line as it was.
    StationSettings kept;
    if (file == "station.conf" && s.refused.empty() && keepSetting(s.standardFile(), "sound", s.sound ? "off" : "on", why))
        taken += kept.load(s.standardFile()) ? QString::asprintf(", kept sound %d guard %d ask %d", kept.sound,
                                                                 kept.batteryGuard, kept.askBeforeRecording)
                                             : ", kept " + QString::fromStdString(kept.refused).remove(folder);
    QFile::remove(folder + file);
    QVERIFY2(taken.startsWith(read), qPrintable(taken));
}

// What a tile says a device came to, in its large word (a device whose firmware is newer than
// the carried one may be put aside); its battery, red below the guard; how many columns the
// tiles take (as large as they can be, none narrower than 230; as large, the most columns); and
// the pace the header shows, with the updates ended at `ends` minutes, `at` minutes after the
// start. The battery as shown ends in "!" when it is red.
struct TileRow {
    const char *name; Outcome outcome; bool mayBeWithoutFirmware, firmwareNewer; QString word;
    std::optional<int> battery; QString batteryShown; int tiles, width, height, columns;
    std::vector<double> ends = {}; double at = 0; QString pace = "\u2013";
};
Q_DECLARE_METATYPE(TileRow)

void TestStationWindow::tilesOfOutcomes_data()
{
    using O = Outcome;
    addRows<TileRow>({
        // The devices plugged in at the start end together: no pace in the first minutes.
        {"updated", O::Updated, false, false, "UPDATED", 76, "Battery 76 %", 0, 1024, 700, 1, {0.03, 0.05, 0.08}, 0.1},
        {"already current", O::AlreadyCurrent, false, false, "ALREADY CURRENT", {}, "", 1, 1024, 700, 1, {1, 2}, 20}, // too few
        {"refused while written", O::DeviceRefused, true, false, "MAY BE WITHOUT FIRMWARE", 20, "Battery 20 %", 3, 1024, 100, 3,
         {1, 2, 3, 4, 5, 6}, 10, "36"}, // since the start
        {"refused before a byte", O::DeviceRefused, false, false, "FAILED", 19, "Battery 19 %!", 4, 1024, 700, 2,
         {10, 20, 40, 45, 50, 55}, 60, "8"}, // over the last half hour
        {"lost while written", O::DeviceLost, true, false, "MAY BE WITHOUT FIRMWARE", 0, "Battery 0 %!", 4, 1000, 300, 4},
        {"a recording kept", O::Declined, false, false, "PUT ASIDE", {}, "", 5, 1024, 700, 3},
        {"battery under the guard", O::LowBattery, false, false, "PUT ASIDE", 15, "Battery 15 %!", 5, 1024, 700, 3},
        {"newer firmware refused", O::NotAllowed, false, true, "PUT ASIDE", {}, "", 5, 1024, 700, 3},
        {"another hardware refused", O::NotAllowed, false, false, "FAILED", {}, "", 5, 1024, 700, 3},
        {"interrupted", O::Interrupted, false, false, "NOT WRITTEN", {}, "", 5, 460, 700, 2},
        {"skipped", O::Skipped, false, false, "NOT WRITTEN", {}, "", 5, 459, 700, 1},
        {"table not sent", O::TableNotSent, false, false, "FAILED", {}, "", 24, 1920, 1000, 7},
    });
}

void TestStationWindow::tilesOfOutcomes()
{
    QFETCH(TileRow, row);
    QCOMPARE(tileWord(tileStateOf(row.outcome, row.mayBeWithoutFirmware, row.firmwareNewer)), row.word);
    const BatteryShown battery = batteryShown(row.battery);
    QCOMPARE(battery.text + (battery.low ? "!" : ""), row.batteryShown);
    QCOMPARE(tileColumns(row.tiles, QSize(row.width, row.height)), row.columns);
    std::vector<int64_t> ends;
    for (double minutes : row.ends)
        ends.push_back(int64_t(minutes * 60'000));
    const std::optional<double> pace = recentDevicesPerHour(ends, int64_t(row.at * 60'000));
    QCOMPARE(pace ? QString::number(*pace, 'f', 0) : "\u2013", row.pace);
}

QTEST_MAIN(TestStationWindow)
#include "test_station_window.moc"
