// The update run for real: the window offscreen, the emulator on a pseudo-terminal, a small
// injected image. The reset, the reconnections and the device's restart happen in real time.
#include "file_writer.h"
#include "clock.h"
#include "emulator_fixture.h"
#include "kvl_update.h"
#include "message_box_answerer.h"
#include "progress_window.h"
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

using Bytes = std::vector<uint8_t>;

// A device with the carried firmware or a newer one, and the operator's answer to the question.
struct AgeRow {
    const char *name, *deviceFirmware;
    QMessageBox::StandardButton answer; // NoButton: Enter
    QString caption, says;
    bool began; // the device was reset: the usual sequence went on
    QString booked; // the outcome its record gives the run, as the command line books it
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
        PtyEmulator::Options options;
        options.link = f.path("ttyMOVA");
        options.device = std::move(config);
        options.resetDowntimeMs = 800;
        f.emulator = std::make_unique<PtyEmulator>(options);
        if (!f.emulator->start())
            return false;
        w = std::make_unique<TKVLUpdate>(QStringList {"QTX_MOVA_Update", QString::fromStdString(f.link())},
                                         realClock(), std::make_unique<UsbConnection>(realClock()),
                                         BuildSettings {"Corvane MOVA FW 68 from 19.10.21", "24"});
        w->AccuTimer->stop();
        w->show();
        w->payloads.firmware = write("firmware.hex", hexText(image));
        w->payloads.table = write("language.tra", table);
        w->AccuTimerTimer();
        return w->UpdateButton->isEnabled();
    }
    std::string write(const char *name, const QByteArray &bytes)
    {
        QFile file(QString::fromStdString(f.path(name)));
        file.open(QIODevice::WriteOnly);
        file.write(bytes);
        return file.fileName().toStdString();
    }
    // What the device should hold: the image with its own serial's bytes in the header.
    Bytes storedImage(int blocks, const std::string &serial = "0042")
    {
        Bytes v(size_t(blocks) * 512, 0);
        std::copy(image.begin(), image.end(), v.begin());
        writeServiceHeader(v, {serial, 100, 0, 100, 0, 100, 0, 100, 0});
        return v;
    }
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
        QCOMPARE(image, rig.storedImage(3, unprogrammed));
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
    void lowBatteryAsksFirst()
    {
        WindowRig rig;
        DeviceModel::Config config;
        config.battery.mode = DeviceModel::BatteryMode::RawOnly;
        config.battery.raw = 2757; // 10 %
        QVERIFY(rig.start(config));
        QCOMPARE(rig.w->AccuLabel->text(), QString("Accu: 10 %"));
        rig.f.emulator->withModel([](DeviceModel &m) { return m.clearTrace(), 0; });
        MessageBoxAnswerer operatorAnswers(QMessageBox::Cancel);
        QTest::mouseClick(rig.w->UpdateButton, Qt::LeftButton);
        QCOMPARE(operatorAnswers.captions, QStringList {"Low battery"});
        QVERIFY(operatorAnswers.texts.first().startsWith("The battery is at 10 %."));
        // Cancelled as the question's Cancel is: polled at once, the timer running again, nothing written.
        const auto commands = rig.f.emulator->commands();
        QVERIFY(std::find(commands.begin(), commands.end(), uint8_t(0x71)) == commands.end());
        QVERIFY(std::find(commands.begin(), commands.end(), uint8_t(0x65)) != commands.end());
        QVERIFY(rig.w->AccuTimer->isActive());
        QVERIFY(!rig.w->updateRunning());
        // The window showed no message, but the record says why nothing was written.
        QCOMPARE(lastRecord()["text"].toString(), QString("Battery low (10 %): not updated, as the operator chose"));
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
        QCOMPARE(rig.f.emulator->withModel([](DeviceModel &m) { return m.image(); }), rig.storedImage(3));
    }
    // The carried firmware over the same or a newer one is asked about first; Cancel, the
    // default, leaves the device untouched, OK goes on as usual (to an erase the device
    // refuses, to keep it short).
    void asksBeforeTheSameOrAnOlderFirmware_data()
    {
        addRows<AgeRow>({
            {"the same, Cancel", "68", QMessageBox::Cancel, "Same firmware", "has firmware 68 from 19.10.21 already",
             false, "already current"},
            {"older, Enter", "70", QMessageBox::NoButton, "Older firmware",
             "firmware 68 from 19.10.21 this update installs is older than the device's firmware 70", false,
             "not allowed"},
            {"the same, OK", "68", QMessageBox::Ok, "Same firmware", "Install it again?", true, "device refused"},
        });
    }
    void asksBeforeTheSameOrAnOlderFirmware()
    {
        QFETCH(AgeRow, row);
        WindowRig rig;
        DeviceModel::Config config;
        config.identity.firmwareVersion = row.deviceFirmware;
        QVERIFY(rig.start(config));
        rig.w->payloads.firmware = CarriedFirmware;
        rig.f.emulator->withModel([](DeviceModel &m) { return m.setFault("silence", true, 0x51); });
        MessageBoxAnswerer operatorAnswers(row.answer);
        QTest::mouseClick(rig.w->UpdateButton, Qt::LeftButton);
        QCOMPARE(operatorAnswers.captions.first(), row.caption);
        QVERIFY2(operatorAnswers.texts.first().contains(row.says), qPrintable(operatorAnswers.texts.first()));
        QCOMPARE(operatorAnswers.texts.size(), row.began ? 2 : 1); // the run's own failure box, or nothing
        const auto commands = rig.f.emulator->commands();
        QCOMPARE(std::find(commands.begin(), commands.end(), uint8_t(0x71)) != commands.end(), row.began);
        QVERIFY(!rig.w->updateRunning());
        const QJsonObject booked = lastRecord();
        QCOMPARE(booked["outcome"].toString(), row.booked);
        // This run's line, not an earlier one's: the rows before it had other firmware.
        QCOMPARE(booked["device"].toObject()["firmware_version"].toInt(), QString(row.deviceFirmware).toInt());
    }
    // A device that may hold a recording is asked about first; Enter answers the safe way.
    void enterKeepsTheRecording()
    {
        WindowRig rig;
        DeviceModel::Config config;
        config.identity.status = 0;
        QVERIFY(rig.start(config));
        MessageBoxAnswerer operatorAnswers(QMessageBox::NoButton);
        QTest::mouseClick(rig.w->UpdateButton, Qt::LeftButton);
        QCOMPARE(operatorAnswers.captions, QStringList {"Update"});
        const auto commands = rig.f.emulator->commands();
        QVERIFY(std::find(commands.begin(), commands.end(), uint8_t(0x71)) == commands.end());
        QVERIFY(!rig.w->updateRunning());
    }
};

QTEST_MAIN(TestWindowUpdate)
#include "test_window_update.moc"
