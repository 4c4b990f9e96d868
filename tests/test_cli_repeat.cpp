// mova-update updating one device after another in the same place (--repeat): each device
// once, again only after a failure, and a new device told by its link's making.
#include "cli_run.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

class TestCliRepeat : public QObject, private CliFixture {
    Q_OBJECT
private slots:
    void init() { prepare(); }
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
                QCOMPARE(row["firmware_after"].toInt(), 68);
                QCOMPARE(images[size_t(i)], updatedImage(serials[size_t(i)]));
            }
        }
        QVERIFY2(r.out.endsWith("2 devices: 2 updated, 0 failed, 1 retried\n"), r.out.constData()); // by last outcome
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

QTEST_GUILESS_MAIN(TestCliRepeat)
#include "test_cli_repeat.moc"
