// The FTDI road for real: libftdi1 is replaced by a stand-in library with its entry points
// that carries the converter's bytes to the device emulator's pseudo-terminal, so loading,
// discovery by product string, line setup and the doubled commands run as in the program.

#include "abort.h"
#include "clock.h"
#include "discovery.h"
#include "ftdi_road_fixture.h"
#include "handshake.h"
#include "protocol.h"
#include "usb_connection.h"

#include <QTest>

class TestFtdiRoad : public QObject, private FtdiRoadFixture {
    Q_OBJECT

private slots:
    void initTestCase() { setUpOnce(); }
    void init() { setUp(); }
    void cleanup() { tearDown(); }

    void realLibraryFindsNoDockingStation();
    void unusableLibrary_data();
    void unusableLibrary();
    void programLibraryFollowsOverride();
    void findByProductString_data();
    void findByProductString();
    void openFailures_data();
    void openFailures();
    void openSetsUpTheLine();
    void doubledCommandGoesOutTwice();
    void missingSecondEchoFailsTheCommand_data();
    void missingSecondEchoFailsTheCommand();
    void connectHandshakeOnDoubledRoad();
    void readWithTimeoutListensAsAsked_data();
    void readWithTimeoutListensAsAsked();
    void partialReadReportsWhatCame();
    void closedLinkRefusesTransfersAndReopens();
    void openingAgainKeepsOneConverterOpen();
    void pulledConverterFailsPromptly();
};

// ---- the library ----------------------------------------------------------------------

void TestFtdiRoad::realLibraryFindsNoDockingStation()
{
    FtdiLibrary real(FtdiLibrary::defaultName);
    const FtdiApi *api = nullptr;
    QVERIFY_THROWS_NO_EXCEPTION(api = &real.api());
    QVERIFY(api->newContext && api->readData && api->writeData && api->purge && api->errorString);
    // No converter is attached to this machine.
    QCOMPARE(findFtdiDevice(real, DockingStationDescription), -1);
}

void TestFtdiRoad::unusableLibrary_data()
{
    QTest::addColumn<QString>("library");
    QTest::addColumn<QString>("message");
    QTest::newRow("not there") << QString::fromLatin1(NoSuchLibrary)
                               << QStringLiteral("Error by load dll '") + QLatin1String(NoSuchLibrary);
    QTest::newRow("entry point missing") << QStringLiteral(STANDIN_INCOMPLETE_PATH)
                                         << QStringLiteral("Failed to get proc in '" STANDIN_INCOMPLETE_PATH);
}

void TestFtdiRoad::unusableLibrary()
{
    QFETCH(QString, library);
    QFETCH(QString, message);
    FtdiLibrary ftdi(library.toStdString());

    QString thrown;
    try {
        ftdi.api();
    } catch (const Abort &e) {
        thrown = QString::fromStdString(e.message());
    }
    QCOMPARE(thrown, message);

    // Every later use tries the library again and fails the same way, without throwing.
    UsbConnection link(realClock(), UsbConnection::Options {}, nullptr, &ftdi);
    QStringList shown;
    link.setErrorDisplay([&](const std::string &text) { shown << QString::fromStdString(text); });
    bool opened = true;
    QVERIFY_THROWS_NO_EXCEPTION(opened = link.openFtdi(0, true));
    QVERIFY(!opened);
    QVERIFY(!link.isOpen());
    QCOMPARE(QString::fromStdString(link.lastError()), message);
    QCOMPARE(shown, QStringList {QStringLiteral("Cannot open")});

    int index = 0;
    QVERIFY_THROWS_NO_EXCEPTION(index = findFtdiDevice(ftdi, DockingStationDescription));
    QCOMPARE(index, -1);
}

void TestFtdiRoad::programLibraryFollowsOverride()
{
    QCOMPARE(QString::fromStdString(FtdiLibrary::system().name()), QStringLiteral(STANDIN_PATH));
    QVERIFY(startDevice());
    // A connection given no library uses the program's.
    UsbConnection link(realClock());
    QVERIFY2(link.openFtdi(0, false), link.lastError().c_str());
    QVERIFY(link.sendCommand(Cmd::Start, true));
}

// ---- discovery ----------------------------------------------------------------------------

void TestFtdiRoad::findByProductString_data()
{
    QTest::addColumn<QByteArray>("converters"); // "[vvvv:pppp ]product", '|' between converters
    QTest::addColumn<int>("index");
    const QByteArray station = DockingStationDescription;
    QTest::newRow("exact") << station << 0;
    QTest::newRow("other case") << station.toLower() << -1;
    QTest::newRow("longer") << station + " 2" << -1;
    QTest::newRow("shorter") << station.chopped(1) << -1;
    QTest::newRow("trailing blank") << station + ' ' << -1;
    QTest::newRow("second converter") << "FT232R USB UART|" + station << 1;
    QTest::newRow("first of two stations") << station + '|' + station << 0;
    QTest::newRow("no converter") << QByteArray("") << -1;
    // Out of sight of libftdi's own search, which knows only FTDI's ids.
    QTest::newRow("own USB id") << "1209:7001 " + station << 0;
    QTest::newRow("own USB id after another converter") << "FT232R USB UART|1209:7001 " + station << 1;
}

void TestFtdiRoad::findByProductString()
{
    QFETCH(QByteArray, converters);
    QFETCH(int, index);
    qputenv("QTX_STANDIN_DESCRIPTION", converters);
    QCOMPARE(findFtdiDevice(standin_, DockingStationDescription), index);
    if (index < 0)
        return;
    // The index opens that very converter, and commands reach the device through it.
    QVERIFY(startDevice());
    UsbConnection link(realClock(), UsbConnection::Options {}, nullptr, &standin_);
    QVERIFY2(link.openFtdi(index, false), link.lastError().c_str());
    QCOMPARE(QByteArray(recorded().opened), QByteArray(DockingStationDescription));
    QVERIFY(link.sendCommand(Cmd::Start, true));
    QCOMPARE(emulator_->commands(), std::vector<uint8_t> {Cmd::Start});
}

// ---- opening ------------------------------------------------------------------------------

void TestFtdiRoad::openFailures_data()
{
    QTest::addColumn<QByteArray>("converters");
    QTest::addColumn<bool>("portThere");
    QTest::addColumn<int>("index");
    QTest::addColumn<bool>("showErrors");
    QTest::addColumn<QString>("error"); // a part of lastError()
    const QByteArray station = DockingStationDescription;
    QTest::newRow("port missing") << station << false << 0 << true << QStringLiteral("libusb_open() failed");
    QTest::newRow("port missing, quiet") << station << false << 0 << false << QStringLiteral("libusb_open() failed");
    QTest::newRow("index past the list") << station << true << 1 << true << QStringLiteral("no such device");
    QTest::newRow("negative index") << station << true << -1 << true << QStringLiteral("no such device");
    QTest::newRow("no converter") << QByteArray("") << true << 0 << true << QStringLiteral("no such device");
}

void TestFtdiRoad::openFailures()
{
    QFETCH(QByteArray, converters);
    QFETCH(bool, portThere);
    QFETCH(int, index);
    QFETCH(bool, showErrors);
    QFETCH(QString, error);
    qputenv("QTX_STANDIN_DESCRIPTION", converters);
    if (portThere)
        QVERIFY(startDevice());
    else
        qputenv("QTX_STANDIN_PORT", (folder_.path() + QStringLiteral("/gone")).toLocal8Bit());

    UsbConnection link(realClock(), UsbConnection::Options {}, nullptr, &standin_);
    QStringList shown;
    link.setErrorDisplay([&](const std::string &text) { shown << QString::fromStdString(text); });
    QVERIFY(!link.openFtdi(index, showErrors));
    QVERIFY(!link.isOpen());
    QVERIFY2(QString::fromStdString(link.lastError()).contains(error), link.lastError().c_str());
    QCOMPARE(shown, showErrors ? QStringList {QStringLiteral("Cannot open")} : QStringList {});
    QCOMPARE(recorded().live_contexts, contextsBefore_); // a failed open keeps no context
    uint8_t byte = Cmd::Start;
    QVERIFY(!link.write(&byte, 1));
}

void TestFtdiRoad::openSetsUpTheLine()
{
    QVERIFY(startDevice());
    UsbConnection link(realClock(), UsbConnection::Options {}, nullptr, &standin_);
    QVERIFY2(link.openFtdi(0, true), link.lastError().c_str());
    QVERIFY(link.isOpen());
    QVERIFY(link.onFtdiRoad());
    QVERIFY(link.doubled());
    const standin_settings &s = recorded();
    QCOMPARE(s.opens, 1);
    QCOMPARE(s.baudrate, 460800);
    QCOMPARE(s.bits, int(BITS_8));
    QCOMPARE(s.stop_bits, int(STOP_BIT_1));
    QCOMPARE(s.parity, int(NONE));
    QCOMPARE(s.latency, 5);
    QCOMPARE(s.chunk_size, 2048);
    QCOMPARE(s.flushes, 1);
    // The transfer time-outs the converter is given at open.
    QVERIFY(link.sendCommand(Cmd::Probe, false));
    QCOMPARE(s.write_timeout, 800);
    QCOMPARE(s.read_timeout, 1000);
}

// ---- commands -----------------------------------------------------------------------------

void TestFtdiRoad::doubledCommandGoesOutTwice()
{
    QVERIFY(startDevice());
    UsbConnection link(realClock(), UsbConnection::Options {}, nullptr, &standin_);
    QVERIFY2(link.openFtdi(0, false), link.lastError().c_str());
    QVERIFY(link.sendCommand(Cmd::Start, true));
    QVERIFY(emulator_->waitForCommand(Cmd::Start, 1, 1000));
    // Both copies echoed; the device acted once and answered its one reply byte.
    QCOMPARE(wire(emulator_->trace()), QStringLiteral("<90 >90 <90 >90 >00"));
    QCOMPARE(emulator_->commands(), std::vector<uint8_t> {Cmd::Start});
    uint8_t reply = 0xFF;
    QVERIFY(link.read(&reply, 1));
    QCOMPARE(reply, uint8_t(0x00));
}

void TestFtdiRoad::missingSecondEchoFailsTheCommand_data()
{
    QTest::addColumn<int>("command");
    QTest::addColumn<QString>("expectedWire");
    QTest::addColumn<int>("minMs"); // how long the road must have listened for the echo
    // The reply byte arrives where the second echo should be.
    QTest::newRow("start") << int(Cmd::Start) << QStringLiteral("<90 >90 <90 >00") << 0;
    // Nothing arrives (a command the device takes without a reply): the standing read time
    // runs out.
    QTest::newRow("no reply") << 0x42 << QStringLiteral("<42 >42 <42") << 900;
}

void TestFtdiRoad::missingSecondEchoFailsTheCommand()
{
    QFETCH(int, command);
    QFETCH(QString, expectedWire);
    QFETCH(int, minMs);
    QVERIFY(startDevice("no-second-echo", command));
    UsbConnection link(realClock(), UsbConnection::Options {}, nullptr, &standin_);
    QVERIFY2(link.openFtdi(0, false), link.lastError().c_str());
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!link.sendCommand(uint8_t(command), true));
    QVERIFY(elapsedMs(timer) >= minMs);
    QVERIFY(elapsedMs(timer) < 1500);
    QCOMPARE(wire(emulator_->trace()), expectedWire);
    // The first half went through: the command was not refused on its first echo.
    QCOMPARE(emulator_->commands(), std::vector<uint8_t> {uint8_t(command)});
}

void TestFtdiRoad::connectHandshakeOnDoubledRoad()
{
    QVERIFY(startDevice());
    UsbConnection link(realClock(), UsbConnection::Options {}, nullptr, &standin_);
    QVERIFY2(link.openFtdi(0, false), link.lastError().c_str());
    QVERIFY(connectHandshake(link));
    // 0xEE goes single even here; 0x90 goes doubled and is carried out once.
    QCOMPARE(wire(emulator_->trace()), QStringLiteral("<EE >EE >01 <90 >90 <90 >90 >00"));
    QCOMPARE(emulator_->commands(), (std::vector<uint8_t> {Cmd::StatusShort, Cmd::Start}));
}

// ---- reading ------------------------------------------------------------------------------

void TestFtdiRoad::readWithTimeoutListensAsAsked_data()
{
    QTest::addColumn<int>("askedMs");
    QTest::addColumn<int>("minMs");
    QTest::addColumn<int>("maxMs");
    // Well below the tty road's fixed 500 ms, and above it.
    QTest::newRow("100 ms") << 100 << 90 << 300;
    QTest::newRow("700 ms") << 700 << 690 << 900;
}

void TestFtdiRoad::readWithTimeoutListensAsAsked()
{
    QFETCH(int, askedMs);
    QFETCH(int, minMs);
    QFETCH(int, maxMs);
    QVERIFY(startDevice());
    UsbConnection link(realClock(), UsbConnection::Options {}, nullptr, &standin_);
    QVERIFY2(link.openFtdi(0, false), link.lastError().c_str());

    uint8_t buffer[4] = {};
    int received = -1;
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!link.readWithTimeout(buffer, sizeof buffer, &received, askedMs));
    const int64_t took = elapsedMs(timer);
    QVERIFY2(took >= minMs && took <= maxMs, qPrintable(QStringLiteral("listened %1 ms").arg(took)));
    QCOMPARE(received, 0);
    QCOMPARE(recorded().read_timeout, askedMs);

    // The standing time-out is back for the reads after it.
    QVERIFY(link.sendCommand(Cmd::Probe, false));
    QCOMPARE(recorded().read_timeout, 1000);
}

void TestFtdiRoad::partialReadReportsWhatCame()
{
    QVERIFY(startDevice());
    UsbConnection link(realClock(), UsbConnection::Options {}, nullptr, &standin_);
    QVERIFY2(link.openFtdi(0, false), link.lastError().c_str());
    QVERIFY(link.sendCommand(Cmd::DeviceInfo, true));

    // The identity record is 15 bytes with its status; ask for more than come.
    uint8_t buffer[20] = {};
    int received = -1;
    QVERIFY(!link.readWithTimeout(buffer, sizeof buffer, &received, 150));
    QCOMPARE(received, 15);
    const std::vector<uint8_t> expected = {24, '0', '0', '4', '2', '6', '8', '2', '1', '1', '0', '1', '9', 0x00, 0x01};
    QCOMPARE(std::vector<uint8_t>(buffer, buffer + received), expected);
}

// ---- closing, reopening, losing the converter ------------------------------------------------

void TestFtdiRoad::closedLinkRefusesTransfersAndReopens()
{
    QVERIFY(startDevice());
    UsbConnection link(realClock(), UsbConnection::Options {}, nullptr, &standin_);
    QVERIFY2(link.openFtdi(0, false), link.lastError().c_str());
    link.close();
    QVERIFY(!link.isOpen());
    QCOMPARE(recorded().closes, 1);
    QCOMPARE(recorded().live_contexts, contextsBefore_);

    uint8_t byte = Cmd::Start;
    int received = -1;
    QVERIFY(!link.write(&byte, 1));
    QVERIFY(!link.read(&byte, 1, &received));
    QCOMPARE(received, 0);
    QVERIFY(!link.readWithTimeout(&byte, 1, &received, 50));
    QVERIFY(!link.sendCommand(Cmd::Start, true));
    QVERIFY(!link.purge());
    QVERIFY(emulator_->trace().empty()); // nothing reached the device

    QVERIFY2(link.openFtdi(0, false), link.lastError().c_str());
    QCOMPARE(recorded().opens, 2);
    QVERIFY(link.sendCommand(Cmd::Start, true));
    QVERIFY(link.purge());
}

void TestFtdiRoad::openingAgainKeepsOneConverterOpen()
{
    QVERIFY(startDevice());
    UsbConnection link(realClock(), UsbConnection::Options {}, nullptr, &standin_);
    QVERIFY2(link.openFtdi(0, false), link.lastError().c_str());
    // As after a device reset, when the program opens the converter once more.
    QVERIFY2(link.openFtdi(0, false), link.lastError().c_str());
    QCOMPARE(recorded().opens - recorded().closes, 1);
    QCOMPARE(recorded().live_contexts, contextsBefore_ + 1);
    QVERIFY(link.sendCommand(Cmd::Start, true));
}

void TestFtdiRoad::pulledConverterFailsPromptly()
{
    QVERIFY(startDevice());
    UsbConnection link(realClock(), UsbConnection::Options {}, nullptr, &standin_);
    QVERIFY2(link.openFtdi(0, false), link.lastError().c_str());
    QVERIFY(link.sendCommand(Cmd::Start, true));
    uint8_t reply = 0;
    QVERIFY(link.read(&reply, 1));

    QVERIFY(!link.deviceLost());

    emulator_->unplug();
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!link.read(&reply, 1)); // not the whole standing second
    QVERIFY(!link.sendCommand(Cmd::Start, true));
    QVERIFY2(elapsedMs(timer) < 300, qPrintable(QStringLiteral("took %1 ms").arg(elapsedMs(timer))));
    QVERIFY(link.deviceLost());

    // Plugged back in, it is found and opened again as a fresh device.
    link.close();
    QVERIFY(emulator_->plug());
    QVERIFY2(link.openFtdi(findFtdiDevice(standin_, DockingStationDescription), false), link.lastError().c_str());
    QVERIFY(!link.deviceLost());
    QVERIFY(link.sendCommand(Cmd::Start, true));
}

QTEST_GUILESS_MAIN(TestFtdiRoad)
#include "test_ftdi_road.moc"
