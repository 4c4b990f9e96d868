// mova-update's result hook, run for each device it updated, alone or in a batch: what it is
// told, and what becomes of a hook that hangs or fails.
#include "cli_run.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QtTest>

// The operator's result hook: its script, whether the update runs as a batch (of one) or
// alone, and why it is said to have failed (empty: it did not).
struct HookRow { const char *name; QByteArray script; bool batch; QString why; };

class TestCliHooks : public QObject, private CliFixture {
    Q_OBJECT
private slots:
    void init() { prepare(); }
    void resultHooks();

private:
    void checkHookEnvironment(const QString &path, const QString &port);
};

// Whatever the hook does, the device's update stands, and neither waits for it longer than
// its limit. The rows run side by side, each with its own device.
void TestCliHooks::resultHooks()
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
void TestCliHooks::checkHookEnvironment(const QString &path, const QString &port)
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

QTEST_GUILESS_MAIN(TestCliHooks)
#include "test_cli_hooks.moc"
