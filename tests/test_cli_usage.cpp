// mova-update's answers that need no update run: the device's readout, a device it cannot
// open or may not update, a payload it refuses, the command line's usage and image-info.
#include "cli_run.h"
#include "table_rows.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>
#include <sys/stat.h>
#include <unistd.h>

struct VerdictRow {
    const char *name;
    int hardware;
    const char *firmwareVersion;
    int battery; // percent, 0: the device's usual
    const char *option; // nullptr: none
    const char *word;   // allowed, not needed or refused
    QString reason, carried;
};
Q_DECLARE_METATYPE(VerdictRow)

class TestCliUsage : public QObject, private CliFixture {
    Q_OBJECT
private slots:
    void init() { prepare(); }
    void info()
    {
        DeviceModel::Config config = quickDevice();
        config.identity.deviceInfo = 0x2A;
        config.calibration = Bytes {0x64, 0x64, 0x64, 0x64, 0xFE, 0x00, 0x05, 0x00};
        QVERIFY(f.start(config, QuickDowntimeMs));
        const Run r = run({"--port", QString::fromStdString(f.link()), "info"});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(QString::fromUtf8(r.out),
                 QString("FW 67 from 19.10.21, SerialNr: 0042\n"
                         "serial number     0042\n"
                         "hardware version  24\n"
                         "status            1\n"
                         "device info       0x2A\n"
                         "calibration       Koef X 100 Y 100 Z 100 Mag 100, Offset X -2 Y 0 Z 5\n"
                         "battery           Accu: 76 %\n"
                         "update            allowed: would install firmware 68 over firmware 67\n"
                         "carried firmware  FW 68 from 19.10.21: newer than the device's\n"));
    }
    void infoSaysWhatUpdateWouldDo_data()
    {
        const QString same = "FW 68 from 19.10.21: the same as the device's", newer = "FW 68 from 19.10.21: newer than the device's";
        const QString older = "FW 68 from 19.10.21: older than the device's";
        addRows<VerdictRow>({
            {"hardware 25: no comparison", 25, "68", 0, nullptr, "refused",
             "the device is hardware version 25, this build is for hardware version 24: its firmware does not fit the device",
             "FW 68 from 19.10.21"},
            {"battery 14 %", 24, "67", 14, nullptr, "refused",
             "the battery shows 14 %, below 20 % (--allow-low-battery updates all the same)", newer},
            {"battery 14 %, allowed", 24, "67", 14, "--allow-low-battery", "allowed",
             "would install firmware 68 over firmware 67; the battery shows 14 %, below 20 %, going on as "
             "--allow-low-battery says",
             newer},
            {"firmware 70: a downgrade, refused", 24, "70", 0, nullptr, "refused",
             "the carried firmware 68 from 19.10.21 is older than the device's firmware 70 from 19.10.21: a downgrade "
             "(--allow-older installs it all the same)",
             older},
            {"firmware 70, --allow-older", 24, "70", 0, "--allow-older", "allowed",
             "would install firmware 68 over firmware 70: a downgrade, as --allow-older says", older},
            {"firmware 68: not needed", 24, "68", 14, nullptr, "not needed",
             "the device has the carried firmware 68 from 19.10.21 already (--reinstall writes it again)", same},
            {"firmware 68, --reinstall", 24, "68", 0, "--reinstall", "allowed",
             "would install firmware 68 over firmware 68 (the same), as --reinstall says", same},
        });
    }
    void infoSaysWhatUpdateWouldDo()
    {
        QFETCH(VerdictRow, row);
        DeviceModel::Config config = quickDevice();
        config.identity.hardwareVersion = uint8_t(row.hardware);
        config.identity.firmwareVersion = row.firmwareVersion;
        if (row.battery != 0)
            config.battery.words = {2940, uint16_t(row.battery)};
        QVERIFY(f.start(config, QuickDowntimeMs));
        QStringList arguments {"--port", QString::fromStdString(f.link()), "info"};
        if (row.option)
            arguments.prepend(row.option);
        const Run r = run(arguments);
        const QString said = QString(row.word) + ": " + row.reason + "\ncarried firmware  " + row.carried + "\n";
        QVERIFY2(r.out.endsWith("\nupdate            " + said.toUtf8()), r.out.constData());
        const Run json = run(QStringList {"--json"} + arguments);
        const QJsonObject device = QJsonDocument::fromJson(json.out.split('\n').first()).object();
        QCOMPARE(device["update_allowed"].toBool(), row.word == QString("allowed"));
        QCOMPARE(device["update_reason"].toString(), row.reason);
    }
    void infoWithoutDevice()
    {
        const Run r = run({"--port", QString::fromStdString(f.path("nothing")), "info"});
        QCOMPARE(r.exitCode, 2);
        QVERIFY(r.err.startsWith("No connection - Initialise error\n"));
        QVERIFY(r.err.contains("/nothing: not found"));
        QVERIFY2(r.err.contains("\n  Nothing is at the path given"), r.err.constData()); // explained by its reason
        QVERIFY(r.out.isEmpty()); // failures go to standard error, results to standard output
    }
    void payloadRefused_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("text");
        QTest::newRow("broken firmware: payload invalid") << "broken" << "small.hex: Error in Zeile 2. Checksumme error";
        QTest::newRow("firmware file missing") << "no firmware" << "none.hex: not found";
        QTest::newRow("table file empty") << "empty table" << "small.tra: empty";
        QTest::newRow("firmware given as the table") << "hex table"
                                                     << "small.hex: not a translation table (it does not begin with \"LANG\")";
        // Refused by what they are, before a byte is read: nothing waits for a writer or reads forever.
        QTest::newRow("firmware a FIFO") << "fifo firmware" << "fifo: not a regular file";
        QTest::newRow("table a FIFO") << "fifo table" << "fifo: not a regular file";
        QTest::newRow("firmware /dev/zero") << "zero firmware" << "zero.hex: not a regular file";
        QTest::newRow("firmware of 2 GB") << "huge firmware"
                                          << "huge.hex: too large (2147483648 bytes, at most 16777216 for a firmware text)";
        QTest::newRow("table of 65,536 blocks") << "huge table"
                                                << "huge.tra: too large (65536 blocks of 512 bytes, at most 65535)";
    }
    void payloadRefused()
    {
        QFETCH(QString, fault);
        QFETCH(QString, text);
        QVERIFY(f.start(quickDevice(), QuickDowntimeMs));
        std::string firmwarePath = firmware, tablePath = table;
        if (fault.startsWith("fifo")) {
            ::unlink(f.path("fifo").c_str());
            QCOMPARE(::mkfifo(f.path("fifo").c_str(), 0600), 0);
            (fault.endsWith("firmware") ? firmwarePath : tablePath) = f.path("fifo");
        } else if (fault == "zero firmware") {
            firmwarePath = f.path("zero.hex"); // a link: the payload's own path is followed
            QVERIFY(QFile::link("/dev/zero", QString::fromStdString(firmwarePath)));
        } else if (fault.startsWith("huge")) { // sparse: nothing of it is on the disk
            std::string &path = fault.endsWith("firmware") ? firmwarePath : tablePath;
            path = f.path(fault.endsWith("firmware") ? "huge.hex" : "huge.tra");
            QFile file(QString::fromStdString(path));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(fault.endsWith("firmware") ? 2LL << 30 : 65536LL * 512));
        } else if (fault == "broken") {
            writeFile(QString::fromStdString(firmware), hexText(image).replace(":10001000", ":10001001"));
        } else if (fault == "hex table") {
            tablePath = firmware;
        } else if (fault == "no firmware") {
            firmwarePath = f.path("none.hex");
        } else if (fault == "empty table") {
            writeFile(QString::fromStdString(table), {});
        }
        const Run r = run({"--port", QString::fromStdString(f.link()), "--firmware", QString::fromStdString(firmwarePath),
                           "--table", QString::fromStdString(tablePath), "update"},
                          20'000);
        QVERIFY2(r.exitCode == 6, (QByteArray::number(r.exitCode) + "\n" + r.out.right(2000) + r.err).constData());
        QVERIFY2(r.err.contains(text.toUtf8() + "\n") && !r.out.contains(text.toUtf8()), r.err.constData());
        // Refused before the device heard a byte.
        QVERIFY(r.err.startsWith("payload invalid: " + QByteArray::fromStdString(f.path(""))));
        QVERIFY(fault != "broken" || r.err.contains("\n  line 3 of " + QByteArray::fromStdString(firmware) + "\n"));
        QVERIFY(f.emulator->trace().empty());
    }
    void cannotOpen_data()
    {
        QTest::addColumn<QString>("why");
        QTest::addColumn<QString>("hint");
        QTest::newRow("held by another program") << "busy" << "is in use by another program";
        QTest::newRow("a regular file") << "file" << ": not a terminal device";
        QTest::newRow("a device that is no terminal") << "null" << ": not a terminal device";
        QTest::newRow("no permission") << "denied" << "install the udev rules /usr/lib/udev/rules.d/70-mova-update.rules";
        QTest::newRow("a path under no folder") << "nowhere" << ": not found (is the device plugged in";
        QTest::newRow("a name too long") << "long" << ": cannot be opened: File name too long";
        QTest::newRow("the program's own terminal") << "/dev/tty" << "/dev/tty: the terminal this program runs in, not a device";
    }
    void cannotOpen()
    {
        QFETCH(QString, why);
        QFETCH(QString, hint);
        QVERIFY(f.start(quickDevice(), QuickDowntimeMs));
        std::string path = f.link();
        UsbConnection holder(realClock());
        if (why == "busy") {
            QVERIFY(holder.openComPort(f.link(), false));
        } else if (why == "file") {
            path = firmware;
        } else if (why == "null" || why == "/dev/tty") {
            path = why == "null" ? "/dev/null" : "/dev/tty";
        } else if (why == "nowhere") {
            path = f.path("nowhere/ttyMOVA");
        } else if (why == "long") {
            path = f.path("") + std::string(5000, 'x');
        } else {
            if (geteuid() == 0)
                QSKIP("root opens whatever the permissions say");
            QCOMPARE(::chmod(f.emulator->slavePath().c_str(), 0), 0);
        }
        const Run r = run({"--port", QString::fromStdString(path), "update"});
        QCOMPARE(r.exitCode, 2);
        // The explanation beside the message fits every reason: a missing path is not a device "there".
        QVERIFY2(r.err.startsWith("No connection - Initialise error\n") &&
                     r.err.contains(QByteArray::fromStdString(path)) && r.err.contains(hint.toUtf8()) &&
                     !r.err.contains("is there"),
                 r.err.constData());
        const Run log = run({"log", "-n", "1"}); // the record keeps why
        QVERIFY2(log.out.contains("  not connected  fw -  ") && log.out.contains(" s  No connection - Initialise error: ") &&
                     log.out.contains(hint.toUtf8()),
                 log.out.constData());
    }
    void refusesADeviceTheBuildIsNotFor_data()
    {
        QTest::addColumn<int>("hardware");
        QTest::addColumn<QString>("firmwareVersion");
        QTest::addColumn<QString>("why");
        // Same road and capacity as the build's 24: only the gate keeps its firmware out.
        QTest::newRow("hardware 23") << 23 << "68" << "the device is hardware version 23, this build is for hardware version 24";
        QTest::newRow("hardware 26") << 26 << "68" << "the device is hardware version 26, this build is for hardware version 24";
        QTest::newRow("firmware 6") << 24 << "06" << "the device's firmware version 6 is too old";
        // Not two digits: nothing of the date is taken for the version, nothing is written.
        QTest::newRow("firmware field \" 7\"") << 24 << " 7" << "the device's firmware version is not two digits";
    }
    void refusesADeviceTheBuildIsNotFor()
    {
        QFETCH(int, hardware);
        QFETCH(QString, firmwareVersion);
        QFETCH(QString, why);
        DeviceModel::Config config = quickDevice();
        config.identity.hardwareVersion = uint8_t(hardware);
        config.identity.firmwareVersion = firmwareVersion.toStdString();
        QVERIFY(f.start(config, QuickDowntimeMs));
        const Run r = run({"--yes", "--port", QString::fromStdString(f.link()), "--firmware",
                           QString::fromStdString(firmware), "update"});
        QCOMPARE(r.exitCode, 8);
        QVERIFY2(r.err.contains("Not updated: " + why.toUtf8()), r.err.constData());
        // Only what the window's readout asks, and the goodbye: nothing that writes.
        for (uint8_t command : f.emulator->commands())
            QVERIFY2(command != 0x71 && command != 0x51 && command != 0x78 && command != 0xE0,
                     qPrintable(QString::number(command, 16)));
    }
    void usage_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("said"); // on standard error for a usage error, else standard output
        QTest::newRow("version") << QStringList {"--version"} << 0 << "mova-update 1.0.4.0\ncarried firmware  Corvane MOVA FW 68 from 19.10.21\nhardware version  24\n";
        QTest::newRow("help as a word") << QStringList {"help"} << 1 << "mova-update: unknown command 'help'\n";
        QTest::newRow("unknown command") << QStringList {"bogus"} << 1 << "mova-update: unknown command 'bogus'\n";
        QTest::newRow("option without its value") << QStringList {"--port"} << 1 << "mova-update: option '--port' needs a value\n";
        QTest::newRow("one argument too many") << QStringList {"info", "extra"} << 1 << "mova-update: unexpected argument 'extra'\n";
        QTest::newRow("hardware not a number") << QStringList {"--hardware", "abc", "image-info"} << 1
                                               << "mova-update: --hardware takes a whole number from 0 to 255, not 'abc'\n";
        QTest::newRow("no command") << QStringList {} << 1 << "mova-update: no command given\n";
        QTest::newRow("batch options without update")
            << QStringList {"--port", "a", "--port", "b", "info"} << 1
            << "mova-update: --all, --repeat, --report, --on-result and more than one --port go with update only\n";
        QTest::newRow("all, and no device present") << QStringList {"--all", "update"} << 2
                                                    << "No connection - Corvane not connected\nno device found with the USB id ";
        QTest::newRow("export without log") << QStringList {"--export", "x.tar.gz", "list"} << 1
                                            << "mova-update: --export goes with log only\n";
        QTest::newRow("since in another form") << QStringList {"log", "--since", "09.12.2026"} << 1
                                               << "mova-update: --since takes YYYY-MM-DD, YYYY-MM-DDTHH:MM or YYYY-MM-DDTHH:MM:SS";
        QTest::newRow("an outcome unknown") << QStringList {"log", "--outcome", "fine"} << 1
                                            << "mova-update: --outcome takes one of updated, ok, usage, not connected, device refused,";
        QTest::newRow("count without repeat") << QStringList {"--count", "3", "update"} << 1
                                              << "mova-update: --count goes with --repeat\n";
        QTest::newRow("report a FIFO") << QStringList {"--port", "a", "--port", "b", "--report", "FIFO", "update"} << 1
                                       << "mova-update: cannot write the report: FIFO: not a regular file\n";
    }
    void usage()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, said);
        if (const qsizetype at = arguments.indexOf("FIFO"); at >= 0) { // one that no reader ever opens
            const QString fifo = QString::fromStdString(f.path("report.fifo"));
            QFile::remove(fifo);
            QCOMPARE(::mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);
            arguments[at] = fifo;
            said.replace("FIFO", fifo);
        }
        const Run r = run(arguments, 20'000);
        QCOMPARE(r.exitCode, exitCode);
        if (exitCode == 0) {
            QCOMPARE(QString::fromUtf8(r.out), said);
            return;
        }
        // The bad argument, then one line of usage (not for a file that cannot be written); the
        // whole text only with --help.
        const int lines = arguments.contains("--report") ? 1 : 2;
        QVERIFY2(r.err.startsWith(said.toUtf8()) && r.err.count('\n') == lines && r.out.isEmpty(), r.err.constData());
    }
    void imageInfo()
    {
        const Run carried = run({"image-info"});
        QCOMPARE(carried.exitCode, 0);
        QVERIFY(carried.out.contains("highest offset    0xBD3A3\n"));
        QVERIFY(carried.out.contains("blocks of 512     1514\n"));
        const Run small = run({"image-info", QStringLiteral(CARRIED_HEX), "--hardware", "22"});
        QCOMPARE(small.exitCode, 6);
        QVERIFY(small.err.startsWith("Error in Zeile 2561.Adresse out memory\n  line 2562 of " CARRIED_HEX "\n"));
        const Run smallJson = run({"--json", "image-info", QStringLiteral(CARRIED_HEX), "--hardware", "22"});
        const QJsonObject said = QJsonDocument::fromJson(smallJson.out.split('\n').first()).object();
        QVERIFY2(said["line"].toInt() == 2562 && said["file"].toString() == CARRIED_HEX, smallJson.out.constData());
        // A file that cannot be read: the reason update gives, and what to do about the file.
        writeFile(QString::fromStdString(f.path("empty.hex")), {});
        for (const auto &[path, reason] : {std::pair {f.path("none.hex"), "not found"}, {f.path("empty.hex"), "empty"},
                                           {f.path("."), "a folder, not a file"}, {"/dev/zero", "not a regular file"}}) {
            const Run r = run({"image-info", QString::fromStdString(path)}, 20'000);
            QCOMPARE(r.exitCode, 6);
            QVERIFY2(r.err.startsWith(("payload invalid: " + path + ": " + reason + "\n  A firmware or table file").c_str()),
                     r.err.constData());
        }
        const Run json = run({"--json", "image-info"});
        QCOMPARE(QJsonDocument::fromJson(json.out.trimmed().split('\n').last()).object()["outcome"].toString(), QString("ok"));
    }
};

QTEST_GUILESS_MAIN(TestCliUsage)
#include "test_cli_usage.moc"
