// The window finds, identifies and watches the device by itself: offscreen, against the
// emulator on a pseudo-terminal (and through the stand-in libftdi on the FTDI road).
#include "clock.h"
#include "emulator_fixture.h"
#include "ftdi_api.h"
#include "kvl_update.h"
#include "message_box_answerer.h"
#include "readout.h"
#include "protocol.h"
#include "table_rows.h"
#include "usb_connection.h"
#include "virtual_device.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <QTemporaryFile>
#include <functional>
#include <iostream>
#include <optional>
#include <unistd.h>
#include <sys/stat.h>

using Bytes = std::vector<uint8_t>;

namespace {

const QString DeviceLine = "FW 67 from 19.10.21, SerialNr: 0042", InitialiseError = "No connection - Initialise error";
const QColor Green(0, 128, 0), Red(255, 0, 0);

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

long residentKiB()
{
    QFile status("/proc/self/status");
    status.open(QIODevice::ReadOnly);
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    return -1;
}

int openDescriptors()
{
    return int(QDir("/proc/self/fd").entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size());
}

// The device's hardware, firmware and battery reading (0: its usual 76 %); the button, why it
// is refused (beside it, its tooltip's first words) and the battery as shown.
struct TickRow {
    const char *name;
    int hardware;
    const char *firmware;
    int batteryRaw;
    bool enabled;
    QString why, accu;
    QColor accuColour;
};

// How the window is given no device it can use: its line, its question (empty: no box) and the
// operator's answer, its next look, and its hint on standard error (empty: none). A device that
// does not answer is the monitor's own test: the window shows its lines and questions as here.
struct NoDeviceRow {
    const char *name, *situation;
    QString line, question, hint;
    int interval = 10'000;
    QMessageBox::StandardButton answer = QMessageBox::Ok;
};

// A device pulled out and plugged back in, `cycles` times, after `warmUp` more; the soak
// measures the process's memory and descriptors after its warm-up.
struct ReplugRow { const char *name; bool ftdi; int cycles, warmUp; };

} // namespace

class TestWindowMonitor : public QObject {
    Q_OBJECT
private slots:
    void firstTickFindsAndReadsTheDevice()
    {
        EmulatorFixture f;
        DeviceModel::Config config;
        config.identity.serial = "1234";
        QVERIFY(f.start(config));
        QElapsedTimer timer;
        timer.start();
        auto w = window(f.link());
        w->AccuTimer->start(); // as the window starts: the first look after 500 ms
        QTRY_COMPARE_WITH_TIMEOUT(w->GeraetLabel->text(), QString("FW 67 from 19.10.21, SerialNr: 1234"), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(w->AccuLabel->text(), QString("Accu: 76 %"), 2000);
        QVERIFY(timer.elapsed() >= 500);
        QCOMPARE(colour(w->GeraetLabel), QColor(0, 0, 255));
        QCOMPARE(w->AccuTimer->interval(), 10'000);
        QVERIFY(w->AccuTimer->isActive());
        QVERIFY(QApplication::overrideCursor() == nullptr); // the hourglass is gone again
        // The run's facts, as the readout took them in, are the polling tick's own test.
        QCOMPARE(serialBytes(w->deviceRecord()), std::string("1234"));
    }
    void tick_data()
    {
        addRows<TickRow>({
            {"match, firmware 06", 24, "06", 0, false, "Firmware too old", "Accu: 76 %", Green},
            {"match, firmware 07", 24, "07", 0, true, "", "Accu: 76 %", Green},
            {"hardware 23 for a build of 24", 23, "68", 0, false, "Other hardware", "Accu: 76 %", Green},
            // 0x5A unknown: 0x65 answers.
            {"match, firmware 68, the battery low: red", 24, "68", 2845, true, "", "Accu: 53 %", Red},
        });
    }
    void tick()
    {
        QFETCH(TickRow, row);
        EmulatorFixture f;
        DeviceModel::Config config;
        config.identity.hardwareVersion = uint8_t(row.hardware);
        config.identity.firmwareVersion = row.firmware;
        if (row.batteryRaw) {
            config.battery.mode = DeviceModel::BatteryMode::RawOnly;
            config.battery.raw = uint16_t(row.batteryRaw);
        }
        QVERIFY(f.start(config));
        auto w = window(f.link());
        w->AccuTimerTimer();
        QCOMPARE(w->UpdateButton->isEnabled(), row.enabled);
        QCOMPARE(w->focusWidget() == w->UpdateButton, row.enabled); // Space and Return press it, no Tab first
        QCOMPARE(w->RefusalLabel->text(), row.why);
        QCOMPARE(w->UpdateButton->toolTip().startsWith("Not updated: the device"), !row.why.isEmpty());
        QCOMPARE(w->AccuLabel->text(), row.accu);
        QCOMPARE(colour(w->AccuLabel), row.accuColour);
    }
    // Every reconnection shows the device again. On the FTDI road through the stand-in library
    // it is the soak (a test of its own, QTX_SOAK_CYCLES times): the memory and descriptors
    // stay flat.
    void pulledAndPluggedAgain_data()
    {
        const int soak = qEnvironmentVariableIntValue("QTX_SOAK_CYCLES");
        addRows<ReplugRow>({{"tty road", false, 1, 0}, {"FTDI road", true, std::max(soak, 1), soak > 0 ? 5 : 0}});
    }
    void pulledAndPluggedAgain()
    {
        QFETCH(ReplugRow, row);
        EmulatorFixture f;
        DeviceModel::Config config;
        config.doubledRoad = row.ftdi;
        QVERIFY(f.start(config));
        qputenv("QTX_STANDIN_PORT", QByteArray::fromStdString(f.link()));
        qunsetenv("QTX_STANDIN_DESCRIPTION");
        std::optional<FtdiLibrary> standin;
        if (row.ftdi)
            standin.emplace(STANDIN_PATH);
        // A build that names no hardware version takes the FTDI road.
        auto w = row.ftdi ? window("", "0", &*standin) : window(f.link());
        QElapsedTimer timer;
        timer.start();
        const int warmUp = row.warmUp;
        long rssAtStart = 0;
        int descriptorsAtStart = 0;
        for (int cycle = 0; cycle < row.cycles + warmUp; ++cycle) {
            if (cycle == warmUp)
                rssAtStart = residentKiB(), descriptorsAtStart = openDescriptors();
            w->AccuTimerTimer();
            QVERIFY2(w->GeraetLabel->text() == DeviceLine && w->UpdateButton->isEnabled(),
                     qPrintable(QString("cycle %1: %2").arg(cycle).arg(w->GeraetLabel->text())));
            // On the FTDI road every command but the handshake's 0xEE and any probe comes twice.
            if (row.ftdi && cycle == 0)
                QCOMPARE(f.bytes('<'), (Bytes {0xEE, 0x90, 0x90, 0x66, 0x66, 0x68, 0x68, 0x5A, 0x5A}));
            QCOMPARE(w->link()->onFtdiRoad(), row.ftdi);
            f.emulator->unplug();
            w->AccuTimerTimer(); // the battery poll finds the line dead and lets it go
            QCOMPARE(w->AccuLabel->text(), QString("N/A"));
            QVERIFY(!w->link()->isOpen());
            QVERIFY(!w->UpdateButton->isEnabled());
            if (!row.ftdi) {
                w->AccuTimerTimer(); // the given path is gone
                QCOMPARE(w->GeraetLabel->text(), InitialiseError);
            }
            QVERIFY(f.emulator->plug());
            // The emulator shares the process: its byte trace must not count as the window's.
            f.emulator->withModel([](DeviceModel &m) { return m.clearTrace(), 0; });
        }
        if (warmUp) {
            const long rssAtEnd = residentKiB();
            qInfo("soak: %d cycles in %.1f s; RSS %ld KiB after warm-up, %ld KiB at the end; descriptors %d -> %d",
                  row.cycles, timer.elapsed() / 1000.0, rssAtStart, rssAtEnd, descriptorsAtStart, openDescriptors());
            QVERIFY2(rssAtEnd - rssAtStart < 2048, "memory grows with reconnections");
            QCOMPARE(openDescriptors(), descriptorsAtStart);
        }
        w->AccuTimerTimer();
        QCOMPARE(w->GeraetLabel->text(), DeviceLine);
        QCOMPARE(w->AccuLabel->text(), QString("Accu: 76 %"));
        // Closing says goodbye, doubled on the FTDI road.
        QVERIFY(w->close());
        const Bytes into = f.bytes('<');
        QCOMPARE(Bytes(into.end() - 2, into.end()), (row.ftdi ? Bytes {0x70, 0x70} : Bytes {0x5A, 0x70}));
    }
    void noDevice_data()
    {
        const QString notConnected = "Corvane not connected\nPlease connect Corvane and press OK.";
        addRows<NoDeviceRow>({
            {"nothing found", "none", "No connection - Corvane not connected", notConnected, "", 1000},
            {"nothing found, Cancel ends the program", "none", "No connection - Corvane not connected", notConnected,
             "", 1000, QMessageBox::Cancel},
            {"nothing at the path", "missing", InitialiseError, "", ": not found"},
            // Never opened, so never written nor waited for; each reason the link gives is the
            // tty road's test, the window only shows it.
            {"a regular file", "regular file", InitialiseError, "", ": not a terminal device"},
            {"held by another program", "busy", InitialiseError, "", "is in use by another program"},
            {"no permission", "denied", InitialiseError, "",
             "install the udev rules /usr/lib/udev/rules.d/70-mova-update.rules"},
        });
    }
    void noDevice()
    {
        QFETCH(NoDeviceRow, row);
        const QString situation = row.situation;
        EmulatorFixture f;
        // Only the rows with a device at the path start one; the others name a path of their own.
        const bool device = situation == "busy" || situation == "denied";
        if (device)
            QVERIFY(f.start());
        const QString notes = QString::fromStdString(f.path("notes.txt"));
        QFile out(notes);
        QVERIFY(out.open(QIODevice::WriteOnly) && out.write("keep me\n") == 8);
        out.close();
        QString path = device ? QString::fromStdString(f.link()) : notes;
        UsbConnection holder(realClock());
        if (situation == "busy")
            QVERIFY(holder.openComPort(f.link(), false));
        if (situation == "denied") {
            if (geteuid() == 0)
                QSKIP("root opens whatever the permissions say");
            QCOMPARE(::chmod(f.emulator->slavePath().c_str(), 0), 0);
        }
        if (situation == "none")
            path.clear();
        if (situation == "missing")
            path = QString::fromStdString(f.path("nothing"));
        auto w = window(path.toStdString());
        w->session().findPort = [] { return std::string(); };
        MessageBoxAnswerer operatorAnswers(row.answer);
        QElapsedTimer timer;
        timer.start();
        const QByteArray errors = standardErrorOf([&] { w->AccuTimerTimer(); });
        if (!device && row.question.isEmpty())
            QVERIFY(timer.elapsed() < 1000); // nothing to wait for
        QVERIFY2(row.hint.isEmpty() ? !errors.contains("QTX_MOVA_Update:")
                                    : errors.contains("QTX_MOVA_Update: ") && errors.contains(path.toUtf8()) &&
                                          errors.contains(row.hint.toUtf8()),
                 errors.constData());
        QCOMPARE(w->GeraetLabel->text(), row.line);
        QCOMPARE(operatorAnswers.texts.isEmpty() ? QString() : operatorAnswers.texts.first(), row.question);
        if (!row.question.isEmpty())
            QCOMPARE(operatorAnswers.captions, QStringList {"No connection"});
        QFile in(notes);
        QVERIFY(in.open(QIODevice::ReadOnly));
        QCOMPARE(in.readAll(), QByteArray("keep me\n"));
        QCOMPARE(w->isVisible(), row.answer == QMessageBox::Ok);
        if (!w->isVisible())
            return;
        QCOMPARE(w->AccuTimer->interval(), row.interval);
        QVERIFY(w->AccuTimer->isActive());
        QVERIFY(!w->UpdateButton->isEnabled());
        QVERIFY(!w->link()->isOpen());
        QVERIFY(QApplication::overrideCursor() == nullptr);
    }
    void clickWhileTheDeviceIsReadStartsNothing()
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
};

QTEST_MAIN(TestWindowMonitor)
#include "test_window_monitor.moc"
