// The window finds, identifies and watches the device by itself: offscreen, against the
// emulator on a pseudo-terminal (and through the stand-in libftdi on the FTDI road).
#include "clock.h"
#include "emulator_fixture.h"
#include "ftdi_api.h"
#include "kvl_update.h"
#include "message_box_answerer.h"
#include "my_value_spin_edit.h"
#include "protocol.h"
#include "usb_connection.h"
#include "update_rig.h"
#include "virtual_device.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <QTemporaryFile>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <unistd.h>
#include <sys/stat.h>

using Bytes = std::vector<uint8_t>;

namespace {

std::unique_ptr<TKVLUpdate> window(const std::string &path, const char *hardware = "24",
                                   FtdiLibrary *ftdi = nullptr)
{
    auto w = std::make_unique<TKVLUpdate>(QStringList {"QTX_MOVA_Update", QString::fromStdString(path)}, realClock(),
                                          std::make_unique<UsbConnection>(realClock(), UsbConnection::Options {},
                                                                          nullptr, ftdi),
                                          BuildSettings {"Corvane MOVA FW 68 from 19.10.21", hardware});
    w->AccuTimer->stop(); // the tests tick by hand unless they wait for the timer
    w->show();
    return w;
}

// What `action` wrote to standard error.
QByteArray standardErrorOf(const std::function<void()> &action)
{
    QTemporaryFile capture;
    if (!capture.open())
        return "cannot capture standard error";
    std::cerr.flush();
    const int saved = ::dup(STDERR_FILENO);
    ::dup2(capture.handle(), STDERR_FILENO);
    action();
    std::cerr.flush();
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    capture.seek(0);
    return capture.readAll();
}

QColor colour(QLabel *label)
{
    return label->palette().color(QPalette::WindowText);
}

} // namespace

class TestWindowMonitor : public QObject {
    Q_OBJECT
private slots:
    void firstTickFindsTheDevice();
    void readoutFillsTheServiceFields();
    void enableRule_data();
    void enableRule();
    void noConnection_data();
    void noConnection();
    void clickWhileTheDeviceIsReadStartsNothing();
    void headerKeepsTheSerialText_data();
    void headerKeepsTheSerialText();
    void cancelEndsTheProgram();
    void hostilePaths_data();
    void hostilePaths();
    void lowBatteryIsRed();
    void unpluggedAndPluggedBack();
    void ftdiRoadTick();
};

void TestWindowMonitor::firstTickFindsTheDevice()
{
    EmulatorFixture f;
    QVERIFY(f.start());
    QElapsedTimer timer;
    timer.start();
    auto w = window(f.link());
    w->AccuTimer->start(); // as the window starts: the first look after 500 ms
    QTRY_COMPARE_WITH_TIMEOUT(w->GeraetLabel->text(), QString("FW 68 from 19.10.21, SerialNr: 0042"), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(w->AccuLabel->text(), QString("Accu: 76 %"), 2000);
    QVERIFY(timer.elapsed() >= 500);
    QCOMPARE(colour(w->AccuLabel), QColor(0, 128, 0));
    QCOMPARE(colour(w->GeraetLabel), QColor(0, 0, 255));
    QVERIFY(w->UpdateButton->isEnabled());
    QCOMPARE(w->AccuTimer->interval(), 10'000);
    QVERIFY(w->AccuTimer->isActive());
    QVERIFY(QApplication::overrideCursor() == nullptr); // the hourglass is gone again
}

void TestWindowMonitor::readoutFillsTheServiceFields()
{
    EmulatorFixture f;
    DeviceModel::Config config;
    config.identity.serial = "1234";
    config.identity.deviceInfo = 0xFF;
    config.calibration = Bytes {0x64, 0x65, 0x66, 0x67, 0xFE, 0x00, 0x05, 0x00};
    QVERIFY(f.start(config));
    auto w = window(f.link());
    w->AccuTimerTimer();
    QCOMPARE(w->SerialNrEdit->text(), QString("1234"));
    QCOMPARE(w->DeviceInfoEdit->text(), QString("0x1"));
    QCOMPARE(w->deviceInfoTag(), 1);
    QCOMPARE(w->KoefXEdit->Value(), 100L);
    QCOMPARE(w->KoefYEdit->Value(), 101L);
    QCOMPARE(w->KoefZEdit->Value(), 102L);
    QCOMPARE(w->KoefMEdit->Value(), 103L);
    QCOMPARE(w->OffsXEdit->Value(), -2L);
    QCOMPARE(w->OffsYEdit->Value(), 0L);
    QCOMPARE(w->OffsZEdit->Value(), 5L);
    QVERIFY(!w->KoefXEdit->isVisible()); // a store, never shown
    QCOMPARE(f.emulator->commands(), (Bytes {Cmd::StatusShort, Cmd::Start, Cmd::DeviceInfo, Cmd::Calibration,
                                             Cmd::BatteryExtended}));

    // Without a calibration reply the defaults stand.
    f.emulator->withModel([](DeviceModel &m) {
        m.config().calibration.reset();
        return 0;
    });
    w->link()->close();
    w->AccuTimerTimer();
    QCOMPARE(w->KoefXEdit->Value(), 100L);
    QCOMPARE(w->OffsXEdit->Value(), 0L);
}

void TestWindowMonitor::enableRule_data()
{
    QTest::addColumn<int>("hardware");
    QTest::addColumn<QString>("firmware");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<QString>("why"); // beside the button, its tooltip's first words
    QTest::newRow("match, firmware 68") << 24 << "68" << true << "";
    QTest::newRow("match, firmware 06") << 24 << "06" << false << "Firmware too old";
    QTest::newRow("match, firmware 07") << 24 << "07" << true << "";
    QTest::newRow("hardware 23 for a build of 24") << 23 << "68" << false << "Other hardware";
}

void TestWindowMonitor::enableRule()
{
    QFETCH(int, hardware);
    QFETCH(QString, firmware);
    QFETCH(bool, enabled);
    EmulatorFixture f;
    DeviceModel::Config config;
    config.identity.hardwareVersion = uint8_t(hardware);
    config.identity.firmwareVersion = firmware.toStdString();
    QVERIFY(f.start(config));
    auto w = window(f.link());
    w->AccuTimerTimer();
    QCOMPARE(w->UpdateButton->isEnabled(), enabled);
    QFETCH(QString, why);
    QCOMPARE(w->RefusalLabel->text(), why);
    QCOMPARE(w->UpdateButton->toolTip().startsWith("Not updated: the device"), !why.isEmpty());
}

void TestWindowMonitor::noConnection_data()
{
    QTest::addColumn<QString>("situation");
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("question"); // empty: no box
    QTest::addColumn<int>("interval");
    QTest::addColumn<QString>("hint"); // on standard error; empty: none
    QTest::newRow("nothing found") << "none" << "No connection - Corvane not connected"
                                   << "Corvane not connected\nPlease connect Corvane and press OK." << 1000 << "";
    QTest::newRow("nothing at the path") << "file" << "No connection - Initialise error" << "" << 10'000 << ": not found";
    QTest::newRow("held by another program") << "busy" << "No connection - Initialise error" << "" << 10'000
                                             << "is in use by another program";
    QTest::newRow("no permission") << "denied" << "No connection - Initialise error" << "" << 10'000
                                   << "install the udev rules /usr/lib/udev/rules.d/70-mova-update.rules";
    QTest::newRow("device silent") << "silent" << "No connection - Device not connected or offline"
                                   << "Device not connected or offline\nPlease turn on the Device, connect it and press OK."
                                   << 1000 << "";
    QTest::newRow("no identity") << "no identity" << "No connection - Communications error" << "" << 10'000 << "";
}

void TestWindowMonitor::noConnection()
{
    QFETCH(QString, situation);
    QFETCH(QString, line);
    QFETCH(QString, question);
    QFETCH(int, interval);
    QFETCH(QString, hint);
    EmulatorFixture f;
    QVERIFY(f.start());
    std::string path = f.link();
    UsbConnection holder(realClock());
    if (situation == "busy")
        QVERIFY(holder.openComPort(path, false));
    if (situation == "denied") {
        if (geteuid() == 0)
            QSKIP("root opens whatever the permissions say");
        QCOMPARE(::chmod(f.emulator->slavePath().c_str(), 0), 0);
    }
    if (situation == "none")
        path.clear();
    if (situation == "file")
        path = f.path("plain-file");
    if (situation == "silent")
        f.emulator->withModel([](DeviceModel &m) { return m.setFault("silence", true); });
    if (situation == "no identity")
        f.emulator->withModel([](DeviceModel &m) { return m.setFault("silence", true, Cmd::DeviceInfo); });
    auto w = window(path);
    w->session().findPort = [] { return std::string(); };
    MessageBoxAnswerer operatorAnswers(QMessageBox::Ok);
    const QByteArray errors = standardErrorOf([&] { w->AccuTimerTimer(); });
    QVERIFY2(hint.isEmpty() ? !errors.contains("QTX_MOVA_Update:")
                            : errors.contains("QTX_MOVA_Update: ") && errors.contains(QByteArray::fromStdString(path)) &&
                                  errors.contains(hint.toUtf8()),
             errors.constData());
    QCOMPARE(w->GeraetLabel->text(), line);
    QCOMPARE(operatorAnswers.texts.isEmpty() ? QString() : operatorAnswers.texts.first(), question);
    if (!question.isEmpty())
        QCOMPARE(operatorAnswers.captions.first(), QString("No connection"));
    QCOMPARE(w->AccuTimer->interval(), interval);
    QVERIFY(w->AccuTimer->isActive());
    QVERIFY(w->isVisible());
    QVERIFY(!w->UpdateButton->isEnabled());
    QVERIFY(!w->link()->isOpen());
    QVERIFY(QApplication::overrideCursor() == nullptr);
}

void TestWindowMonitor::clickWhileTheDeviceIsReadStartsNothing()
{
    // In virtual time: the readout's wait between identity and calibration lets clicks in.
    VirtualClock clock;
    VirtualDevice device(clock, "/dev/ttyMOVA-virtual");
    TKVLUpdate w(QStringList {"QTX_MOVA_Update", "/dev/ttyMOVA-virtual"}, clock,
                 std::make_unique<UsbConnection>(clock, UsbConnection::Options {}, device.wire()),
                 BuildSettings {"Corvane MOVA FW 68 from 19.10.21", "24"});
    w.AccuTimer->stop();
    MessageBoxAnswerer operatorAnswers(QMessageBox::Ok);
    int clicks = 0;
    clock.onPump = [&] {
        const auto &commands = device.model().commands();
        if (!commands.empty() && commands.back() == Cmd::DeviceInfo) {
            w.UpdateButton->click(); // as the mouse would
            w.UpdateButtonClick();   // as a click let in before the button followed
            ++clicks;
        }
    };
    w.AccuTimerTimer();
    clock.onPump = nullptr;
    QVERIFY(clicks > 0);
    QVERIFY(w.UpdateButton->isEnabled()); // once the calibration is in
    QCOMPARE(device.model().commands(), (Bytes {Cmd::StatusShort, Cmd::Start, Cmd::DeviceInfo, Cmd::Calibration,
                                                Cmd::BatteryExtended}));
    QVERIFY(operatorAnswers.texts.isEmpty());
    QVERIFY(!w.updateRunning());
}

// The window's image keeps the serial as the device's text: up to its first zero byte, its last
// four characters behind '0's; the same rule the command line and a batch follow.
void TestWindowMonitor::headerKeepsTheSerialText_data()
{
    QTest::addColumn<QByteArray>("serial");
    QTest::addColumn<QByteArray>("header");
    QTest::newRow("a zero byte ends the text") << QByteArray::fromHex("41004243") << QByteArray("000A");
    QTest::newRow("blank") << QByteArray::fromHex("00000000") << QByteArray("0000");
    QTest::newRow("unprogrammed, byte for byte") << QByteArray::fromHex("FFFFFFFF") << QByteArray::fromHex("FFFFFFFF");
}

void TestWindowMonitor::headerKeepsTheSerialText()
{
    QFETCH(QByteArray, serial);
    QFETCH(QByteArray, header);
    VirtualClock clock;
    DeviceModel::Config config;
    config.identity.serial = serial.toStdString();
    VirtualDevice device(clock, "/dev/ttyMOVA-virtual", config);
    TKVLUpdate w(QStringList {"QTX_MOVA_Update", "/dev/ttyMOVA-virtual"}, clock,
                 std::make_unique<UsbConnection>(clock, UsbConnection::Options {}, device.wire()),
                 BuildSettings {"Corvane MOVA FW 68 from 19.10.21", "24"});
    w.AccuTimer->stop();
    QTemporaryDir dir;
    const auto write = [&](const char *name, const QByteArray &bytes) {
        QFile f(dir.filePath(name));
        return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size() ? f.fileName().toStdString() : "";
    };
    w.payloads = {write("firmware.hex", hexText(imageBytes(1024))), write("language.tra", "LANG")};
    MessageBoxAnswerer operatorAnswers(QMessageBox::Ok);
    w.AccuTimerTimer();
    QVERIFY(w.UpdateButton->isEnabled());
    w.UpdateButtonClick();
    QCOMPARE(operatorAnswers.texts.last(), QString(TableSuccess));
    const Bytes image = device.model().image();
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(image.data()) + 0x200, 4), header);
}

void TestWindowMonitor::cancelEndsTheProgram()
{
    auto w = window("");
    w->session().findPort = [] { return std::string(); };
    MessageBoxAnswerer operatorAnswers(QMessageBox::Cancel);
    w->AccuTimerTimer();
    QCOMPARE(operatorAnswers.texts.size(), 1);
    QVERIFY(!w->isVisible());
}

void TestWindowMonitor::hostilePaths_data()
{
    QTest::addColumn<QString>("kind");
    for (const char *kind : {"regular file", "directory", "fifo", "symlink to a regular file", "missing", "10000 characters"})
        QTest::newRow(kind) << kind;
}

void TestWindowMonitor::hostilePaths()
{
    QFETCH(QString, kind);
    QTemporaryDir dir;
    const QString file = dir.filePath("notes.txt");
    {
        QFile out(file);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write("keep me\n");
    }
    QString path = file;
    if (kind == "directory")
        path = dir.path();
    else if (kind == "fifo")
        QCOMPARE(mkfifo((path = dir.filePath("fifo")).toLocal8Bit(), 0600), 0);
    else if (kind == "symlink to a regular file")
        QVERIFY(QFile::link(file, path = dir.filePath("link")));
    else if (kind == "missing")
        path = dir.filePath("nothing");
    else if (kind == "10000 characters")
        path = QString(10000, QLatin1Char('x'));
    auto w = window(path.toStdString());
    QElapsedTimer timer;
    timer.start();
    w->AccuTimerTimer();
    QVERIFY(timer.elapsed() < 1000); // nothing to wait for
    QCOMPARE(w->GeraetLabel->text(), QString("No connection - Initialise error"));
    QFile in(file);
    QVERIFY(in.open(QIODevice::ReadOnly));
    QCOMPARE(in.readAll(), QByteArray("keep me\n"));
}

void TestWindowMonitor::lowBatteryIsRed()
{
    EmulatorFixture f;
    DeviceModel::Config config;
    config.battery.mode = DeviceModel::BatteryMode::RawOnly; // 0x5A unknown: 0x65 answers
    config.battery.raw = 2845;
    QVERIFY(f.start(config));
    auto w = window(f.link());
    w->AccuTimerTimer();
    QCOMPARE(w->AccuLabel->text(), QString("Accu: 53 %"));
    QCOMPARE(colour(w->AccuLabel), QColor(255, 0, 0));
}

void TestWindowMonitor::unpluggedAndPluggedBack()
{
    EmulatorFixture f;
    QVERIFY(f.start());
    auto w = window(f.link());
    w->AccuTimerTimer();
    QCOMPARE(w->GeraetLabel->text(), QString("FW 68 from 19.10.21, SerialNr: 0042"));
    f.emulator->unplug();
    w->AccuTimerTimer();
    QCOMPARE(w->AccuLabel->text(), QString("N/A"));
    QVERIFY(!w->link()->isOpen());
    QVERIFY(!w->UpdateButton->isEnabled());
    w->AccuTimerTimer(); // the given path is gone
    QCOMPARE(w->GeraetLabel->text(), QString("No connection - Initialise error"));
    QVERIFY(f.emulator->plug());
    w->AccuTimerTimer();
    QCOMPARE(w->GeraetLabel->text(), QString("FW 68 from 19.10.21, SerialNr: 0042"));
    QCOMPARE(w->AccuLabel->text(), QString("Accu: 76 %"));
    QVERIFY(w->UpdateButton->isEnabled());
}

void TestWindowMonitor::ftdiRoadTick()
{
    EmulatorFixture f;
    DeviceModel::Config config;
    config.doubledRoad = true;
    QVERIFY(f.start(config));
    qputenv("QTX_STANDIN_PORT", QByteArray::fromStdString(f.link()));
    qunsetenv("QTX_STANDIN_DESCRIPTION");
    FtdiLibrary standin(STANDIN_PATH);
    auto w = window("", "0", &standin); // a build that names no hardware version takes the FTDI road
    w->AccuTimerTimer();
    QCOMPARE(w->GeraetLabel->text(), QString("FW 68 from 19.10.21, SerialNr: 0042"));
    QCOMPARE(w->AccuLabel->text(), QString("Accu: 76 %"));
    QVERIFY(w->UpdateButton->isEnabled());
    QVERIFY(w->link()->onFtdiRoad());
    // Every command but the handshake's 0xEE and any probe came twice.
    Bytes into = f.bytes('<');
    QCOMPARE(into, (Bytes {0xEE, 0x90, 0x90, 0x66, 0x66, 0x68, 0x68, 0x5A, 0x5A}));
    // Closing says goodbye, doubled too.
    QVERIFY(w->close());
    into = f.bytes('<');
    QCOMPARE(Bytes(into.end() - 2, into.end()), (Bytes {0x70, 0x70}));
}

QTEST_MAIN(TestWindowMonitor)
#include "test_window_monitor.moc"
