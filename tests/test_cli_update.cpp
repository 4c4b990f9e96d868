// mova-update updating the emulator on a pseudo-terminal: every event it tells, a downgrade,
// the question it cannot ask without a terminal, the battery guard, and the result hook run
// for each device it updated, alone or in a batch (what it is told, and what becomes of a
// hook that hangs or fails). Every failure of the run is a row of the update run's tables in
// virtual time, and how each is told a row of the listeners' table.
#include "cli_run.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>
#include <unistd.h>

// The operator's result hook: its script, whether the update runs as a batch (of one) or
// alone, and why it is said to have failed (empty: it did not).
struct HookRow { const char *name; QByteArray script; bool batch; QString why; };

class TestCliUpdate : public QObject, private CliFixture {
    Q_OBJECT
private slots:
    void init() { prepare(); }
    void updatesTheDeviceTellingEveryEvent()
    {
        // A serial of bytes that are no text: every line still decodes as strict UTF-8, the serial
        // is given escaped and exactly, and the image gets its bytes.
        const std::string serial = "\x7f\x80\xff\x41";
        DeviceModel::Config config = quickDevice();
        config.identity.serial = serial;
        QVERIFY(f.start(config, QuickDowntimeMs));
        f.emulator->withModel([](DeviceModel &m) { return m.setFault("readback-bad-xor", true, 1); }); // survived, counted
        const Run r = run({"--json", "--port", QString::fromStdString(f.link()), "--firmware",
                           QString::fromStdString(firmware), "--table", QString::fromStdString(table), "update"});
        QCOMPARE(r.exitCode, 0);
        QStringList events, stages;
        QString planned; // the run the plan names
        bool estimated = false;
        for (const QByteArray &line : r.out.split('\n')) {
            if (line.isEmpty())
                continue;
            QJsonParseError error;
            const QJsonDocument doc = QJsonDocument::fromJson(line, &error);
            QVERIFY2(error.error == QJsonParseError::NoError && doc.isObject(), line.constData());
            QVERIFY2(QString::fromUtf8(line).toUtf8() == line, line.constData()); // strict UTF-8
            const QJsonObject o = doc.object();
            events << o["event"].toString();
            if (o["event"] == "stage")
                stages << o["name"].toString();
            if (o["event"] == "progress") {
                QVERIFY(o["percent"].toInt() >= 0 && o["percent"].toInt() <= 100 && o["elapsed_s"].isDouble());
                estimated = estimated || o["run_left_s"].isDouble(); // the plan reached the progress
            }
            if (o["event"] == "plan") { // which device, and what goes on it, before anything is sent
                QVERIFY(stages.isEmpty());
                QCOMPARE(o["port"].toString(), QString::fromStdString(f.link()));
                QCOMPARE(o["serial"].toString(), QString("\\x7f\\x80\\xffA"));
                QCOMPARE(o["serial_hex"].toString(), QString("7F80FF41"));
                QCOMPARE(o["firmware"].toString(), QString::fromStdString(firmware));
                QCOMPARE(o["firmware_blocks"].toInt(), 3);
                planned = o["run"].toString();
            }
        }
        QCOMPARE(stages, (QStringList {"Reset...", "Memory prepare - clear", "Send update", "Verify update", "Connect...",
                                       "Send languages"}));
        // The damaged block counted to the end (how each listener renders it: the listeners' table).
        QCOMPARE(QJsonDocument::fromJson(r.out.trimmed().split('\n').last()).object()["readback_warnings"].toInt(), 1);
        QVERIFY(events.contains("message") && events.contains("table") && events.contains("plan"));
        QVERIFY(estimated);
        // The device holds the image byte for byte, the service header in it, and the table.
        QCOMPARE(f.emulator->withModel([](DeviceModel &m) { return m.image(); }), updatedImage(serial));
        const Run log = run({"--json", "log", "-n", "1"});
        QCOMPARE(QJsonDocument::fromJson(log.out).object()["readback_warnings"].toInt(), 1);
        QVERIFY2(planned.size() == 16 && QJsonDocument::fromJson(log.out).object()["run"] == planned, log.out.constData());
        QCOMPARE(f.emulator->withModel([](DeviceModel &m) { return m.table().size(); }), size_t(512));
    }
    // A carried firmware older than the device's or the same as it, and each battery reading,
    // each against its own device, side by side: they only wait on the device. Every row says its
    // text on standard error only (a success on standard output only), and the erase shows whether
    // the run began.
    void downgradeAndTheBatteryGuard()
    {
        enum Battery { Full, Raw10, Extended15 };
        struct Case {
            const char *name, *fault;
            int faultArgument;
            Battery battery;
            bool allowLow;
            int exitCode;
            QByteArray text;
            bool began;
            const char *deviceFirmware = nullptr; // the carried firmware goes on a device with this one
            const char *option = nullptr;
        };
        const Case cases[] = {
            {"older than the device's: refused", "silence", 0x51, Full, false, 8,
             "Not updated: the carried firmware 68 from 19.10.21 is older than the device's firmware 70 from 19.10.21: a "
             "downgrade (--allow-older installs it all the same).",
             false, "70"},
            {"--allow-older: a downgrade, said before the erase", "silence", 0x51, Full, false, 3,
             "mova-update: warning: the firmware to go on is older than the device's firmware 70 from 19.10.21", true,
             "70", "--allow-older"},
            {"the same: already current, on standard output", "silence", 0x51, Full, false, 0,
             "Already current: the device has the carried firmware 68 from 19.10.21 already (--reinstall writes it "
             "again).",
             false, "68"},
            {"the same, --reinstall", "silence", 0x51, Full, false, 3, "Data cannot clear.1", true, "68", "--reinstall"},
            {"raw reading, 10 %", "silence", 0x51, Raw10, false, 12, "Battery low (10 %)", false},
            {"0x5A reading, 15 %", "silence", 0x51, Extended15, false, 12, "Battery low (15 %)", false},
            // Allowed, the run begins (to an erase the device refuses, to keep it short).
            {"15 %, --allow-low-battery", "silence", 0x51, Extended15, true, 3, "Battery low (15 %)", true},
        };
        std::vector<EmulatorFixture> devices(std::size(cases));
        std::vector<QStringList> runs;
        for (size_t i = 0; i < std::size(cases); ++i) {
            const Case &c = cases[i];
            DeviceModel::Config config = quickDevice();
            if (c.battery == Raw10) {
                config.battery.mode = DeviceModel::BatteryMode::RawOnly;
                config.battery.raw = 2757;
            } else if (c.battery == Extended15) {
                config.battery.words = {2940, 15};
            }
            if (c.deviceFirmware)
                config.identity.firmwareVersion = c.deviceFirmware;
            QVERIFY(devices[i].start(config, QuickDowntimeMs));
            devices[i].emulator->withModel([&](DeviceModel &m) { return m.setFault(c.fault, true, c.faultArgument); });
            runs.push_back({"--yes", "--port", QString::fromStdString(devices[i].link()), "update"});
            if (!c.deviceFirmware)
                runs.back() << "--firmware" << QString::fromStdString(firmware) << "--table" << QString::fromStdString(table);
            if (c.allowLow)
                runs.back().prepend("--allow-low-battery");
            if (c.option)
                runs.back().prepend(c.option);
        }
        const std::vector<Run> ran = runSideBySide(runs); // a loaded machine under the sanitizers is slow
        for (size_t i = 0; i < std::size(cases); ++i) {
            const Case &c = cases[i];
            const Run &r = ran[i];
            const QByteArray row = QByteArray(c.name) + ": exit " + QByteArray::number(r.exitCode) + "\n";
            QVERIFY2(r.exitCode == c.exitCode, (row + r.out.right(2000) + r.err).constData());
            const QByteArray &said = c.exitCode == 0 ? r.out : r.err, &other = c.exitCode == 0 ? r.err : r.out;
            QVERIFY2(said.contains(c.text) && !other.contains(c.text.trimmed()), (row + said).constData());
            QVERIFY(!c.deviceFirmware || c.deviceFirmware != std::string_view("70") ||
                    r.out.contains("(carried), older than the device's firmware 70 from 19.10.21: a downgrade\n"));
            const auto commands = devices[i].emulator->commands();
            QVERIFY2((std::count(commands.begin(), commands.end(), uint8_t(0x71)) > 0) == c.began, row.constData());
        }
    }
    void refusesTheQuestionWithoutTerminal()
    {
        DeviceModel::Config config = quickDevice();
        config.identity.status = 0; // a recording may still be on the device
        QVERIFY(f.start(config, QuickDowntimeMs));
        const Run r = run({"--port", QString::fromStdString(f.link()), "--firmware", QString::fromStdString(firmware),
                           "update"});
        QCOMPARE(r.exitCode, 7);
        QVERIFY(r.out.contains("serial number     0042\n"));
        // What the question was about, why it was not asked, and no word of a decline: nobody declined.
        QVERIFY2(r.err.contains("would delete a recording that may still be on device 0042") &&
                     r.err.contains("not asked: standard input is no terminal (--yes answers it)\n") &&
                     !r.err.contains("declined"),
                 r.err.constData());
        const Run json = run({"--json", "--port", QString::fromStdString(f.link()), "--firmware",
                              QString::fromStdString(firmware), "update"});
        const QJsonObject said = QJsonDocument::fromJson(json.out.trimmed().split('\n').last()).object();
        QVERIFY2(said["text"].toString().endsWith("not asked: --json asks nobody (--yes answers it)"),
                 json.out.constData());
        const auto commands = f.emulator->commands();
        QCOMPARE(std::count(commands.begin(), commands.end(), uint8_t(0x51)), 0); // nothing erased
        QCOMPARE(std::count(commands.begin(), commands.end(), uint8_t(0x71)), 0);

        // --yes answers it and the run goes on (to an erase the device refuses, to keep it short).
        f.emulator->withModel([](DeviceModel &m) { return m.setFault("silence", true, 0x51); });
        const Run yes = run({"--yes", "--port", QString::fromStdString(f.link()), "--firmware",
                             QString::fromStdString(firmware), "update"});
        QCOMPARE(yes.exitCode, 3);
        QVERIFY(yes.err.contains("Data cannot clear.1\n"));
        // Both runs are kept, the newest first.
        const QList<QByteArray> newest = run({"log", "-n", "1"}).out.split('\n');
        QCOMPARE(newest.size(), 2);
        QVERIFY2(newest[0].contains("  0042  " + QByteArray::fromStdString(f.link()) + "  device refused  fw 67 -> -  ") &&
                     newest[0].endsWith(" s  Data cannot clear.1"),
                 newest[0].constData());
        QVERIFY(run({"log", "-n", "2"}).out.split('\n')[1].contains("  not confirmed  "));
    }
    // Whatever the hook does, the device's update stands, and neither waits for it longer than
    // its limit. The rows run side by side, each with its own device.
    void resultHooks()
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
            const QByteArray line = "\"program\":\"" + hook.toUtf8() + "\",\"serial_hex\":\"1B5B324A\",\"socket\":\"" +
                                    socket.toUtf8() + "\",\"outcome\":\"updated\",\"why\":\"" + rows[i].why.toUtf8() + "\"}\n";
            QVERIFY2(record.contains(line), qPrintable(line + "\nnot in\n" + record));
        }
    }

private:
    // The serial shown safely and its bytes exactly, and the rest as the report has them.
    void checkHookEnvironment(const QString &path, const QString &port)
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
};

QTEST_GUILESS_MAIN(TestCliUpdate)
#include "test_cli_update.moc"
