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

// The `killed` of a row whose batch itself is killed, not one of its workers.
constexpr int ParentKilled = -2;

class TestCliBatch : public QObject, private CliFixture {
    Q_OBJECT
private slots:
    void init() { prepare(), neighbour_.reset(), ports_.clear(); }
    // The rows in five parts, each a function of its own: the parts run side by side, no one
    // much longer than the others (every fifth row to each: the slow rows are spread).
    void batch_data() { rows(0); }
    void batch();
    void batchMore_data() { rows(1); }
    void batchMore() { batch(); }
    void batchThird_data() { rows(2); }
    void batchThird() { batch(); }
    void batchFourth_data() { rows(3); }
    void batchFourth() { batch(); }
    void batchFifth_data() { rows(4); }
    void batchFifth() { batch(); }

private:
    static constexpr int Parts = 5;
    static void rows(int part);
    // Each reads the columns of batch's row it needs itself.
    using Devices = std::vector<std::unique_ptr<PtyEmulator>>;
    void startDevices(Devices &devices, QStringList &arguments);
    void checkReport(const QString &rows, const Devices &devices);
    void checkRun(const QString &runId, int device);
    void checkSummary(const Run &r, const Devices &devices);
    std::unique_ptr<PtyEmulator> neighbour_; // outside the batch, when a row has one
    QStringList ports_;                        // each device's port as the batch was given it
    void killBatch(qint64 batch, const Devices &devices);
};

void TestCliBatch::rows(int part)
{
    int row = 0;
    const auto take = [&] { return row++ % Parts == part; };
    QTest::addColumn<QStringList>("serials"); // each device's four bytes, in hexadecimal
    QTest::addColumn<QStringList>("shown");   // its serial as the CSV report must show it
    QTest::addColumn<int>("faulty"); // the device whose second block is never answered (-1: none)
    QTest::addColumn<int>("killed"); // the device whose process is killed while it writes (-1: none)
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("outcomes");
    QTest::addColumn<bool>("json");
    // Each device's firmware version (none: the emulator's own, older than the carried one);
    // given, the batch installs the carried firmware, with these options.
    QTest::addColumn<QStringList>("firmwares");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("otherHardware"); // the device of hardware 23, not the build's (-1: none)
    // A device outside the batch takes the first one's link as that one restarts: it is only
    // asked who it is, and named in the record.
    QTest::addColumn<bool>("neighbour");
    QTest::addColumn<bool>("twoBatches"); // the first half of the devices is one batch, the rest another, side by side
    if (take())
        QTest::newRow("one device alone, with a report") << QStringList {"30333033"} << QStringList {"0303"} << -1 << -1
                                                         << 0 << QStringList {"updated"} << false << QStringList()
                                                         << QStringList() << -1 << false << false;
    if (take())
        QTest::newRow("two with one serial, in JSON") << QStringList {"30333031", "30333031"} << QStringList {"0301", "0301"}
                                                      << -1 << -1 << 13 << QStringList {"same serial", "same serial"}
                                                      << true << QStringList() << QStringList() << -1 << false << false;
    // Neither written: the first has the carried firmware, the second a newer one.
    if (take())
        QTest::newRow("already current, and older refused") << QStringList {"30333034", "30333035"}
                                                            << QStringList {"0304", "0305"} << -1 << -1 << 8
                                                            << QStringList {"already current", "not allowed"} << false
                                                            << QStringList {"68", "70"} << QStringList() << -1 << false << false;
    // --reinstall reaches the worker: the first is written again, and fails after its first block.
    if (take())
        QTest::newRow("--reinstall: written again") << QStringList {"30333036", "30333037"} << QStringList {"0306", "0307"}
                                                    << 0 << -1 << 4 << QStringList {"transfer failed", "not allowed"}
                                                    << false << QStringList {"68", "70"} << QStringList {"--reinstall"} << -1
                                                    << false << false;
    // A device's serial is its identity whatever its bytes: none of these is a reason to skip
    // it. The fault on one ends its own run only, a worker killed while it writes is said to
    // have left its device half written (its row the batch's, from the serial its worker told),
    // and the batch says the worst.
    if (take())
        QTest::newRow("not UTF-8, look-alikes, a formula, a screen clear; a fault on the second; one killed")
            << QStringList {"80414243", "41004243", "41005859", "3d312b31", "1b5b324a", "30333032"}
            << QStringList {"\\x80ABC", "A\\x00BC", "A\\x00XY", "\"'=1+1\"", "\\x1b[2J", "0302"} << 1 << 0 << 16
            << QStringList {"ended abnormally", "transfer failed", "updated", "updated", "updated", "updated"} << false
            << QStringList() << QStringList() << -1 << false << false;
    // Refused before its plan, each keeps its name: another hardware, a version that is no two
    // digits (" 7" is not 72: unreadable, nothing written, no version in the books).
    if (take())
        QTest::newRow("refused before the plan, with its name") << QStringList {"30333038", "30333039"}
                                                               << QStringList {"0308", "0309"} << -1 << -1 << 8
                                                               << QStringList {"not allowed", "not allowed"} << false
                                                               << QStringList {"68", " 7"} << QStringList() << 0 << false << false;
    // The batch itself killed while both are written: each worker writes its own row and runs
    // its hook; a batch started meanwhile finds the ports busy with that batch.
    if (take())
        QTest::newRow("the batch killed while two are written") << QStringList {"30333130", "30333131"}
                                                               << QStringList {"0310", "0311"} << -1 << ParentKilled << -1
                                                               << QStringList {"updated", "updated"} << false
                                                               << QStringList() << QStringList() << -1 << false << false;
    // Renumbered by its reset, the first comes back elsewhere while another device takes its
    // node: nothing is written to that one, the first keeps its firmware, the second is updated.
    if (take())
        QTest::newRow("a neighbour takes the first one's node at its reset")
            << QStringList {"30333132", "30333133"} << QStringList {"0312", "0313"} << -1 << -1 << 19
            << QStringList {"other device", "updated"} << true << QStringList() << QStringList() << -1 << true << false;
    // Two batches on one account at once, a failure in each: every failed run keeps its own
    // trace, and its record names it.
    if (take())
        QTest::newRow("two batches side by side, a failure each")
            << QStringList {"30333135", "30333136", "30333137", "30333138"} << QStringList {"0315", "0316", "0317", "0318"}
            << 0 << 2 << 4 << QStringList {"transfer failed", "updated", "ended abnormally", "updated"} << false
            << QStringList() << QStringList() << -1 << false << true;
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

// These rows' failures came after the first block went to the device.
bool halfWritten(const QString &outcome)
{
    return outcome == "transfer failed" || outcome == "ended abnormally";
}

// Why the device of row `i` waits for a person rather than failed: refused over its newer
// firmware 70 (one refused as another hardware stays a failure); empty for the others.
QString putAside(const QStringList &outcomes, const QStringList &firmwares, qsizetype i)
{
    return outcomes[i] == "not allowed" && !firmwares.isEmpty() && firmwares[i] == "70" ? "newer firmware" : "";
}

} // namespace

// One device for each serial, started, with a --port for it.
void TestCliBatch::startDevices(Devices &devices, QStringList &arguments)
{
    QFETCH(QStringList, serials);
    QFETCH(QStringList, firmwares);
    QFETCH(int, faulty);
    QFETCH(bool, neighbour);
    QFETCH(int, killed);
    QFETCH(int, otherHardware);
    for (int i = 0; i < serials.size(); ++i) {
        PtyEmulator::Options options;
        options.device = quickDevice();
        if (killed == ParentKilled) // an erase of 3 s: both still hold their ports when the batch is gone
            options.device.eraseStepMs = 300;
        if (i == otherHardware)
            options.device.identity.hardwareVersion = 23;
        options.link = f.path(("dev" + std::to_string(i)).c_str());
        options.device.identity.serial = QByteArray::fromHex(serials[i].toLatin1()).toStdString();
        if (!firmwares.isEmpty())
            options.device.identity.firmwareVersion = firmwares[i].toStdString();
        options.resetDowntimeMs = QuickDowntimeMs;
        if (i == 0 && neighbour) {
            options.linkAfterReset = options.link + "-renumbered";
            options.onReset = [this, link = options.link] {
                neighbour_->unplug();
                neighbour_->plug(link);
            };
        }
        devices.push_back(std::make_unique<PtyEmulator>(options));
        QVERIFY(devices.back()->start());
        if (i == faulty)
            devices.back()->withModel([](DeviceModel &m) { return m.setFault("block-silent", true, 1); });
        arguments << "--port" << QString::fromStdString(options.link);
        ports_ << QString::fromStdString(options.link);
    }
    if (neighbour) {
        PtyEmulator::Options options;
        options.device = quickDevice();
        options.device.identity.serial = "0314";
        options.link = f.path("neighbour");
        neighbour_ = std::make_unique<PtyEmulator>(options);
        QVERIFY(neighbour_->start());
    }
    arguments << "--label" << "Bay 1=" + QString::fromStdString(devices.front()->link()); // the rest keep their links' names
}

void TestCliBatch::batch()
{
    QFETCH(int, killed);
    QFETCH(int, exitCode);
    QFETCH(bool, json);
    QFETCH(QStringList, firmwares);
    QFETCH(QStringList, options);
    QFETCH(bool, twoBatches);
    Devices devices;
    QStringList arguments = QStringList {"--yes"} + options;
    if (json)
        arguments << "--json";
    if (firmwares.isEmpty())
        arguments << "--firmware" << QString::fromStdString(firmware) << "--table" << QString::fromStdString(table);
    startDevices(devices, arguments);
    if (QTest::currentTestFailed())
        return;
    const QString report = QString::fromStdString(f.path("report.csv"));
    QFile::remove(report);
    QFile hook(QString::fromStdString(f.path("hook")));
    QVERIFY(hook.open(QIODevice::WriteOnly) && hook.write("#!/bin/sh\nenv > \"$MOVA_PORT.env\"\n") > 0);
    hook.close();
    QVERIFY(hook.setPermissions(hook.permissions() | QFile::ExeOwner));
    arguments << "--on-result" << hook.fileName();
    QFile::remove(report + ".2");
    QStringList second; // the other batch's, with the second half of the ports and a report of its own
    if (twoBatches) {
        const qsizetype firstPort = arguments.indexOf("--port"), half = qsizetype(devices.size() / 2);
        second = arguments.mid(0, firstPort) + arguments.mid(firstPort + 2 * half);
        arguments.remove(firstPort + 2 * half, 2 * (qsizetype(devices.size()) - half)); // the label stays with the first
        second << "--report" << report + ".2" << "update";
    }
    QProcess other;
    auto killWhileWriting = [&](qint64 batch) {
        if (twoBatches) {
            other.start(MOVA_UPDATE, second);
            other.closeWriteChannel();
        }
        if (killed == ParentKilled)
            return killBatch(batch, devices);
        if (killed < 0)
            return;
        QTRY_VERIFY_WITH_TIMEOUT(devices[size_t(killed)]->withModel([](DeviceModel &m) { return !m.image().empty(); }),
                                 60'000); // its first block is in
        const pid_t worker = workerOf(QString::fromStdString(devices[size_t(killed)]->link()));
        QVERIFY(worker > 0 && ::kill(worker, SIGKILL) == 0);
    };
    Run r = run(arguments << "--report" << report << "update", 120'000, killWhileWriting);
    QVERIFY2(r.exitCode == exitCode, r.err.constData());
    if (twoBatches) { // the other's rows and words with the first's
        QVERIFY(other.waitForFinished(120'000));
        QCOMPARE(other.exitCode(), 16);
        r.out += other.readAllStandardOutput(), r.err += other.readAllStandardError();
        QFile rows(report + ".2"), first(report);
        QVERIFY(rows.open(QIODevice::ReadOnly) && first.open(QIODevice::Append));
        first.write(QString::fromUtf8(rows.readAll()).section('\n', 1).toUtf8()); // without its header
    }
    QVERIFY2(!(r.out + r.err).contains('\x1b'), r.err.constData()); // no device moves the operator's cursor
    QFile file(report);
    QVERIFY(file.open(QIODevice::ReadOnly));
    checkReport(QString::fromUtf8(file.readAll()), devices);
    if (QTest::currentTestFailed())
        return;
    QVERIFY(!run({"log", "-n", "9"}).out.contains('\x1b'));
    if (killed != ParentKilled && !twoBatches) // it said nothing more; each says its own summary
        checkSummary(r, devices);
}

// Kills the batch once each device's erase has begun; another batch on the same ports at once
// finds them busy with it, not absent. Its workers go on, and end by themselves.
void TestCliBatch::killBatch(qint64 batch, const Devices &devices)
{
    QStringList ports;
    for (const auto &d : devices) {
        QTRY_VERIFY_WITH_TIMEOUT(std::ranges::count(d->commands(), uint8_t(0x51)) > 0, 30'000); // its erase
        ports << "--port" << QString::fromStdString(d->link());
    }
    QVERIFY(::kill(pid_t(batch), SIGKILL) == 0);
    const Run next = run(ports << "--yes" << "update", 30'000);
    QVERIFY2(next.exitCode == 2, next.err.constData());
    for (const auto &d : devices) {
        const QString busy = QString::fromStdString(d->link()) + " is busy with the batch ";
        QVERIFY2(QString::fromUtf8(next.err).contains(busy), next.err.constData());
    }
    for (const auto &d : devices)
        QTRY_VERIFY_WITH_TIMEOUT(workerOf(QString::fromStdString(d->link())) == 0, 60'000);
}

// A row for each device, with what became of it; what each device holds agrees.
void TestCliBatch::checkReport(const QString &rows, const Devices &devices)
{
    QFETCH(QStringList, serials);
    QFETCH(QStringList, shown);
    QFETCH(int, killed);
    QFETCH(QStringList, outcomes);
    QFETCH(QStringList, firmwares);
    QFETCH(int, otherHardware);
    QVERIFY(rows.startsWith("time,port,serial,hardware_version,firmware_before,firmware_after,battery,outcome,exit,"
                            "message,duration_s,serial_hex,battery_percent,socket,may_be_without_firmware,run,"
                            "put_aside\n"));
    QCOMPARE(rows.count('\n'), serials.size() + 1);
    for (int i = 0; i < serials.size(); ++i) {
        const bool updated = outcomes[i] == "updated", current = outcomes[i] == "already current";
        // A version that is no two digits is none.
        const QString before = firmwares.isEmpty() ? "67" : firmwares[i].trimmed().size() == 2 ? firmwares[i] : "";
        const QString hardware = i == otherHardware ? "23" : "24";
        // Updated, the emulator runs the carried firmware; already current, it was never written.
        const QString row = "," + ports_[i] + "," + shown[i] + "," + hardware + "," + before + "," +
                            (updated ? "68" : current ? before : "") + ",Accu: 76 %," + outcomes[i] + ",";
        QVERIFY2(rows.contains(row), qPrintable(row + "\nnot in\n" + rows));
        const QString socket = i == 0 ? "Bay 1" : QFileInfo(QString::fromStdString(devices[i]->link())).fileName();
        const QString severity = halfWritten(outcomes[i]) ? "yes" : "no";
        const QRegularExpression tail(QRegularExpression::escape("," + serials[i].toUpper() + ",76," + socket + "," +
                                                                 severity + ",") + "([0-9a-f]{16})," +
                                     putAside(outcomes, firmwares, i) + "\n");
        const QString runId = tail.match(rows).captured(1);
        QVERIFY2(!runId.isEmpty(), qPrintable(rows));
        checkRun(runId, i);
        const Bytes held = devices[i]->withModel([](DeviceModel &m) { return m.image(); });
        QCOMPARE(held == updatedImage(QByteArray::fromHex(serials[i].toLatin1()).toStdString()), updated);
        const auto commands = devices[i]->commands();
        if (!updated && !halfWritten(outcomes[i])) // refused before a byte was written, or only restarted
            QCOMPARE(std::count(commands.begin(), commands.end(), uint8_t(0x71)), outcomes[i] == "other device" ? 1 : 0);
        // Its hook was told the same device, whoever ran it.
        QFile env(ports_[i] + ".env");
        QVERIFY2(env.open(QIODevice::ReadOnly), qPrintable(env.fileName()));
        const QByteArray told = env.readAll();
        for (const QString &line : {"MOVA_SERIAL_HEX=" + serials[i].toUpper(), "MOVA_OUTCOME=" + outcomes[i],
                                    "MOVA_FIRMWARE_BEFORE=" + before})
            QVERIFY2(told.contains((line + "\n").toUtf8()), qPrintable(line + "\nnot in\n" + told));
    }
    if (neighbour_) { // asked who it is and let go: nothing erased, and the record names it
        const auto commands = neighbour_->commands();
        QCOMPARE(std::count(commands.begin(), commands.end(), uint8_t(0x51)), 0);
        QVERIFY(neighbour_->withModel([](DeviceModel &m) { return m.image().empty(); }));
        const Run log = run({"--json", "log", "-n", "1", "--outcome", "other device"});
        QCOMPARE(QJsonDocument::fromJson(log.out).object()["other_device"].toObject()["serial_hex"].toString(),
                 QString("30333134"));
    }
    if (killed >= 0) { // said to be half written, in the report and in the record the batch kept for it
        QVERIFY2(rows.contains("may be without working firmware"), qPrintable(rows));
        QVERIFY(run({"log", "-n", QString::number(serials.size())}).out.contains("ended abnormally"));
    }
}

// The run a report row names is its device's in the record; one that failed once it wrote
// (its worker lost or not) keeps its own trace, named by its record: its own device's bytes,
// no other's.
void TestCliBatch::checkRun(const QString &runId, int device)
{
    QFETCH(QStringList, serials);
    QFETCH(QStringList, outcomes);
    QJsonObject o;
    for (const QByteArray &line : run({"--json", "log", "-n", QString::number(serials.size())}).out.split('\n'))
        if (const QJsonObject r = QJsonDocument::fromJson(line).object(); r["run"] == runId)
            o = r;
    QCOMPARE(o["device"].toObject()["serial_hex"].toString(), serials[device].toUpper());
    if (!halfWritten(outcomes[device]))
        return;
    QFile file(qEnvironmentVariable("XDG_STATE_HOME") + "/mova-update/" + o["trace"].toString());
    QVERIFY2(o["trace"].toString().endsWith(runId + ".log") && file.open(QIODevice::ReadOnly), qPrintable(file.fileName()));
    const QByteArray trace = file.readAll();
    auto spaced = [](const QString &hex) { return QByteArray::fromHex(hex.toLatin1()).toHex(' ').toUpper(); };
    QVERIFY2(trace.contains(spaced(serials[device])) && !trace.contains('\0'), trace.left(2000).constData());
    for (const QString &other : serials)
        QVERIFY2(other == serials[device] || !trace.contains(spaced(other)), qPrintable(other));
}

// The summary counts them and names each device that failed; it goes where a failure goes
// when one failed. One device alone says its own result instead.
void TestCliBatch::checkSummary(const Run &r, const Devices &devices)
{
    QFETCH(QStringList, serials);
    QFETCH(QStringList, shown);
    QFETCH(int, exitCode);
    QFETCH(QStringList, outcomes);
    QFETCH(QStringList, firmwares);
    QFETCH(bool, json);
    int aside = 0;
    for (qsizetype i = 0; i < serials.size(); ++i)
        aside += !putAside(outcomes, firmwares, i).isEmpty();
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
            if (outcomes[i] != "updated" && outcomes[i] != "already current" && putAside(outcomes, firmwares, i).isEmpty())
                expected << ports_[i] + " " + serials[i].toUpper() + " " + outcomes[i];
        named.sort(), expected.sort();
        QCOMPARE(named, expected);
        QCOMPARE(summary["put_aside"].toInt(), aside);
        QVERIFY2(summary["duration_s"].toDouble() > 0 && summary["devices_per_hour"].toDouble() > 0 &&
                     summary["yield_percent"] == 100.0 * outcomes.count("updated") / (serials.size() - aside),
                 r.out.constData());
        return;
    }
    for (int i = 0; i < serials.size(); ++i) {
        const QString place = i == 0 ? "Bay 1" : QFileInfo(QString::fromStdString(devices[i]->link())).fileName();
        const QString failed = place + ": " + shown[i] +
                               "  " + outcomes[i] + (halfWritten(outcomes[i]) ? ", may be without working firmware" : "") +
                               "\n";
        const bool succeeded = outcomes[i] == "updated" || outcomes[i] == "already current";
        // One put aside is listed apart, by its reason.
        const QString why = putAside(outcomes, firmwares, i);
        const QString listed = why.isEmpty() ? failed : place + ": " + shown[i] + "  " + why + "\n";
        QVERIFY2(succeeded || r.err.contains(listed.toUtf8()), qPrintable(listed + "\nnot in\n" + r.err));
    }
    // Already current counted apart from updated; those that may be without firmware apart, first.
    const int current = int(outcomes.count("already current")), half = int(std::count_if(
                                                                     outcomes.begin(), outcomes.end(), halfWritten));
    const qsizetype failed = serials.size() - outcomes.count("updated") - current - aside;
    const QByteArray summary = QString("%1 devices: %2 updated, %3%4 failed%5%6")
                                   .arg(serials.size())
                                   .arg(outcomes.count("updated"))
                                   .arg(current > 0 ? QString("%1 already current, ").arg(current) : QString())
                                   .arg(failed)
                                   .arg(aside > 0 ? QString(", %1 put aside").arg(aside) : QString())
                                   .arg(failed == 0 ? QString()
                                        : "\nfailed: " + (half > 0 ? QString("%1 may be without working firmware").arg(half)
                                                                   : QString()))
                                   .toUtf8();
    QVERIFY2(serials.size() == 1 || (exitCode == 0 ? r.out : r.err).contains(summary), r.err.constData());
    const QString yield =
        QString::number(100.0 * (outcomes.count("updated") + current) / (serials.size() - aside), 'f', 1).remove(".0");
    const QRegularExpression pace("yield " + QRegularExpression::escape(yield) + " % in 0:0\\d:\\d\\d, \\d+ devices/h\n" +
                                  QRegularExpression::escape(QString::fromUtf8(summary)));
    QVERIFY2(serials.size() == 1 || QString::fromUtf8(exitCode == 0 ? r.out : r.err).contains(pace), r.err.constData());
}

QTEST_GUILESS_MAIN(TestCliBatch)
#include "test_cli_batch.moc"
