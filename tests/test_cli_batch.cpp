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

// The operator's result hook: its script, whether the update runs as a batch (of one) or
// alone, and why it is said to have failed (empty: it did not).
struct HookRow { const char *name; QByteArray script; bool batch; QString why; };

class TestCliBatch : public QObject, private CliFixture {
    Q_OBJECT
private slots:
    void init() { prepare(); }
    void batch_data();
    void batch();
    void resultHooks();

private:
    // Each reads the columns of batch's row it needs itself.
    using Devices = std::vector<std::unique_ptr<PtyEmulator>>;
    void startDevices(Devices &devices, QStringList &arguments);
    void checkReport(const QString &rows, const Devices &devices);
    void checkRun(const QString &runId, int device);
    void checkSummary(const Run &r, const Devices &devices);
    void checkHookEnvironment(const QString &path, const QString &port);
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
    // Each device's firmware version (none: the emulator's own, older than the carried one);
    // given, the batch installs the carried firmware, with these options.
    QTest::addColumn<QStringList>("firmwares");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<bool>("twoBatches"); // the first half of the devices is one batch, the rest another, side by side
    QTest::newRow("one device alone, with a report") << QStringList {"30333033"} << QStringList {"0303"} << -1 << -1
                                                     << 0 << QStringList {"updated"} << false << QStringList()
                                                     << QStringList() << false;
    QTest::newRow("two with one serial, in JSON") << QStringList {"30333031", "30333031"} << QStringList {"0301", "0301"}
                                                  << -1 << -1 << 13 << QStringList {"same serial", "same serial"}
                                                  << true << QStringList() << QStringList() << false;
    // Neither written: the first has the carried firmware, the second a newer one.
    QTest::newRow("already current, and older refused") << QStringList {"30333034", "30333035"}
                                                        << QStringList {"0304", "0305"} << -1 << -1 << 8
                                                        << QStringList {"already current", "not allowed"} << false
                                                        << QStringList {"68", "70"} << QStringList() << false;
    // --reinstall reaches the worker: the first is written again, and fails after its first block.
    QTest::newRow("--reinstall: written again") << QStringList {"30333036", "30333037"} << QStringList {"0306", "0307"}
                                                << 0 << -1 << 4 << QStringList {"transfer failed", "not allowed"}
                                                << false << QStringList {"68", "70"} << QStringList {"--reinstall"} << false;
    // A device's serial is its identity whatever its bytes: none of these is a reason to skip
    // it. The fault on one ends its own run only, a worker killed while it writes is said to
    // have left its device half written, and the batch says the worst.
    QTest::newRow("not UTF-8, look-alikes, a formula, a screen clear; a fault on the second; one killed")
        << QStringList {"80414243", "41004243", "41005859", "3d312b31", "1b5b324a", "30333032"}
        << QStringList {"\\x80ABC", "A\\x00BC", "A\\x00XY", "\"'=1+1\"", "\\x1b[2J", "0302"} << 1 << 5 << 16
        << QStringList {"updated", "transfer failed", "updated", "updated", "updated", "ended abnormally"} << false
        << QStringList() << QStringList() << false;
    // Two batches on one account at once, a failure in each: every failed run keeps its own
    // trace, and its record names it.
    QTest::newRow("two batches side by side, a failure each")
        << QStringList {"30333038", "30333039", "30333130", "30333131"} << QStringList {"0308", "0309", "0310", "0311"}
        << 0 << 2 << 4 << QStringList {"transfer failed", "updated", "ended abnormally", "updated"} << false
        << QStringList() << QStringList() << true;
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

} // namespace

// One device for each serial, started, with a --port for it.
void TestCliBatch::startDevices(Devices &devices, QStringList &arguments)
{
    QFETCH(QStringList, serials);
    QFETCH(QStringList, firmwares);
    QFETCH(int, faulty);
    for (int i = 0; i < serials.size(); ++i) {
        PtyEmulator::Options options;
        options.device = quickDevice();
        options.link = f.path(("dev" + std::to_string(i)).c_str());
        options.device.identity.serial = QByteArray::fromHex(serials[i].toLatin1()).toStdString();
        if (!firmwares.isEmpty())
            options.device.identity.firmwareVersion = firmwares[i].toStdString();
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
    QFile::remove(report + ".2");
    QStringList second; // the other batch's, with the second half of the ports and a report of its own
    if (twoBatches) {
        const qsizetype firstPort = arguments.indexOf("--port"), half = devices.size() / 2;
        second = arguments.mid(0, firstPort) + arguments.mid(firstPort + 2 * half);
        arguments.remove(firstPort + 2 * half, 2 * (devices.size() - half)); // the label stays with the first
        second << "--report" << report + ".2" << "update";
    }
    QProcess other;
    auto killWhileWriting = [&](qint64) {
        if (twoBatches) {
            other.start(MOVA_UPDATE, second);
            other.closeWriteChannel();
        }
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
    if (!twoBatches) // each says its own summary
        checkSummary(r, devices);
}

// A row for each device, with what became of it; what each device holds agrees.
void TestCliBatch::checkReport(const QString &rows, const Devices &devices)
{
    QFETCH(QStringList, serials);
    QFETCH(QStringList, shown);
    QFETCH(int, killed);
    QFETCH(QStringList, outcomes);
    QFETCH(QStringList, firmwares);
    QVERIFY(rows.startsWith("time,port,serial,hardware_version,firmware_before,firmware_after,battery,outcome,exit,"
                            "message,duration_s,serial_hex,battery_percent,socket,may_be_without_firmware,run\n"));
    QCOMPARE(rows.count('\n'), serials.size() + 1);
    for (int i = 0; i < serials.size(); ++i) {
        const bool updated = outcomes[i] == "updated", current = outcomes[i] == "already current";
        const QString before = firmwares.isEmpty() ? "67" : firmwares[i];
        // Updated, the emulator runs the carried firmware; already current, it was never written.
        const QString row = "," + QString::fromStdString(devices[i]->link()) + "," + shown[i] + ",24," + before + "," +
                            (updated ? "68" : current ? before : "") + ",Accu: 76 %," + outcomes[i] + ",";
        QVERIFY2(rows.contains(row), qPrintable(row + "\nnot in\n" + rows));
        const QString socket = i == 0 ? "Bay 1" : QFileInfo(QString::fromStdString(devices[i]->link())).fileName();
        const QString severity = halfWritten(outcomes[i]) ? "yes" : "no";
        const QRegularExpression tail(QRegularExpression::escape("," + serials[i].toUpper() + ",76," + socket + "," + severity + ",") + "([0-9a-f]{16})\n");
        const QString runId = tail.match(rows).captured(1);
        QVERIFY2(!runId.isEmpty(), qPrintable(rows));
        checkRun(runId, i);
        const Bytes held = devices[i]->withModel([](DeviceModel &m) { return m.image(); });
        QCOMPARE(held == updatedImage(QByteArray::fromHex(serials[i].toLatin1()).toStdString()), updated);
        const auto commands = devices[i]->commands();
        if (!updated && !halfWritten(outcomes[i])) // refused before a byte was written
            QCOMPARE(std::count(commands.begin(), commands.end(), uint8_t(0x71)), 0);
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
            if (outcomes[i] != "updated" && outcomes[i] != "already current")
                expected << QString::fromStdString(devices[i]->link()) + " " + serials[i].toUpper() + " " + outcomes[i];
        named.sort(), expected.sort();
        QCOMPARE(named, expected);
        QVERIFY2(summary["duration_s"].toDouble() > 0 && summary["devices_per_hour"].toDouble() > 0 &&
                     summary["yield_percent"] == 100.0 * outcomes.count("updated") / serials.size(),
                 r.out.constData());
        return;
    }
    for (int i = 0; i < serials.size(); ++i) {
        const QString place = i == 0 ? "Bay 1" : QFileInfo(QString::fromStdString(devices[i]->link())).fileName();
        const QString failed = place + ": " + shown[i] +
                               "  " + outcomes[i] + (halfWritten(outcomes[i]) ? ", may be without working firmware" : "") +
                               "\n";
        const bool succeeded = outcomes[i] == "updated" || outcomes[i] == "already current";
        QVERIFY2(succeeded || r.err.contains(failed.toUtf8()), qPrintable(failed + "\nnot in\n" + r.err));
    }
    // Already current counted apart from updated; those that may be without firmware apart, first.
    const int current = int(outcomes.count("already current")), half = int(std::count_if(
                                                                     outcomes.begin(), outcomes.end(), halfWritten));
    const QByteArray summary = QString("%1 devices: %2 updated, %3%4 failed\nfailed: %5")
                                   .arg(serials.size())
                                   .arg(outcomes.count("updated"))
                                   .arg(current > 0 ? QString("%1 already current, ").arg(current) : QString())
                                   .arg(serials.size() - outcomes.count("updated") - current)
                                   .arg(half > 0 ? QString("%1 may be without working firmware").arg(half) : QString())
                                   .toUtf8();
    QVERIFY2(serials.size() == 1 || (exitCode == 0 ? r.out : r.err).contains(summary), r.err.constData());
    const QString yield = QString::number(100.0 * (outcomes.count("updated") + current) / serials.size(), 'f', 1).remove(".0");
    const QRegularExpression pace("yield " + QRegularExpression::escape(yield) + " % in 0:0\\d:\\d\\d, \\d+ devices/h\n" +
                                  QRegularExpression::escape(QString::fromUtf8(summary)));
    QVERIFY2(serials.size() == 1 || QString::fromUtf8(exitCode == 0 ? r.out : r.err).contains(pace), r.err.constData());
}

// Whatever the hook does, the device's update stands, and neither waits for it longer than
// its limit. The rows run side by side, each with its own device.
void TestCliBatch::resultHooks()
{
    const HookRow rows[] = {
        {"told the device's facts, in a batch", "env > \"$0.env\"\n", true, {}},
        {"hangs, alone: stopped at its limit", "exec sleep 30\n", false, "stopped at its time limit of 0.3 s"},
        {"fails, in a batch: said and kept", "exit 3\n", true, "exit status 3"},
    };
    std::vector<std::unique_ptr<PtyEmulator>> devices;
    std::vector<Job> jobs;
    for (const HookRow &row : rows) {
        const std::string name = "dev" + std::to_string(jobs.size());
        PtyEmulator::Options options;
        options.device = quickDevice();
        options.link = f.path(name.c_str());
        options.device.identity.serial = "\x1b[2J";
        // The hook that is told the facts gets a device that has the carried firmware already:
        // a success whose outcome is not 0, and its exit status is.
        const bool current = row.why.isEmpty();
        if (current)
            options.device.identity.firmwareVersion = "68";
        options.resetDowntimeMs = QuickDowntimeMs;
        QVERIFY(devices.emplace_back(std::make_unique<PtyEmulator>(options))->start());
        QFile script(QString::fromStdString(options.link + ".hook"));
        QVERIFY(script.open(QIODevice::WriteOnly) && script.write("#!/bin/sh\n" + row.script) > 0);
        script.close();
        QVERIFY(script.setPermissions(script.permissions() | QFile::ExeOwner));
        QStringList arguments {"--yes", "--port", QString::fromStdString(options.link), "--on-result", script.fileName()};
        if (!current)
            arguments << "--firmware" << QString::fromStdString(firmware) << "--table" << QString::fromStdString(table);
        if (row.batch)
            arguments << "--repeat" << "--count" << "1";
        jobs.push_back({MOVA_UPDATE, arguments << "update", {"QTX_MOVA_HOOK_LIMIT_MS=300"}});
    }
    const std::vector<Run> runs = runJobs(jobs, 25'000);
    QFile kept(qEnvironmentVariable("XDG_STATE_HOME", QDir::homePath() + "/.local/state") + "/mova-update/hooks.jsonl");
    const QByteArray record = kept.open(QIODevice::ReadOnly) ? kept.readAll() : QByteArray();
    for (size_t i = 0; i < runs.size(); ++i) {
        const QString hook = jobs[i].arguments[jobs[i].arguments.indexOf("--on-result") + 1];
        QVERIFY2(runs[i].exitCode == 0, runs[i].err.constData());
        if (rows[i].why.isEmpty()) {
            checkHookEnvironment(hook + ".env", QString::fromStdString(devices[i]->link()));
            continue;
        }
        const QString said = "mova-update: the result hook " + hook + " for device \\x1b[2J: " + rows[i].why + "\n";
        QVERIFY2(QString::fromUtf8(runs[i].err).contains(said), runs[i].err.constData());
        const QString socket = rows[i].batch ? QFileInfo(QString::fromStdString(devices[i]->link())).fileName() : "";
        const QByteArray line = R"("program":")" + hook.toUtf8() + R"(","serial_hex":"1B5B324A","socket":")" +
                                socket.toUtf8() + R"(","outcome":"updated","why":")" + rows[i].why.toUtf8() + "\"}\n";
        QVERIFY2(record.contains(line), qPrintable(line + "\nnot in\n" + record));
    }
}

// The serial shown safely and its bytes exactly, and the rest as the report has them.
void TestCliBatch::checkHookEnvironment(const QString &path, const QString &port)
{
    QFile env(path);
    QVERIFY(env.open(QIODevice::ReadOnly));
    QMap<QString, QString> told;
    for (const QString &line : QString::fromUtf8(env.readAll()).split('\n'))
        if (line.startsWith("MOVA_"))
            told[line.section('=', 0, 0)] = line.section('=', 1);
    const QMap<QString, QString> expected {
        {"MOVA_SERIAL", "\\x1b[2J"}, {"MOVA_SERIAL_HEX", "1B5B324A"}, {"MOVA_SOCKET", "dev0"}, {"MOVA_PORT", port},
        {"MOVA_OUTCOME", "already current"}, {"MOVA_EXIT", "0"}, {"MOVA_FIRMWARE_BEFORE", "68"}, {"MOVA_FIRMWARE_AFTER", "68"},
        {"MOVA_MAY_BE_WITHOUT_FIRMWARE", "0"}, {"MOVA_REPORT_ROW", told["MOVA_REPORT_ROW"]}, {"MOVA_RUN", told["MOVA_RUN"]}};
    QVERIFY2(told == expected, qPrintable(QStringList(told.values()).join('\n')));
    const QJsonDocument row = QJsonDocument::fromJson(told["MOVA_REPORT_ROW"].toUtf8());
    QCOMPARE(row["serial_hex"].toString(), "1B5B324A");
    QVERIFY2(row["run"] == told["MOVA_RUN"] && told["MOVA_RUN"].size() == 16, qPrintable(told["MOVA_RUN"])); // the run's id
}

QTEST_GUILESS_MAIN(TestCliBatch)
#include "test_cli_batch.moc"
