// The main window offscreen: its form, its build texts, its command line and its closing; and
// the update run for real, against the emulator on a pseudo-terminal with a small injected
// image. The reset, the reconnections and the device's restart happen in real time.
#include "abort.h"
#include "application.h"
#include "build_settings.h"
#include "file_writer.h"
#include "clock.h"
#include "emulator_fixture.h"
#include "kvl_update.h"
#include "message_box_answerer.h"
#include "progress_window.h"
#include "protocol.h"
#include "stop_signals.h"
#include "support_report.h"
#include "table_rows.h"
#include "update_rig.h"
#include "usb_connection.h"

#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <csignal>
#include <stdexcept>

using Bytes = std::vector<uint8_t>;

namespace {

std::unique_ptr<TKVLUpdate> window(const QStringList &arguments = {"QTX_MOVA_Update"},
                                   BuildSettings settings = BuildSettings::compiled())
{
    auto w = std::make_unique<TKVLUpdate>(arguments, realClock(), std::make_unique<UsbConnection>(realClock()),
                                          settings);
    w->AccuTimer->stop(); // these tests are about the form and its closing, not the polling
    return w;
}

// The build's texts and the command line, and what the window makes of them.
struct StartRow {
    const char *name;
    QString firmwareName = QString::fromStdString(BuildSettings::compiled().firmwareName);
    QString hardwareText = "24";
    QStringList arguments = {"QTX_MOVA_Update"};
    QString caption = "Firmware Update (Corvane MOVA FW 68 from 19.10.21)";
    int hardware = 24;
    QString override = {};
};
// Closing the window on an open device, or on a link closed before: what the device took in and gave out.
struct ClosingRow { const char *name; bool linkClosedFirst; Bytes into, out; };

} // namespace

// A device with the carried firmware or a newer one, its battery low or a recording on it, and
// the operator's answer to the question.
struct AgeRow {
    const char *name, *deviceFirmware;
    QMessageBox::StandardButton answer; // NoButton: Enter
    QString caption, says;
    bool began; // the device was reset: the usual sequence went on
    QString booked; // the outcome its record gives the run, as the command line books it, and its text
    int batteryRaw = 0, status = 1; // 0: the device's usual battery
};
Q_DECLARE_METATYPE(AgeRow)

// The window on the emulator's device, with a small image and table to put on it.
struct WindowRig {
    EmulatorFixture f;
    std::unique_ptr<TKVLUpdate> w;
    QByteArray image = imageBytes(1500);
    QByteArray table = QByteArray("LANG") + QByteArray(600, 't');

    bool start(DeviceModel::Config config = DeviceModel::Config())
    {
        if (!f.start(std::move(config), 800))
            return false;
        w = std::make_unique<TKVLUpdate>(QStringList {"QTX_MOVA_Update", QString::fromStdString(f.link())},
                                         realClock(), std::make_unique<UsbConnection>(realClock()),
                                         BuildSettings {"Corvane MOVA FW 68 from 19.10.21", "24"});
        w->AccuTimer->stop();
        w->show();
        w->payloads.firmware = writeFile(QString::fromStdString(f.path("firmware.hex")), hexText(image));
        w->payloads.table = writeFile(QString::fromStdString(f.path("language.tra")), table);
        w->AccuTimerTimer();
        return w->UpdateButton->isEnabled();
    }
    // What the device should hold: the image with its own serial's bytes in the header.
    Bytes storedImage(const std::string &serial = "0042") { return expectedImage(image, 3, 512, {serial, 100, 0, 100, 0, 100, 0, 100, 0}); }
};

// The last run the record holds, once the file writer has written it.
static QJsonObject lastRecord()
{
    FileWriter::drain();
    QFile runs(qEnvironmentVariable("XDG_STATE_HOME", QDir::homePath() + "/.local/state") + "/mova-update/runs.jsonl");
    if (!runs.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(runs.readAll().trimmed().split('\n').last()).object();
}

class TestWindowUpdate : public QObject {
    Q_OBJECT
private slots:
    void formAtStart()
    {
        auto w = std::make_unique<TKVLUpdate>(QStringList {"QTX_MOVA_Update"}, realClock(),
                                              std::make_unique<UsbConnection>(realClock()), BuildSettings::compiled());
        QVERIFY(w->AccuTimer->isActive());
        w->AccuTimer->stop(); // no device here: its first tick would ask for one
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        QCOMPARE(w->size(), QSize(375, 71));
        QCOMPARE(w->minimumSize(), w->maximumSize()); // not resizable
        QCOMPARE(w->UpdateButton->text(), QString("Update"));
        QCOMPARE(w->UpdateButton->geometry(), QRect(131, 40, 105, 25));
        QVERIFY(!w->UpdateButton->isEnabled());
        QCOMPARE(w->GeraetLabel->geometry(), QRect(8, 7, 360, 26));
        QVERIFY(w->GeraetLabel->text().isEmpty() && w->GeraetLabel->wordWrap() && w->GeraetLabel->font().bold());
        QCOMPARE(w->GeraetLabel->palette().color(QPalette::WindowText), QColor(0, 0, 255));
        QCOMPARE(w->AccuLabel->geometry(), QRect(283, 45, 83, 14));
        QVERIFY(w->AccuLabel->text().isEmpty() && w->AccuLabel->font().bold());
        QVERIFY(w->AccuLabel->alignment() & Qt::AlignHCenter);
        QCOMPARE(w->AccuLabel->palette().color(QPalette::WindowText), QColor(0, 128, 0));
        QCOMPARE(w->AccuTimer->interval(), 500);
        QCOMPARE(int(w->deviceRecord().deviceStatus), 255);
        QCOMPARE(w->deviceRecord().hardwareVersion, 0);
        QVERIFY(!w->updateRunning());
        QVERIFY(w->portPath().empty());
        QVERIFY(!w->link()->isOpen());
        QCOMPARE(KVLUpdate, w.get());
    }

    void buildTextsAndCommandLine_data()
    {
        addRows<StartRow>({
            {.name = "this build"},
            {.name = "no firmware name", .firmwareName = "", .caption = "Firmware Update"},
            {.name = "only 255 characters of the name are taken", .firmwareName = QString(300, 'x'),
             .caption = "Firmware Update (" + QString(255, 'x') + ")"},
            {.name = "hardware empty", .hardwareText = "", .hardware = 0},
            {.name = "hardware letters only", .hardwareText = "abc", .hardware = 0},
            {.name = "hardware with trailing letters", .hardwareText = "24a", .hardware = 0},
            {.name = "hardware with a blank inside", .hardwareText = "2 4", .hardware = 0},
            {.name = "hardware signed", .hardwareText = "-3", .hardware = -3},
            {.name = "hardware with a plus sign", .hardwareText = "+22", .hardware = 22},
            {.name = "hardware beyond 32 bits", .hardwareText = "99999999999", .hardware = 0},
            {.name = "one path", .arguments = {"QTX_MOVA_Update", "/dev/ttyACM0"}, .override = "/dev/ttyACM0"},
            {.name = "further arguments ignored", .arguments = {"QTX_MOVA_Update", "A", "B"}, .override = "A"},
            // The shell has already removed the quotes around a path with blanks.
            {.name = "quoted with blanks", .arguments = {"QTX_MOVA_Update", "/tmp/my device/tty"},
             .override = "/tmp/my device/tty"},
            {.name = "non-ASCII", .arguments = {"QTX_MOVA_Update", QString::fromUtf8("/tmp/gerät")},
             .override = QString::fromUtf8("/tmp/gerät")},
        });
    }
    void buildTextsAndCommandLine()
    {
        QFETCH(StartRow, row);
        auto w = window(row.arguments, {row.firmwareName.toStdString(), row.hardwareText.toStdString()});
        QCOMPARE(w->windowTitle(), row.caption);
        QCOMPARE(w->expectedHardwareVersion(), row.hardware);
        QCOMPARE(QString::fromLocal8Bit(w->portPathOverride()), row.override);
    }

    void closingIsRefusedWhileUpdating()
    {
        EmulatorFixture f;
        QVERIFY(f.start());
        auto w = window();
        w->show();
        QVERIFY(w->link()->openComPort(f.link(), false));
        // Ctrl-C and SIGTERM are close requests, refused the same way.
        StopSignals stopSignals({SIGINT, SIGTERM}, [&](int number) { w->closeOnSignal(number); });
        w->setUpdateRunning(true);
        QVERIFY(!w->close());
        ::raise(SIGINT);
        QTest::qWait(100);
        QVERIFY(w->isVisible());
        QVERIFY(f.emulator->trace().empty()); // the device heard nothing
        w->setUpdateRunning(false);
        ::raise(SIGTERM);
        QTRY_VERIFY(!w->isVisible());
        QCOMPARE(f.emulator->commands(), Bytes {Cmd::Leave});
    }

    void anExceptionFromAnEventIsShownAndTheLoopGoesOn()
    {
        MessageBoxAnswerer operatorAnswers(QMessageBox::Ok);
        bool after = false;
        QTimer::singleShot(0, [] { throw std::runtime_error("out of order"); });
        QTimer::singleShot(0, [] { throw Abort("shown by the run already"); });
        QTimer::singleShot(50, [&] { after = true; });
        QTRY_VERIFY(after);
        QCOMPARE(operatorAnswers.texts, QStringList {"out of order"});
    }

    void closing_data()
    {
        addRows<ClosingRow>({
            // The goodbye's echo and the byte read after it.
            {"an open device is told goodbye", false, {Cmd::Leave}, {Cmd::Leave, 0x00}},
            {"a closed link sends nothing", true, {}, {}},
        });
    }
    void closing()
    {
        QFETCH(ClosingRow, row);
        EmulatorFixture f;
        QVERIFY(f.start());
        auto w = window();
        w->show();
        QVERIFY(w->link()->openComPort(f.link(), false));
        if (row.linkClosedFirst)
            w->link()->close();
        QVERIFY(w->close());
        QVERIFY(!w->isVisible());
        QThread::msleep(50);
        QCOMPARE(f.bytes('<'), row.into);
        QCOMPARE(f.bytes('>'), row.out);
        QCOMPARE(f.emulator->commands(), row.into);
        // The link stays open until the window is destroyed.
        QCOMPARE(w->link()->isOpen(), !row.linkClosedFirst);
    }

    void updatesTheDevice()
    {
        WindowRig rig;
        DeviceModel::Config config;
        const std::string unprogrammed("\xFF\xFF\xFF\xFF"); // its bytes go back as they came, not as UTF-8
        config.identity.serial = unprogrammed;
        QVERIFY(rig.start(config));
        MessageBoxAnswerer operatorAnswers(QMessageBox::Ok);
        bool refusedClose = false;
        QTimer midRun;
        QObject::connect(&midRun, &QTimer::timeout, [&] {
            // While the device is written, the window refuses to close and shows its progress.
            if (rig.w->updateRunning() && CurrentProgressWindow() && !refusedClose)
                refusedClose = !rig.w->close() && rig.w->isVisible();
        });
        midRun.start(50);
        QTest::mouseClick(rig.w->UpdateButton, Qt::LeftButton);
        QCOMPARE(operatorAnswers.texts, QStringList {"Update and Language sended success!"});
        QVERIFY(refusedClose);
        QVERIFY(!rig.w->isVisible()); // the program ends
        QVERIFY(!rig.w->link()->isOpen());
        const auto image = rig.f.emulator->withModel([](DeviceModel &m) { return m.image(); });
        QCOMPARE(image, rig.storedImage(unprogrammed));
        const auto table = rig.f.emulator->withModel([](DeviceModel &m) { return m.table(); });
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(table.data()), 604), rig.table);
        // The table's progress window goes with the window, and so does its busy cursor.
        rig.w.reset();
        QVERIFY(CurrentProgressWindow() == nullptr);
        QVERIFY(QApplication::overrideCursor() == nullptr);
    }
    void failureLeavesTheWindowOpen()
    {
        WindowRig rig;
        QVERIFY(rig.start());
        rig.f.emulator->withModel([](DeviceModel &m) { return m.setFault("block-fatal", true, 1); });
        const QString report = QString::fromStdString(rig.f.path("report.tar.gz"));
        QString suggested;
        chooseReportFile = [&](QWidget *, const QString &name) {
            suggested = name;
            return report;
        };
        MessageBoxAnswerer operatorAnswers(QMessageBox::Ok);
        operatorAnswers.pressFirst = QString::fromUtf8("Save a report\u2026");
        QTest::mouseClick(rig.w->UpdateButton, Qt::LeftButton);
        QCOMPARE(operatorAnswers.texts, QStringList {"Error by senden Update.1"});
        QCOMPARE(operatorAnswers.leftOpen, QList<bool> {true}); // the box is still answered as before
        QVERIFY2(QRegularExpression("^" + QRegularExpression::escape(QDir::homePath()) + "/mova-support-0042-\\d{8}-\\d{6}\\.tar\\.gz$").match(suggested).hasMatch(),
                 qPrintable(suggested));
        // The report is written once the run has ended: it holds the record of the run that failed.
        QProcess tar;
        tar.start("tar", {"-xzOf", report, "mova-support/runs.jsonl"});
        QVERIFY(tar.waitForFinished() && tar.exitCode() == 0);
        QVERIFY(tar.readAllStandardOutput().trimmed().split('\n').last().contains("\"text\":\"Error by senden Update.1\""));
        QVERIFY(operatorAnswers.informativeTexts.first().startsWith("The device refused a block of the firmware outright"));
        QVERIFY(operatorAnswers.detailedTexts.first().endsWith("/mova-update/runs.jsonl."));
        QVERIFY(rig.w->isVisible());
        QVERIFY(!rig.w->updateRunning());
        QVERIFY(!rig.w->AccuTimer->isActive()); // the run stopped the polling for good
        QVERIFY(rig.w->UpdateButton->isEnabled());
        QCOMPARE(rig.w->GeraetLabel->text(), QString("FW 67 from 19.10.21, SerialNr: 0042"));
        QVERIFY(CurrentProgressWindow() == nullptr);
        QVERIFY(QApplication::overrideCursor() == nullptr);
        QVERIFY(rig.w->link()->isOpen()); // as the failure left it: a new click may try again
    }
    void pulledOutThenUpdatedByANewClick()
    {
        WindowRig rig;
        QVERIFY(rig.start());
        rig.f.emulator->withModel([](DeviceModel &m) { return m.setFault("pull-on-block", true, 1); });
        MessageBoxAnswerer operatorAnswers(QMessageBox::Ok);
        QTest::mouseClick(rig.w->UpdateButton, Qt::LeftButton);
        QCOMPARE(operatorAnswers.texts, QStringList {"Error by senden Update.2"});
        QVERIFY(operatorAnswers.informativeTexts.first().startsWith("The device went away"));
        QVERIFY(rig.w->isVisible());
        QVERIFY(!rig.w->link()->isOpen());
        // The window looked for the device again at once; its path is gone for now.
        QCOMPARE(rig.w->GeraetLabel->text(), QString("No connection - Initialise error"));
        QVERIFY(rig.w->AccuTimer->isActive());
        QVERIFY(rig.f.emulator->plug());
        rig.w->AccuTimer->stop();
        rig.w->AccuTimerTimer(); // the next poll, without waiting its 10 s
        QCOMPARE(rig.w->GeraetLabel->text(), QString("FW 67 from 19.10.21, SerialNr: 0042"));
        QTest::mouseClick(rig.w->UpdateButton, Qt::LeftButton);
        QCOMPARE(operatorAnswers.texts.last(), QString("Update and Language sended success!"));
        QVERIFY(!rig.w->isVisible());
        QCOMPARE(rig.f.emulator->withModel([](DeviceModel &m) { return m.image(); }), rig.storedImage());
    }
    // The carried firmware over the same or a newer one, a low battery and a recording that may
    // be on the device are asked about first; Cancel, the default, or Enter leaves the device
    // untouched and polled again at once, OK goes on as usual (to an erase the device refuses,
    // to keep it short).
    void asksBeforeTheSameOrAnOlderFirmware_data()
    {
        addRows<AgeRow>({
            {"the same, Cancel", "68", QMessageBox::Cancel, "Same firmware", "has firmware 68 from 19.10.21 already",
             false, "already current"},
            {"older, Enter", "70", QMessageBox::NoButton, "Older firmware",
             "firmware 68 from 19.10.21 this update installs is older than the device's firmware 70", false,
             "not allowed"},
            {"the same, OK", "68", QMessageBox::Ok, "Same firmware", "Install it again?", true, "device refused"},
            {"battery low, Cancel", "67", QMessageBox::Cancel, "Low battery", "The battery is at 10 %.", false,
             "battery low | Battery low (10 %): not updated, as the operator chose", 2757},
            {"a recording, Enter keeps it", "67", QMessageBox::NoButton, "Update", "no untransferred recording", false,
             "not confirmed", 0, 0},
        });
    }
    void asksBeforeTheSameOrAnOlderFirmware()
    {
        QFETCH(AgeRow, row);
        WindowRig rig;
        DeviceModel::Config config;
        config.identity.firmwareVersion = row.deviceFirmware;
        config.identity.status = uint8_t(row.status);
        if (row.batteryRaw)
            config.battery = {DeviceModel::BatteryMode::RawOnly, {}, uint16_t(row.batteryRaw)};
        QVERIFY(rig.start(config));
        rig.w->payloads.firmware = CarriedFirmware;
        rig.f.emulator->withModel([](DeviceModel &m) { return m.clearTrace(), 0; });
        rig.f.emulator->withModel([](DeviceModel &m) { return m.setFault("silence", true, 0x51); });
        MessageBoxAnswerer operatorAnswers(row.answer);
        QTest::mouseClick(rig.w->UpdateButton, Qt::LeftButton);
        QCOMPARE(operatorAnswers.captions.first(), row.caption); // one question, the first that applies
        QVERIFY2(operatorAnswers.texts.first().contains(row.says), qPrintable(operatorAnswers.texts.first()));
        QCOMPARE(operatorAnswers.texts.size(), row.began ? 2 : 1); // the run's own failure box, or nothing
        const auto commands = rig.f.emulator->commands();
        QCOMPARE(std::find(commands.begin(), commands.end(), uint8_t(0x71)) != commands.end(), row.began);
        QVERIFY(!rig.w->updateRunning());
        if (row.batteryRaw) { // polled at once, the timer running again
            QVERIFY(std::find(commands.begin(), commands.end(), uint8_t(0x65)) != commands.end());
            QVERIFY(rig.w->AccuTimer->isActive());
        }
        const QJsonObject booked = lastRecord();
        QVERIFY2((booked["outcome"].toString() + " | " + booked["text"].toString()).startsWith(row.booked),
                 qPrintable(booked["text"].toString()));
        // This run's line, not an earlier one's: the rows before it had other firmware.
        QCOMPARE(booked["device"].toObject()["firmware_version"].toInt(), QString(row.deviceFirmware).toInt());
    }
};

int main(int argc, char **argv)
{
    TApplication application(argc, argv); // the program's own, with its handler of escaped exceptions
    TestWindowUpdate test;
    return QTest::qExec(&test, argc, argv);
}
#include "test_window_update.moc"
