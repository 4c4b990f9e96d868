// mova-update, alone or as a batch, told to stop by a signal while it reads or writes the
// emulator's device, or while the batch waits for one; and the batch updating one device after
// another in the same place (--repeat): each device once, again only after a failure, and a
// new device told by its link's making.
#include "cli_run.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>
#include <csignal>

class TestCliSignals : public QObject, private CliFixture {
    Q_OBJECT
private slots:
    void init() { prepare(); }
    void stopSignals_data()
    {
        QTest::addColumn<QString>("when");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("Ctrl-C while it reads the device: leaves at once, politely") << "before" << 130;
        QTest::newRow("Ctrl-C twice while it writes: stopped") << "twice" << 10;
        QTest::newRow("Ctrl-C once, then the terminal closes: goes on to the end") << "once+hangup" << 0;
    }
    void stopSignals()
    {
        QFETCH(QString, when);
        QFETCH(int, exitCode);
        QVERIFY(f.start(quickDevice(), QuickDowntimeMs));
        if (when == "before") // the battery never answers: the program waits out its reads after the identity
            f.emulator->withModel([](DeviceModel &m) { return m.setFault("silence", true, 0x5A); });
        const Run r = run({"--yes", "--port", QString::fromStdString(f.link()), "--firmware",
                           QString::fromStdString(firmware), "--table", QString::fromStdString(table), "update"},
                          60'000, [&](qint64 pid) {
                              // The erase is the first step that writes; it takes about two seconds.
                              QVERIFY(f.emulator->waitForCommand(when == "before" ? 0x66 : 0x51, 1, 20'000));
                              ::kill(pid_t(pid), SIGINT);
                              QThread::msleep(300);
                              if (when != "before")
                                  ::kill(pid_t(pid), when == "twice" ? SIGINT : SIGHUP);
                          });
        QCOMPARE(r.exitCode, exitCode);
        if (when == "before") {
            QCOMPARE(f.emulator->commands().back(), uint8_t(0x70)); // the goodbye
            QVERIFY(r.err.contains("mova-update: interrupted"));
            return;
        }
        QVERIFY2(r.err.contains("Press Ctrl-C again within 5 s to stop anyway."), r.err.constData());
        if (when == "twice") {
            QVERIFY2(r.err.contains("Update stopped by the operator\n"), r.err.constData());
            QVERIFY(!f.emulator->withModel([](DeviceModel &m) { return m.updateConfirmed(); }));
            // The line was let go: another program can open it.
            UsbConnection next(realClock());
            QVERIFY(next.openComPort(f.link(), false));
        } else {
            QVERIFY(f.emulator->withModel([](DeviceModel &m) { return m.updateConfirmed() && m.table().size() == 512; }));
            QVERIFY(!r.out.contains("Update and Language sended success!")); // said to a terminal that is gone
        }
    }
    void batchStops_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::addColumn<bool>("whileWriting");
        QTest::newRow("hang-up while the batch waits for a device: it ends") << int(SIGHUP) << false;
        QTest::newRow("hang-up while a device is written: it is finished, then the batch ends") << int(SIGHUP) << true;
        QTest::newRow("Ctrl-C while a device is written: warned once, finished, then the batch ends")
            << int(SIGINT) << true;
    }
    void batchStops()
    {
        QFETCH(int, signalNumber);
        QFETCH(bool, whileWriting);
        QVERIFY(f.start(quickDevice(), QuickDowntimeMs));
        const QString report = QString::fromStdString(f.path("report.csv"));
        QFile::remove(report);
        const std::string port = whileWriting ? f.link() : f.path("no-device-yet");
        auto rows = [&] {
            QFile file(report);
            return file.open(QIODevice::ReadOnly) ? int(file.readAll().count('\n')) - 1 : -1;
        };
        const Run r = run({"--yes", "--repeat", "--port", QString::fromStdString(port), "--firmware",
                           QString::fromStdString(firmware), "--table", QString::fromStdString(table), "--report", report,
                           "update"},
                          60'000, [&](qint64 pid) {
                              if (whileWriting) {
                                  QVERIFY(f.emulator->waitForCommand(0x51, 1, 20'000));
                              } else {
                                  QTRY_VERIFY(rows() == 0); // the report is open, the signals are heard soon after
                                  QTest::qWait(300);
                              }
                              ::kill(pid_t(pid), signalNumber);
                          });
        // The device being written is finished and reported; none further is started.
        QVERIFY2(r.exitCode == (whileWriting ? 0 : 130), r.err.constData());
        QCOMPARE(rows(), whileWriting ? 1 : 0);
        QCOMPARE(f.emulator->withModel([](DeviceModel &m) { return m.updateConfirmed(); }), whileWriting);
        if (signalNumber == SIGINT) // said by the batch, not again by its worker
            QCOMPARE(r.err.count("Ctrl-C"), 1);
    }
    void oneAfterAnother()
    {
        DeviceModel::Config config = quickDevice();
        config.identity.serial = "0401";
        QVERIFY(f.start(config, QuickDowntimeMs));
        const QString report = QString::fromStdString(f.path("report.jsonl"));
        QFile::remove(report);
        auto rows = [&] {
            QFile file(report);
            return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().split('\n') : QByteArrayList();
        };
        std::vector<Bytes> images;
        // The first device's erase fails; put right, it is plugged in again at once (well within a
        // restart) and is updated this time. Each device, once its row is written, is swapped for
        // the next: a device left in its place would be updated a second time, and its serial would
        // show twice.
        f.emulator->withModel([](DeviceModel &m) { return m.setFault("erase-fail", true); });
        const std::vector<std::string> serials {"0401", "0401", "0402"}; // of the rows, in their order
        const Run r = run({"--yes", "--repeat", "--count", "2", "--port", QString::fromStdString(f.link()), "--firmware",
                           QString::fromStdString(firmware), "--table", QString::fromStdString(table), "--report", report,
                           "update"},
                          120'000, [&](qint64) {
                              for (int done = 1; done <= 3; ++done) {
                                  QTRY_VERIFY_WITH_TIMEOUT(rows().size() >= done && !rows()[0].isEmpty(), 60'000);
                                  images.push_back(f.emulator->withModel([](DeviceModel &m) { return m.image(); }));
                                  QTest::qWait(1000);
                                  if (done == 1) {
                                      f.emulator->withModel([](DeviceModel &m) { return m.clearFaults(), true; });
                                      f.emulator->unplug();
                                      QTest::qWait(1000);
                                      QVERIFY(f.emulator->plug());
                                  } else if (done == 2) {
                                      config.identity.serial = serials[2];
                                      f.emulator->replaceDevice(config);
                                  }
                              }
                          });
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QCOMPARE(rows().size(), 3);
        for (int i = 0; i < 3; ++i) {
            const QJsonObject row = QJsonDocument::fromJson(rows()[i]).object();
            QCOMPARE(row["serial"].toString().toStdString(), serials[size_t(i)]);
            QCOMPARE(row["outcome"].toString() == "updated", i > 0);
            if (i > 0) {
                QCOMPARE(row["firmware_after"].toInt(), 68); // the emulator runs the carried firmware after it
                QCOMPARE(images[size_t(i)], updatedImage(serials[size_t(i)]));
            }
        }
        QVERIFY2(r.out.endsWith("2 devices: 2 updated, 0 failed, 1 retried\n"), r.out.constData()); // by last outcome
        // The failed run's trace outlived the runs after it, named by its end, its device and
        // its run; its record, and only its, names it.
        const QByteArrayList runs = run({"--json", "log", "-n", "3"}).out.trimmed().split('\n');
        QCOMPARE(runs.size(), 3);
        const QJsonObject failed = QJsonDocument::fromJson(runs[2]).object(); // newest first
        const QString end = QDateTime::fromString(failed["end"].toString(), Qt::ISODateWithMs).toString("yyyyMMdd'T'HHmmss'Z'");
        QCOMPARE(failed["trace"].toString(), "failed-traces/" + end + "-30343031-" + failed["run"].toString() + ".log");
        QVERIFY(!runs[0].contains("\"trace\"") && !runs[1].contains("\"trace\""));
        QFile kept(qEnvironmentVariable("XDG_STATE_HOME") + "/mova-update/" + failed["trace"].toString());
        QVERIFY(kept.open(QIODevice::ReadOnly) && kept.readAll().startsWith("# mova-update"));
    }
    // A swap quicker than one look: the file system hands the new link the old one's inode
    // number and the node is the same, so only the link's making tells the batch it changed.
    void aLinkMadeAgainIsTheNextDevice()
    {
        const QString link = QString::fromStdString(f.path("swapped")), report = QString::fromStdString(f.path("swapped.csv"));
        QVERIFY(QFile::link("/dev/null", link));
        const Run r = run({"--yes", "--repeat", "--count", "2", "--port", link, "--report", report, "update"}, 30'000,
                          [&](qint64) {
                              QTRY_VERIFY(QFile::exists(report));
                              QTest::qWait(300);
                              QVERIFY(QFile::remove(link) && QFile::link("/dev/null", link));
                          });
        QCOMPARE(r.exitCode, 2);
        QVERIFY2(r.err.contains("2 devices: 0 updated, 2 failed\n"), r.err.constData());
    }
};

QTEST_GUILESS_MAIN(TestCliSignals)
#include "test_cli_signals.moc"
