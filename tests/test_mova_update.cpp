// mova-update against the emulator on a pseudo-terminal: what it prints, what it exits with,
// and what the device ends up holding.
#include "emulator_fixture.h"
#include "update_rig.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QtTest>
#include <csignal>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

using Bytes = std::vector<uint8_t>;

namespace {

struct Run {
    int exitCode = -1;
    QByteArray out, err;
};

// Runs mova-update; `during` is called once it has started, with its process id.
Run run(const QStringList &arguments, int timeoutMs = 60'000, const std::function<void(qint64)> &during = {})
{
    QProcess p;
    p.start(MOVA_UPDATE, arguments);
    p.closeWriteChannel(); // standard input is no terminal, and says nothing
    if (during && p.waitForStarted())
        during(p.processId());
    Run r;
    QByteArray stuck;
    if (!p.waitForFinished(timeoutMs)) {
        // Where it waits, for the failure's report: a hang must be found, not guessed.
        const QString task = QString("/proc/%1/task").arg(p.processId());
        for (const QString &t : QDir(task).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            QFile wchan(task + "/" + t + "/wchan"), stack(task + "/" + t + "/stack");
            stuck += "\ntask " + t.toUtf8() + " waits in " + (wchan.open(QIODevice::ReadOnly) ? wchan.readAll() : "?");
            if (stack.open(QIODevice::ReadOnly))
                stuck += "\n" + stack.readAll();
        }
        p.kill();
        p.waitForFinished();
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    if (!stuck.isEmpty())
        r.err += "\n(killed after " + QByteArray::number(timeoutMs) + " ms)" + stuck;
    return r;
}

} // namespace

class TestMovaUpdate : public QObject {
    Q_OBJECT
private slots:
    void init();
    void info();
    void infoWithoutDevice();
    void updatesTheDeviceTellingEveryEvent();
    void failures_data();
    void failures();
    void refusesTheQuestionWithoutTerminal();
    void cannotOpen_data();
    void cannotOpen();
    void refusesADeviceTheBuildIsNotFor_data();
    void refusesADeviceTheBuildIsNotFor();
    void stopSignals_data();
    void stopSignals();
    void lowBattery_data();
    void lowBattery();
    void batch_data();
    void batch();
    void oneAfterAnother();
    void aLinkMadeAgainIsTheNextDevice();
    void usage_data();
    void usage();
    void imageInfo();

private:
    // The image a device holds after the small firmware went on: its own serial in the header.
    Bytes updatedImage(const std::string &serial) const
    {
        Bytes expected(3 * 512, 0);
        std::copy(image.begin(), image.end(), expected.begin());
        writeServiceHeader(expected, {serial, 100, 0, 100, 0, 100, 0, 100, 0});
        return expected;
    }

    EmulatorFixture f;
    std::string firmware, table;
    QByteArray image;
};

void TestMovaUpdate::init()
{
    f.emulator.reset();
    image = imageBytes(1200);
    auto write = [&](const char *name, const QByteArray &bytes) {
        QFile file(QString::fromStdString(f.path(name)));
        file.open(QIODevice::WriteOnly);
        file.write(bytes);
        return f.path(name);
    };
    firmware = write("small.hex", hexText(image));
    table = write("small.tra", "LANG" + QByteArray(100, 'x'));
}

void TestMovaUpdate::info()
{
    DeviceModel::Config config;
    config.identity.deviceInfo = 0x2A;
    config.calibration = Bytes {0x64, 0x64, 0x64, 0x64, 0xFE, 0x00, 0x05, 0x00};
    QVERIFY(f.start(config));
    const Run r = run({"--port", QString::fromStdString(f.link()), "info"});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(QString::fromUtf8(r.out),
             QString("FW 68 from 19.10.21, SerialNr: 0042\n"
                     "serial number     0042\n"
                     "hardware version  24\n"
                     "status            1\n"
                     "device info       0x2A\n"
                     "calibration       Koef X 100 Y 100 Z 100 Mag 100, Offset X -2 Y 0 Z 5\n"
                     "battery           Accu: 76 %\n"
                     "update            allowed\n"
                     "carried firmware  FW 68 from 19.10.21: the same as the device's\n"));
}

void TestMovaUpdate::infoWithoutDevice()
{
    const Run r = run({"--port", QString::fromStdString(f.path("nothing")), "info"});
    QCOMPARE(r.exitCode, 2);
    QVERIFY(r.err.startsWith("No connection - Initialise error\n"));
    QVERIFY(r.err.contains("/nothing: not found"));
    QVERIFY(r.out.isEmpty()); // failures go to standard error, results to standard output
}

void TestMovaUpdate::failures_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("argument");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("text");
    QTest::newRow("erase not echoed: device refused") << "silence" << 0x51 << 3 << "Data cannot clear.1";
    QTest::newRow("block never answered: transfer failed") << "block-silent" << 1 << 4 << "Error by senden Update.2";
    QTest::newRow("no read-back: verify failed") << "readback-silent" << -1 << 5 << "Error by verify Update";
    QTest::newRow("broken firmware: payload invalid") << "broken" << -1 << 6 << "small.hex: Error in Zeile 2. Checksumme error";
    QTest::newRow("firmware file missing") << "no firmware" << -1 << 6 << "none.hex: not found";
    QTest::newRow("table file empty") << "empty table" << -1 << 6 << "small.tra: empty";
    // Refused by what they are, before a byte is read: nothing waits for a writer or reads forever.
    QTest::newRow("firmware a FIFO") << "fifo firmware" << -1 << 6 << "fifo: not a regular file";
    QTest::newRow("table a FIFO") << "fifo table" << -1 << 6 << "fifo: not a regular file";
    QTest::newRow("firmware /dev/zero") << "zero firmware" << -1 << 6 << "zero.hex: not a regular file";
    QTest::newRow("firmware of 2 GB") << "huge firmware" << -1 << 6
                                      << "huge.hex: too large (2147483648 bytes, at most 16777216 for a firmware text)";
    QTest::newRow("table of 65,536 blocks")
        << "huge table" << -1 << 6 << "huge.tra: too large (65536 blocks of 512 bytes, at most 65535)";
    QTest::newRow("table refused: firmware in, table not sent") << "refuse-language" << -1 << 9
                                                                << "Error by senden Language.5";
}

void TestMovaUpdate::failures()
{
    QFETCH(QString, fault);
    QFETCH(int, argument);
    QFETCH(int, exitCode);
    QFETCH(QString, text);
    QVERIFY(f.start(DeviceModel::Config(), 500));
    std::string firmwarePath = firmware, tablePath = table;
    const bool payload = exitCode == 6;
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
        QFile file(QString::fromStdString(firmware));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(hexText(image).replace(":10001000", ":10001001"));
    } else if (fault == "no firmware") {
        firmwarePath = f.path("none.hex");
    } else if (fault == "empty table") {
        QFile file(QString::fromStdString(table));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    } else {
        f.emulator->withModel([&](DeviceModel &m) { return m.setFault(fault.toStdString(), true, argument); });
    }
    const Run r = run({"--port", QString::fromStdString(f.link()), "--firmware", QString::fromStdString(firmwarePath),
                       "--table", QString::fromStdString(tablePath), "update"},
                      payload ? 20'000 : 120'000); // a loaded machine under the sanitizers is slow; a hang still fails
    QVERIFY2(r.exitCode == exitCode, (QByteArray::number(r.exitCode) + "\n" + r.out.right(2000) + r.err).constData());
    QVERIFY2(r.err.contains(text.toUtf8() + "\n") && !r.out.contains(text.toUtf8()), r.err.constData());
    if (payload) { // refused before the device heard a byte
        QVERIFY(r.err.startsWith("payload invalid: " + QByteArray::fromStdString(f.path(""))));
        QVERIFY(f.emulator->trace().empty());
    }
}

void TestMovaUpdate::updatesTheDeviceTellingEveryEvent()
{
    // A serial of bytes that are no text: every line still decodes as strict UTF-8, the serial
    // is given escaped and exactly, and the image gets its bytes.
    const std::string serial = "\x7f\x80\xff\x41";
    DeviceModel::Config config;
    config.identity.serial = serial;
    QVERIFY(f.start(config, 500));
    const Run r = run({"--json", "--port", QString::fromStdString(f.link()), "--firmware",
                       QString::fromStdString(firmware), "--table", QString::fromStdString(table), "update"});
    QCOMPARE(r.exitCode, 0);
    QStringList events, stages;
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
        }
    }
    QCOMPARE(stages, (QStringList {"Reset...", "Memory prepare - clear", "Send update", "Verify update", "Connect...",
                                   "Send languages"}));
    const QJsonObject result = QJsonDocument::fromJson(r.out.trimmed().split('\n').last()).object();
    QCOMPARE(result["event"].toString(), QString("result"));
    QCOMPARE(result["ok"].toBool(), true);
    QCOMPARE(result["exit"].toInt(), 0);
    QCOMPARE(result["outcome"].toString(), QString("updated"));
    QVERIFY(events.contains("message") && events.contains("table") && events.contains("plan"));
    QVERIFY(estimated);
    // The device holds the image byte for byte, the service header in it, and the table.
    QCOMPARE(f.emulator->withModel([](DeviceModel &m) { return m.image(); }), updatedImage(serial));
    const Run log = run({"--json", "log", "-n", "1"});
    QVERIFY2(QString::fromUtf8(log.out).toUtf8() == log.out, log.out.constData());
    QCOMPARE(QJsonDocument::fromJson(log.out).object()["device"].toObject()["serial_hex"].toString(), QString("7F80FF41"));
    QCOMPARE(f.emulator->withModel([](DeviceModel &m) { return m.table().size(); }), size_t(512));
}

void TestMovaUpdate::refusesTheQuestionWithoutTerminal()
{
    DeviceModel::Config config;
    config.identity.status = 0; // a recording may still be on the device
    QVERIFY(f.start(config));
    const Run r = run({"--port", QString::fromStdString(f.link()), "--firmware", QString::fromStdString(firmware),
                       "update"});
    QCOMPARE(r.exitCode, 7);
    QVERIFY(r.out.contains("serial number     0042\n"));
    QVERIFY(r.err.contains("A firmware update will delete that recording."));
    QVERIFY(r.err.contains("the question could not be asked")); // nobody declined
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
    QVERIFY2(newest[0].endsWith("  0042  " + QByteArray::fromStdString(f.link()) + "  device refused  Data cannot clear.1"),
             newest[0].constData());
    QVERIFY(run({"log", "-n", "2"}).out.split('\n')[1].contains("operator declined"));
}

void TestMovaUpdate::cannotOpen_data()
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

void TestMovaUpdate::cannotOpen()
{
    QFETCH(QString, why);
    QFETCH(QString, hint);
    QVERIFY(f.start());
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
    const Run r = run({"--port", QString::fromStdString(path), "info"});
    QCOMPARE(r.exitCode, 2);
    // The explanation beside the message fits every reason: a missing path is not a device "there".
    QVERIFY2(r.err.startsWith("No connection - Initialise error\n") &&
                 r.err.contains(QByteArray::fromStdString(path)) && r.err.contains(hint.toUtf8()) &&
                 !r.err.contains("is there"),
             r.err.constData());
}

void TestMovaUpdate::refusesADeviceTheBuildIsNotFor_data()
{
    QTest::addColumn<int>("hardware");
    QTest::addColumn<QString>("firmwareVersion");
    QTest::addColumn<QString>("why");
    // Same road and capacity as the build's 24: only the gate keeps its firmware out.
    QTest::newRow("hardware 23") << 23 << "68" << "the device is hardware version 23, this build is for hardware version 24";
    QTest::newRow("hardware 26") << 26 << "68" << "the device is hardware version 26, this build is for hardware version 24";
    QTest::newRow("firmware 6") << 24 << "06" << "the device's firmware version 6 is too old";
}

void TestMovaUpdate::refusesADeviceTheBuildIsNotFor()
{
    QFETCH(int, hardware);
    QFETCH(QString, firmwareVersion);
    QFETCH(QString, why);
    DeviceModel::Config config;
    config.identity.hardwareVersion = uint8_t(hardware);
    config.identity.firmwareVersion = firmwareVersion.toStdString();
    QVERIFY(f.start(config));
    const Run r = run({"--yes", "--port", QString::fromStdString(f.link()), "--firmware",
                       QString::fromStdString(firmware), "update"});
    QCOMPARE(r.exitCode, 8);
    QVERIFY2(r.err.contains("Not updated: " + why.toUtf8()), r.err.constData());
    // Only what the window's readout asks, and the goodbye: nothing that writes.
    for (uint8_t command : f.emulator->commands())
        QVERIFY2(command != 0x71 && command != 0x51 && command != 0x78 && command != 0xE0,
                 qPrintable(QString::number(command, 16)));
}

void TestMovaUpdate::stopSignals_data()
{
    QTest::addColumn<QString>("when");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("Ctrl-C while it reads the device: leaves at once, politely") << "before" << 130;
    QTest::newRow("Ctrl-C twice while it writes: stopped") << "twice" << 10;
    QTest::newRow("Ctrl-C once, then the terminal closes: goes on to the end") << "once+hangup" << 0;
}

void TestMovaUpdate::stopSignals()
{
    QFETCH(QString, when);
    QFETCH(int, exitCode);
    QVERIFY(f.start(DeviceModel::Config(), 500));
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
    const auto commands = f.emulator->commands();
    if (when == "before") {
        QCOMPARE(commands.back(), uint8_t(0x70)); // the goodbye
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

void TestMovaUpdate::lowBattery_data()
{
    QTest::addColumn<QString>("form");
    QTest::addColumn<bool>("allowed");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("raw reading, 10 %") << "raw" << false << 12;
    QTest::newRow("0x5A reading, 15 %") << "extended" << false << 12;
    QTest::newRow("15 %, --allow-low-battery") << "extended" << true << 0;
}

void TestMovaUpdate::lowBattery()
{
    QFETCH(QString, form);
    QFETCH(bool, allowed);
    QFETCH(int, exitCode);
    DeviceModel::Config config;
    if (form == "raw") {
        config.battery.mode = DeviceModel::BatteryMode::RawOnly;
        config.battery.raw = 2757;
    } else {
        config.battery.words = {2940, 15};
    }
    QVERIFY(f.start(config, 500));
    QStringList arguments {"--yes", "--port", QString::fromStdString(f.link()), "--firmware",
                           QString::fromStdString(firmware), "--table", QString::fromStdString(table), "update"};
    if (allowed)
        arguments.prepend("--allow-low-battery");
    const Run r = run(arguments);
    QCOMPARE(r.exitCode, exitCode);
    QVERIFY2(r.err.contains(form == "raw" ? "Battery low (10 %)" : "Battery low (15 %)"), r.err.constData());
    const auto commands = f.emulator->commands();
    QCOMPARE(std::count(commands.begin(), commands.end(), uint8_t(0x71)) > 0, allowed); // reset: the run began
}

void TestMovaUpdate::batch_data()
{
    QTest::addColumn<QStringList>("serials"); // each device's four bytes, in hexadecimal
    QTest::addColumn<QStringList>("shown");   // its serial as the CSV report must show it
    QTest::addColumn<int>("faulty"); // the device whose second block is never answered (-1: none)
    QTest::addColumn<int>("killed"); // the device whose process is killed while it writes (-1: none)
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("outcomes");
    const QStringList three {"30333031", "30333032", "30333033"}, threeShown {"0301", "0302", "0303"};
    QTest::newRow("three side by side") << three << threeShown << -1 << -1 << 0
                                        << QStringList {"updated", "updated", "updated"};
    QTest::newRow("a fault on the second") << three << threeShown << 1 << -1 << 4
                                           << QStringList {"updated", "transfer failed", "updated"};
    QTest::newRow("two with one serial") << QStringList {"30333031", "30333031"} << QStringList {"0301", "0301"} << -1
                                         << -1 << 13 << QStringList {"same serial", "same serial"};
    // A device's serial is its identity whatever its bytes: none of these is a reason to skip it.
    QTest::newRow("not UTF-8, look-alikes, a formula, a screen clear")
        << QStringList {"80414243", "41004243", "41005859", "3d312b31", "1b5b324a"}
        << QStringList {"\\x80ABC", "A\\x00BC", "A\\x00XY", "\"'=1+1\"", "\\x1b[2J"} << -1 << -1 << 0
        << QStringList {"updated", "updated", "updated", "updated", "updated"};
    QTest::newRow("a process killed while it writes") << QStringList {"30333031", "30333032"}
                                                      << QStringList {"0301", "0302"} << -1 << 1 << 16
                                                      << QStringList {"updated", "ended abnormally"};
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

void TestMovaUpdate::batch()
{
    QFETCH(QStringList, serials);
    QFETCH(QStringList, shown);
    QFETCH(int, faulty);
    QFETCH(int, killed);
    QFETCH(int, exitCode);
    QFETCH(QStringList, outcomes);
    std::vector<std::unique_ptr<PtyEmulator>> devices;
    QStringList arguments {"--yes"};
    for (int i = 0; i < serials.size(); ++i) {
        PtyEmulator::Options options;
        options.link = f.path(("dev" + std::to_string(i)).c_str());
        options.device.identity.serial = QByteArray::fromHex(serials[i].toLatin1()).toStdString();
        options.resetDowntimeMs = 500;
        devices.push_back(std::make_unique<PtyEmulator>(options));
        QVERIFY(devices.back()->start());
        if (i == faulty)
            devices.back()->withModel([](DeviceModel &m) { return m.setFault("block-silent", true, 1); });
        arguments << "--port" << QString::fromStdString(options.link);
    }
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
    const QString rows = QString::fromUtf8(file.readAll());
    QVERIFY(rows.startsWith("time,port,serial,hardware_version,firmware_before,firmware_after,battery,outcome,exit,"
                            "message,duration_s,serial_hex\n"));
    QCOMPARE(rows.count('\n'), serials.size() + 1);
    for (int i = 0; i < serials.size(); ++i) {
        const bool updated = outcomes[i] == "updated";
        const QString row = "," + QString::fromStdString(devices[i]->link()) + "," + shown[i] + ",24,68," +
                            (updated ? "68" : "") + ",Accu: 76 %," + outcomes[i] + ",";
        QVERIFY2(rows.contains(row), qPrintable(row + "\nnot in\n" + rows));
        QVERIFY(rows.contains("," + serials[i].toUpper() + "\n"));
        const Bytes held = devices[i]->withModel([](DeviceModel &m) { return m.image(); });
        QCOMPARE(held == updatedImage(QByteArray::fromHex(serials[i].toLatin1()).toStdString()), updated);
        const auto commands = devices[i]->commands();
        if (outcomes[i] == "same serial") // refused before a byte was written
            QCOMPARE(std::count(commands.begin(), commands.end(), uint8_t(0x71)), 0);
    }
    if (killed >= 0) { // said to be half written, in the report and in the record the batch kept for it
        QVERIFY2(rows.contains("may be without working firmware"), qPrintable(rows));
        QVERIFY(run({"log", "-n", "2"}).out.contains("ended abnormally"));
    }
    QVERIFY(!run({"log", "-n", "9"}).out.contains('\x1b'));
    // The summary counts them; it goes where a failure goes when one failed.
    const QByteArray summary = QString("%1 devices: %2 updated, %3 failed\n")
                                   .arg(serials.size())
                                   .arg(outcomes.count("updated"))
                                   .arg(serials.size() - outcomes.count("updated"))
                                   .toUtf8();
    QVERIFY2((exitCode == 0 ? r.out : r.err).contains(summary), r.err.constData());
}

void TestMovaUpdate::oneAfterAnother()
{
    DeviceModel::Config config;
    config.identity.serial = "0401";
    QVERIFY(f.start(config, 500));
    const QString report = QString::fromStdString(f.path("report.jsonl"));
    QFile::remove(report);
    auto rows = [&] {
        QFile file(report);
        return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().split('\n') : QByteArrayList();
    };
    std::vector<Bytes> images;
    // Each device, once its row is written, is swapped for the next: a device left in its
    // place would be updated a second time, and its serial would show twice.
    const Run r = run({"--yes", "--repeat", "--count", "3", "--port", QString::fromStdString(f.link()), "--firmware",
                       QString::fromStdString(firmware), "--table", QString::fromStdString(table), "--report", report,
                       "update"},
                      120'000, [&](qint64) {
                          for (int done = 1; done <= 3; ++done) {
                              QTRY_VERIFY_WITH_TIMEOUT(rows().size() >= done && !rows()[0].isEmpty(), 60'000);
                              images.push_back(f.emulator->withModel([](DeviceModel &m) { return m.image(); }));
                              QTest::qWait(1000);
                              config.identity.serial = "040" + std::to_string(done + 1);
                              if (done < 3)
                                  f.emulator->replaceDevice(config);
                          }
                      });
    QVERIFY2(r.exitCode == 0, r.err.constData());
    QCOMPARE(rows().size(), 3);
    for (int i = 0; i < 3; ++i) {
        const QJsonObject row = QJsonDocument::fromJson(rows()[i]).object();
        const std::string serial = "040" + std::to_string(i + 1);
        QCOMPARE(row["serial"].toString().toStdString(), serial);
        QCOMPARE(row["outcome"].toString(), QString("updated"));
        QCOMPARE(row["firmware_after"].toInt(), 68);
        QCOMPARE(images[size_t(i)], updatedImage(serial));
    }
    QVERIFY(r.out.endsWith("3 devices: 3 updated, 0 failed\n"));
}

// A swap quicker than one look: the file system hands the new link the old one's inode
// number and the node is the same, so only the link's making tells the batch it changed.
void TestMovaUpdate::aLinkMadeAgainIsTheNextDevice()
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

void TestMovaUpdate::usage_data()
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
        << "mova-update: --all, --repeat, --report and more than one --port go with update only\n";
    QTest::newRow("all, and no device present") << QStringList {"--all", "update"} << 2
                                                << "No connection - Corvane not connected\nno device found with the USB id ";
    QTest::newRow("count without repeat") << QStringList {"--count", "3", "update"} << 1
                                          << "mova-update: --count goes with --repeat\n";
    QTest::newRow("report a FIFO") << QStringList {"--port", "a", "--port", "b", "--report", "FIFO", "update"} << 1
                                   << "mova-update: cannot write the report: FIFO: not a regular file\n";
}

void TestMovaUpdate::usage()
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

void TestMovaUpdate::imageInfo()
{
    const Run carried = run({"image-info"});
    QCOMPARE(carried.exitCode, 0);
    QVERIFY(carried.out.contains("imageTop          0xBD3A3\n"));
    QVERIFY(carried.out.contains("blocks of 512     1514\n"));
    const Run small = run({"image-info", QStringLiteral(CARRIED_HEX), "--hardware", "22"});
    QCOMPARE(small.exitCode, 6);
    QVERIFY(small.err.startsWith("Error in Zeile 2561.Adresse out memory\n"));
    // A file that cannot be read: the reason update gives, and what to do about the file.
    QFile empty(QString::fromStdString(f.path("empty.hex")));
    QVERIFY(empty.open(QIODevice::WriteOnly));
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

QTEST_GUILESS_MAIN(TestMovaUpdate)
#include "test_mova_update.moc"
