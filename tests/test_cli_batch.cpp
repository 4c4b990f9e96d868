// mova-update updating several devices side by side, each with its own worker process: the
// report, the summary and the exit status.
#include "cli_run.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>
#include <csignal>
#include <unistd.h>

class TestCliBatch : public QObject, private CliFixture {
    Q_OBJECT
private slots:
    void init() { prepare(); }
    void batch_data();
    void batch();

private:
    // Each reads the columns of batch's row it needs itself.
    using Devices = std::vector<std::unique_ptr<PtyEmulator>>;
    void startDevices(Devices &devices, QStringList &arguments);
    void checkReport(const QString &rows, const Devices &devices);
    void checkSummary(const Run &r, const Devices &devices);
};

void TestCliBatch::batch_data()
{
    QTest::addColumn<QStringList>("serials"); // each device's four bytes, in hexadecimal
    QTest::addColumn<QStringList>("shown");   // its serial as the CSV report must show it
    QTest::addColumn<int>("faulty"); // the device whose second block is never answered (-1: none)
    QTest::addColumn<int>("killed"); // the device whose process is killed while it writes (-1: none)
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("outcomes");
    QTest::addColumn<bool>("json");
    QTest::newRow("one device alone, with a report") << QStringList {"30333033"} << QStringList {"0303"} << -1 << -1
                                                     << 0 << QStringList {"updated"} << false;
    QTest::newRow("two with one serial, in JSON") << QStringList {"30333031", "30333031"} << QStringList {"0301", "0301"}
                                                  << -1 << -1 << 13 << QStringList {"same serial", "same serial"}
                                                  << true;
    // A device's serial is its identity whatever its bytes: none of these is a reason to skip
    // it. The fault on one ends its own run only, a worker killed while it writes is said to
    // have left its device half written, and the batch says the worst.
    QTest::newRow("not UTF-8, look-alikes, a formula, a screen clear; a fault on the second; one killed")
        << QStringList {"80414243", "41004243", "41005859", "3d312b31", "1b5b324a", "30333032"}
        << QStringList {"\\x80ABC", "A\\x00BC", "A\\x00XY", "\"'=1+1\"", "\\x1b[2J", "0302"} << 1 << 5 << 16
        << QStringList {"updated", "transfer failed", "updated", "updated", "updated", "ended abnormally"} << false;
}

namespace {

// The process that updates the device on `port` for a batch.
pid_t workerOf(const QString &port)
{
    for (const QString &pid : QDir("/proc").entryList(QDir::Dirs)) {
        QFile cmdline("/proc/" + pid + "/cmdline");
        if (cmdline.open(QIODevice::ReadOnly)) {
            const QList<QByteArray> words = cmdline.readAll().split('\0');
            if (words.contains("--worker") && words.contains(port.toUtf8()))
                return pid_t(pid.toInt());
        }
    }
    return 0;
}

} // namespace

// One device for each serial, started, with a --port for it.
void TestCliBatch::startDevices(Devices &devices, QStringList &arguments)
{
    QFETCH(QStringList, serials);
    QFETCH(int, faulty);
    for (int i = 0; i < serials.size(); ++i) {
        PtyEmulator::Options options;
        options.device = quickDevice();
        options.link = f.path(("dev" + std::to_string(i)).c_str());
        options.device.identity.serial = QByteArray::fromHex(serials[i].toLatin1()).toStdString();
        options.resetDowntimeMs = QuickDowntimeMs;
        devices.push_back(std::make_unique<PtyEmulator>(options));
        QVERIFY(devices.back()->start());
        if (i == faulty)
            devices.back()->withModel([](DeviceModel &m) { return m.setFault("block-silent", true, 1); });
        arguments << "--port" << QString::fromStdString(options.link);
    }
    arguments << "--label" << "Bay 1=" + QString::fromStdString(devices.front()->link()); // the rest keep their links' names
}

void TestCliBatch::batch()
{
    QFETCH(int, killed);
    QFETCH(int, exitCode);
    QFETCH(bool, json);
    Devices devices;
    QStringList arguments {"--yes"};
    if (json)
        arguments << "--json";
    startDevices(devices, arguments);
    if (QTest::currentTestFailed())
        return;
    const QString report = QString::fromStdString(f.path("report.csv"));
    QFile::remove(report);
    auto killWhileWriting = [&](qint64) {
        if (killed < 0)
            return;
        QTRY_VERIFY_WITH_TIMEOUT(devices[size_t(killed)]->withModel([](DeviceModel &m) { return !m.image().empty(); }),
                                 60'000); // its first block is in
        const pid_t worker = workerOf(QString::fromStdString(devices[size_t(killed)]->link()));
        QVERIFY(worker > 0 && ::kill(worker, SIGKILL) == 0);
    };
    const Run r = run(arguments << "--firmware" << QString::fromStdString(firmware) << "--table"
                                << QString::fromStdString(table) << "--report" << report << "update",
                      120'000, killWhileWriting);
    QVERIFY2(r.exitCode == exitCode, r.err.constData());
    QVERIFY2(!(r.out + r.err).contains('\x1b'), r.err.constData()); // no device moves the operator's cursor
    QFile file(report);
    QVERIFY(file.open(QIODevice::ReadOnly));
    checkReport(QString::fromUtf8(file.readAll()), devices);
    if (QTest::currentTestFailed())
        return;
    QVERIFY(!run({"log", "-n", "9"}).out.contains('\x1b'));
    checkSummary(r, devices);
}

// A row for each device, with what became of it; what each device holds agrees.
void TestCliBatch::checkReport(const QString &rows, const Devices &devices)
{
    QFETCH(QStringList, serials);
    QFETCH(QStringList, shown);
    QFETCH(int, killed);
    QFETCH(QStringList, outcomes);
    QVERIFY(rows.startsWith("time,port,serial,hardware_version,firmware_before,firmware_after,battery,outcome,exit,"
                            "message,duration_s,serial_hex,battery_percent,socket\n"));
    QCOMPARE(rows.count('\n'), serials.size() + 1);
    for (int i = 0; i < serials.size(); ++i) {
        const bool updated = outcomes[i] == "updated";
        const QString row = "," + QString::fromStdString(devices[i]->link()) + "," + shown[i] + ",24,68," +
                            (updated ? "68" : "") + ",Accu: 76 %," + outcomes[i] + ",";
        QVERIFY2(rows.contains(row), qPrintable(row + "\nnot in\n" + rows));
        const QString socket = i == 0 ? "Bay 1" : QFileInfo(QString::fromStdString(devices[i]->link())).fileName();
        QVERIFY2(rows.contains("," + serials[i].toUpper() + ",76," + socket + "\n"), qPrintable(rows));
        const Bytes held = devices[i]->withModel([](DeviceModel &m) { return m.image(); });
        QCOMPARE(held == updatedImage(QByteArray::fromHex(serials[i].toLatin1()).toStdString()), updated);
        const auto commands = devices[i]->commands();
        if (outcomes[i] == "same serial") // refused before a byte was written
            QCOMPARE(std::count(commands.begin(), commands.end(), uint8_t(0x71)), 0);
    }
    if (killed >= 0) { // said to be half written, in the report and in the record the batch kept for it
        QVERIFY2(rows.contains("may be without working firmware"), qPrintable(rows));
        QVERIFY(run({"log", "-n", QString::number(serials.size())}).out.contains("ended abnormally"));
        // The batch kept the lost worker's trace as far as it got, and its record names it.
        QString trace;
        for (const QByteArray &line : run({"--json", "log", "-n", QString::number(serials.size())}).out.split('\n'))
            if (const QJsonObject o = QJsonDocument::fromJson(line).object(); o["outcome"] == "ended abnormally")
                trace = o["trace"].toString();
        QVERIFY2(trace.contains("-" + serials[killed].toUpper() + "-"), qPrintable(trace));
        QVERIFY(QFileInfo(qEnvironmentVariable("XDG_STATE_HOME") + "/mova-update/" + trace).size() > 0);
    }
}

// The summary counts them and names each device that failed; it goes where a failure goes
// when one failed. One device alone says its own result instead.
void TestCliBatch::checkSummary(const Run &r, const Devices &devices)
{
    QFETCH(QStringList, serials);
    QFETCH(QStringList, shown);
    QFETCH(int, exitCode);
    QFETCH(QStringList, outcomes);
    QFETCH(bool, json);
    if (json) {
        QJsonObject summary;
        for (const QByteArray &line : r.out.split('\n'))
            if (const QJsonObject o = QJsonDocument::fromJson(line).object(); o["event"] == "summary")
                summary = o;
        QStringList named;
        for (const QJsonValue &d : summary["failed_devices"].toArray())
            named << d["port"].toString() + " " + d["serial_hex"].toString() + " " + d["outcome"].toString();
        QStringList expected;
        for (int i = 0; i < serials.size(); ++i)
            if (outcomes[i] != "updated")
                expected << QString::fromStdString(devices[i]->link()) + " " + serials[i].toUpper() + " " + outcomes[i];
        named.sort(), expected.sort();
        QCOMPARE(named, expected);
        return;
    }
    for (int i = 0; i < serials.size(); ++i) {
        const QString failed = QFileInfo(QString::fromStdString(devices[i]->link())).fileName() + ": " + shown[i] +
                               "  " + outcomes[i] + "\n";
        QVERIFY2(outcomes[i] == "updated" || r.err.contains(failed.toUtf8()), qPrintable(failed + "\nnot in\n" + r.err));
    }
    const QByteArray summary = QString("%1 devices: %2 updated, %3 failed\n")
                                   .arg(serials.size())
                                   .arg(outcomes.count("updated"))
                                   .arg(serials.size() - outcomes.count("updated"))
                                   .toUtf8();
    QVERIFY2(serials.size() == 1 || (exitCode == 0 ? r.out : r.err).contains(summary), r.err.constData());
}

QTEST_GUILESS_MAIN(TestCliBatch)
#include "test_cli_batch.moc"
