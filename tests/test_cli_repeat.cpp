// mova-update updating one device after another in the same place (--repeat): each device
// once, and a new device told by its link's making.
#include "cli_run.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

class TestCliRepeat : public QObject, private CliFixture {
    Q_OBJECT
private slots:
    void init() { prepare(); }
    void oneAfterAnother();
    void aLinkMadeAgainIsTheNextDevice();
};

void TestCliRepeat::oneAfterAnother()
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
    // Each device, once its row is written, is swapped for the next: a device left in its
    // place would be updated a second time, and its serial would show twice.
    const Run r = run({"--yes", "--repeat", "--count", "2", "--port", QString::fromStdString(f.link()), "--firmware",
                       QString::fromStdString(firmware), "--table", QString::fromStdString(table), "--report", report,
                       "update"},
                      120'000, [&](qint64) {
                          for (int done = 1; done <= 2; ++done) {
                              QTRY_VERIFY_WITH_TIMEOUT(rows().size() >= done && !rows()[0].isEmpty(), 60'000);
                              images.push_back(f.emulator->withModel([](DeviceModel &m) { return m.image(); }));
                              QTest::qWait(1000);
                              config.identity.serial = "040" + std::to_string(done + 1);
                              if (done < 2)
                                  f.emulator->replaceDevice(config);
                          }
                      });
    QVERIFY2(r.exitCode == 0, r.err.constData());
    QCOMPARE(rows().size(), 2);
    for (int i = 0; i < 2; ++i) {
        const QJsonObject row = QJsonDocument::fromJson(rows()[i]).object();
        const std::string serial = "040" + std::to_string(i + 1);
        QCOMPARE(row["serial"].toString().toStdString(), serial);
        QCOMPARE(row["outcome"].toString(), QString("updated"));
        QCOMPARE(row["firmware_after"].toInt(), 68);
        QCOMPARE(images[size_t(i)], updatedImage(serial));
    }
    QVERIFY(r.out.endsWith("2 devices: 2 updated, 0 failed\n"));
}

// A swap quicker than one look: the file system hands the new link the old one's inode
// number and the node is the same, so only the link's making tells the batch it changed.
void TestCliRepeat::aLinkMadeAgainIsTheNextDevice()
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

QTEST_GUILESS_MAIN(TestCliRepeat)
#include "test_cli_repeat.moc"
