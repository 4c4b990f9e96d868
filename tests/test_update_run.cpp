// The update run against the device model in virtual time: the exact bytes, the waits, the
// bar, and every way it can fail.
#include "protocol.h"
#include "update_rig.h"

#include <QTest>
#include <sys/stat.h>

using Bytes = std::vector<uint8_t>;

namespace {

const char *const LongSuccess =
    "Update sended success!\nPlease initialise your Corvane device with Parlux light because the firmware "
    "update stored a standard montage on your device\nwhich might not be identical with your commonly used "
    "montage.";
const char *const TableSuccess = "Update and Language sended success!";

QByteArray fileBytes(const char *path)
{
    QFile f(QString::fromUtf8(path));
    f.open(QIODevice::ReadOnly);
    return f.readAll();
}

// The image the device must end up with: the text's bytes with the service header in front.
Bytes expectedImage(const QByteArray &image, int blocks, int blockSize, const ServiceFields &fields)
{
    std::vector<uint8_t> v(size_t(blocks) * size_t(blockSize), 0);
    std::copy(image.begin(), image.end(), v.begin());
    writeServiceHeader(v, fields);
    return v;
}

void append(Bytes &to, const Bytes &more) { to.insert(to.end(), more.begin(), more.end()); }

void appendBlocks(Bytes &to, const Bytes &data, int blockSize)
{
    for (size_t at = 0; at < data.size(); at += size_t(blockSize)) {
        Bytes block(data.begin() + long(at), data.begin() + long(at) + blockSize);
        append(to, block);
        to.push_back(blockXor(block.data(), blockSize));
    }
}

} // namespace

class TestUpdateRun : public QObject {
    Q_OBJECT
private slots:
    void exactByteStream();
    void fullImageWaits();
    void serviceHeader_data();
    void serviceHeader();
    void beforeTheTransfer_data();
    void beforeTheTransfer();
    void firmwareFailures_data();
    void firmwareFailures();
    void transferModes_data();
    void transferModes();
    void tableFailures_data();
    void tableFailures();
    void deviceBackUnderNewPath_data();
    void deviceBackUnderNewPath();
    void eraseBarNeverMovesBack();
    void secondClickStartsNothing();
};

void TestUpdateRun::exactByteStream()
{
    UpdateRig rig;
    QVERIFY(rig.connect());
    const QByteArray image = imageBytes(4096 + 100), table = QByteArray(1000, 'L').prepend("LANG");
    rig.usePayloads(hexText(image), table);
    rig.run();
    QCOMPARE(rig.screen.messages, std::vector<std::string> {TableSuccess});
    QVERIFY(rig.screen.windowClosed);
    QVERIFY(!rig.session.updateRunning);
    QVERIFY(!rig.screen.busy);
    QVERIFY(!rig.link.isOpen());

    const Bytes stored = expectedImage(image, 9, 512, rig.screen.fields);
    Bytes tablePadded(1024, 0);
    std::copy(table.begin(), table.end(), tablePadded.begin());
    Bytes wire = {Cmd::Reset, Cmd::Probe /* after the reset */, Cmd::Probe /* connect */, Cmd::Status, Cmd::Erase,
                  Cmd::Transfer512Wide, 0x00, 0x09};
    appendBlocks(wire, stored, 512);
    append(wire, Bytes(9, Reply::Accepted)); // each read-back block taken
    wire.push_back(0x00);                    // the read-back equals the image
    append(wire, {Cmd::Probe, Cmd::StatusShort, Cmd::Language, 0x00, 0x03});
    appendBlocks(wire, tablePadded, 512);
    wire.push_back(Cmd::Leave);
    // The table of 1004 bytes needs 2 blocks: its count says so.
    wire[wire.size() - 1 - 2 * 513 - 1] = 0x02;
    tablePadded.resize(1024);
    QCOMPARE(rig.into(), wire);
    QCOMPARE(rig.device.model().image(), stored);
    QCOMPARE(rig.device.model().table(), tablePadded);
    QCOMPARE(rig.screen.captions, (std::vector<std::string> {"Reset...", "Memory prepare - clear", "Send update",
                                                             "Verify update", "Connect...", "Send languages"}));
}

void TestUpdateRun::fullImageWaits()
{
    UpdateRig rig;
    QVERIFY(rig.connect());
    rig.payloads = {CARRIED_HEX, CARRIED_TRA};
    rig.run();
    QCOMPARE(rig.screen.messages, std::vector<std::string> {TableSuccess});
    const QByteArray carried = fileBytes(CARRIED_HEX);
    const ImageLoad load = parseIntelHex(carried.constData(), size_t(carried.size()), 24);
    Bytes stored(load.image.buffer.begin(), load.image.buffer.begin() + 1514 * 512);
    writeServiceHeader(stored, rig.screen.fields);
    QCOMPARE(int(rig.device.model().transferCommand()), int(Cmd::Transfer512Wide));
    QCOMPARE(rig.device.model().announcedBlocks(), 1514);
    QVERIFY(rig.device.model().image() == stored);
    const QByteArray table = fileBytes(CARRIED_TRA);
    QCOMPARE(rig.device.model().tableBlocks(), 217);
    QVERIFY(rig.device.model().table() == Bytes(table.begin(), table.end()));
    // 50 + 100 ms a block; the tty road's 500 ms listen for a refusal before the first.
    const int64_t sending = rig.screen.captionAt["Verify update"] - rig.screen.captionAt["Send update"];
    QCOMPARE(sending, int64_t(500 + 1514 * 150 + 100));
    // 20 ms before each read-back block; the device answers at once.
    const int64_t verifying = rig.screen.firstCloseAt - rig.screen.captionAt["Verify update"];
    QCOMPARE(verifying, int64_t(1514 * 20));
    QCOMPARE(rig.screen.positions.back(), 100);
}

void TestUpdateRun::serviceHeader_data()
{
    QTest::addColumn<QString>("serial");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("four characters") << "0042" << QByteArray("0042");
    QTest::newRow("short: zeros in front") << "12" << QByteArray("0012");
    QTest::newRow("long: the last four") << "ABCDEF" << QByteArray("CDEF");
    QTest::newRow("empty") << "" << QByteArray("0000");
}

void TestUpdateRun::serviceHeader()
{
    QFETCH(QString, serial);
    QFETCH(QByteArray, expected);
    std::vector<uint8_t> image(0x300, 0xEE);
    writeServiceHeader(image, {serial.toStdString(), 100, -2, 101, 0, 102, 5, 103, 0x12A});
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(image.data() + 0x200), 4), expected);
    // Coefficient and offset alternate per axis, the magnet's coefficient last.
    const Bytes rest(image.begin() + 0x204, image.begin() + 0x20C);
    QCOMPARE(rest, (Bytes {100, 0xFE, 101, 0, 102, 5, 103, 0x2A}));
    QCOMPARE(int(image[0x20C]), 0xEE);
    QCOMPARE(int(image[0x1FF]), 0xEE);
}

void TestUpdateRun::beforeTheTransfer_data()
{
    QTest::addColumn<QString>("situation");
    QTest::addColumn<QString>("message"); // empty: none
    QTest::addColumn<bool>("asked");
    QTest::addColumn<bool>("polledAgain");
    QTest::addColumn<bool>("timerStopped");
    QTest::newRow("link closed") << "closed" << "Device is not connected!" << false << false << false;
    QTest::newRow("status 0, declined") << "declined" << "" << true << true << false;
    QTest::newRow("status 0, confirmed") << "confirmed" << TableSuccess << true << false << true;
    QTest::newRow("no firmware") << "no firmware" << "Hex-File cannot open!" << false << false << false;
    QTest::newRow("empty firmware") << "empty firmware" << "Hex-File cannot open!" << false << false << false;
    QTest::newRow("firmware a FIFO") << "fifo firmware" << "Hex-File cannot open!" << false << false << false;
    QTest::newRow("broken record") << "broken" << "Error in Zeile 2. Checksumme error" << false << false << true;
    QTest::newRow("no end record") << "no end" << "" << false << false << true;
}

void TestUpdateRun::beforeTheTransfer()
{
    QFETCH(QString, situation);
    QFETCH(QString, message);
    QFETCH(bool, asked);
    QFETCH(bool, polledAgain);
    QFETCH(bool, timerStopped);
    DeviceModel::Config config;
    if (situation == "declined" || situation == "confirmed")
        config.identity.status = 0;
    UpdateRig rig(config);
    QVERIFY(rig.connect());
    const QByteArray image = imageBytes(600);
    rig.usePayloads(hexText(image), "LANG");
    rig.screen.confirmAnswer = situation != "declined";
    if (situation == "closed")
        rig.link.close();
    if (situation == "no firmware")
        rig.payloads.firmware = rig.dir.filePath("none.hex").toStdString();
    if (situation == "empty firmware")
        rig.payloads.firmware = rig.write("empty.hex", "");
    if (situation == "fifo firmware") {
        rig.payloads.firmware = rig.dir.filePath("fifo.hex").toStdString();
        QCOMPARE(::mkfifo(rig.payloads.firmware.c_str(), 0600), 0);
    }
    if (situation == "broken")
        rig.payloads.firmware = rig.write("broken.hex", hexText(image).replace(":10001000", ":10001001"));
    if (situation == "no end")
        rig.payloads.firmware = rig.write("noend.hex", hexText(image).replace(":00000001FF", ""));
    rig.run();
    QCOMPARE(rig.screen.messages.empty() ? QString() : QString::fromStdString(rig.screen.messages.back()), message);
    QCOMPARE(!rig.screen.confirms.empty(), asked);
    if (asked)
        QCOMPARE(rig.screen.confirms.front(),
                 std::string("Update|Make sure there is no untransferred recording on your device.\n"
                             "A firmware update will delete that recording."));
    QCOMPARE(rig.screen.pollsNow > 0, polledAgain);
    QCOMPARE(rig.screen.pollingStopped, timerStopped);
    QVERIFY(!rig.screen.busy);
    QVERIFY(!rig.session.updateRunning);
    if (situation != "confirmed") {
        QVERIFY(!rig.screen.windowClosed);
        QVERIFY(rig.device.model().commands().empty()); // the device was told nothing
    }
}

void TestUpdateRun::firmwareFailures_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("argument");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QStringList>("diagnostics");

    QTest::newRow("status unusable") << "status 255" << -1 << "Device status cannot receive" << QStringList();
    QTest::newRow("status silent") << "silence" << int(Cmd::Status) << "Device status cannot receive" << QStringList();
    QTest::newRow("erase not echoed") << "silence" << int(Cmd::Erase) << "Data cannot clear.1" << QStringList();
    QTest::newRow("erase reports 255") << "erase-fail" << -1 << "Data cannot clear.3" << QStringList();
    QTest::newRow("erase ends badly") << "erase-bad-status" << -1 << "Data cannot clear.2" << QStringList();
    QTest::newRow("erase stalls") << "erase-stall" << -1 << "Data cannot clear.2" << QStringList();
    QTest::newRow("transfer refused, fallback refused") << "refuse both" << -1 << "Update error!.3" << QStringList();
    QTest::newRow("block unanswered") << "block-silent" << 3 << "Error by senden Update.2" << QStringList();
    QTest::newRow("block error code") << "block-error" << 0 << "Error by senden Update. (0x2A)" << QStringList();
    QTest::newRow("block error, no code") << "block-error-nocode" << 0 << "Error by senden Update. (0x00)"
                                         << QStringList();
    QTest::newRow("block refused") << "block-fatal" << 2 << "Error by senden Update.1" << QStringList();
    QTest::newRow("block never taken") << "block-nak-always" << 1 << "Error by senden Update.3" << QStringList();
    QTest::newRow("no read-back at all") << "readback-silent" << -1 << "Error by verify Update" << QStringList();
    QTest::newRow("read-back stalls") << "readback-stall" << -1 << "Error by verify Update" << QStringList();
    QTest::newRow("read-back trickles") << "readback-trickle" << 1 << "Error by verify Update" << QStringList();
    QTest::newRow("read-back differs") << "readback-corrupt" << 4 << "Update error!.1" << QStringList();
    QTest::newRow("device does not confirm") << "confirm-refuse" << -1 << "Update error!.1" << QStringList();
    QTest::newRow("no answer to the comparison") << "confirm-silent" << -1 << "Update error!.2" << QStringList();
    QTest::newRow("out of memory mid-erase") << "throws" << -1 << "std::bad_alloc" << QStringList();
    QTest::newRow("operator stops it mid-transfer") << "stop" << -1 << StoppedByOperator << QStringList();
    // These are survived: the image arrives whole and the device confirms it.
    QTest::newRow("block asked again twice") << "block-nak" << 1 << TableSuccess << QStringList();
    QTest::newRow("verdict on the fourth listen") << "block-late" << 2 << TableSuccess << QStringList();
    QTest::newRow("read-back short once") << "readback-short" << 3 << TableSuccess << QStringList();
    QTest::newRow("read-back check byte wrong") << "readback-bad-xor" << 2 << TableSuccess
                                                << QStringList {"Daten lesen: XOR Summe ist fehlerhaft. Offset: 400"};
    QTest::newRow("read-back check byte missing") << "readback-no-xor" << 8 << TableSuccess
                                                  << QStringList {"Daten lesen error Offset: 1000"};
}

void TestUpdateRun::firmwareFailures()
{
    QFETCH(QString, fault);
    QFETCH(int, argument);
    QFETCH(QString, message);
    QFETCH(QStringList, diagnostics);
    UpdateRig rig;
    QVERIFY(rig.connect());
    rig.usePayloads(hexText(imageBytes(4096 + 100)), "LANGxx");
    DeviceModel &m = rig.device.model();
    if (fault == "status 255")
        m.config().updateStatus = 0xFF;
    else if (fault == "refuse both")
        m.setFault("refuse-transfer", true, -1);
    else if (fault == "throws" || fault == "stop")
        rig.clock.onPump = [&] {
            const std::string stage = rig.screen.captions.empty() ? "" : rig.screen.captions.back();
            if (fault == "throws" && stage == "Memory prepare - clear")
                throw std::bad_alloc();
            if (fault == "stop" && stage == "Send update")
                rig.session.stopRequested = true;
        };
    else
        QVERIFY(m.setFault(fault.toStdString(), true, argument));
    const int64_t start = rig.clock.nowMs();
    rig.run();
    QCOMPARE(rig.screen.messages, std::vector<std::string> {message.toStdString()});
    QStringList seen;
    for (const auto &d : rig.screen.diagnostics)
        seen << QString::fromStdString(d);
    QCOMPARE(seen, diagnostics);
    QVERIFY(!rig.screen.busy);
    QVERIFY(!rig.session.updateRunning);
    QVERIFY(!rig.session.runActive);
    QCOMPARE(rig.screen.windowClosed, message == TableSuccess);
    if (message != TableSuccess)
        QVERIFY(!rig.screen.progressVisible); // the table's window stays until the program ends
    // Every failure comes within bounded time: the slowest, a stalled read-back, in well
    // under a minute even with the device trickling bytes.
    QVERIFY2(rig.clock.nowMs() - start < 60'000, qPrintable(QString::number(rig.clock.nowMs() - start)));
}

void TestUpdateRun::transferModes_data()
{
    QTest::addColumn<int>("hardware");
    QTest::addColumn<int>("imageLength");
    QTest::addColumn<bool>("refuseFirst");
    QTest::addColumn<int>("command");
    QTest::addColumn<int>("blockSize");
    QTest::addColumn<QByteArray>("count"); // the bytes after the command's echo
    // Large devices: always 0x78 with 512-byte blocks and a two-byte count.
    QTest::newRow("large device") << 24 << 4196 << false << 0x78 << 512 << QByteArray("\x00\x09", 2);
    // Small devices: 0x76 and 1024-byte blocks up to 30 KiB, then 0x77 and 512.
    QTest::newRow("small device, small image") << 22 << 4196 << false << 0x76 << 1024 << QByteArray("\x05");
    QTest::newRow("small device, 31 KiB") << 22 << 31 * 1024 << false << 0x77 << 512 << QByteArray("\x3e");
    // Refused, an image of at most 16 KiB goes in the fallback mode without a count.
    QTest::newRow("refused, fallback") << 24 << 4196 << true << 0x75 << 1024 << QByteArray();
    QTest::newRow("small device refused, fallback") << 22 << 16 * 1024 << true << 0x75 << 1024 << QByteArray();
}

void TestUpdateRun::transferModes()
{
    QFETCH(int, hardware);
    QFETCH(int, imageLength);
    QFETCH(bool, refuseFirst);
    QFETCH(int, command);
    QFETCH(int, blockSize);
    QFETCH(QByteArray, count);
    DeviceModel::Config config;
    config.identity.hardwareVersion = uint8_t(hardware);
    UpdateRig rig(config); // the tty road, whatever the device's size
    QVERIFY(rig.connect());
    const QByteArray image = imageBytes(imageLength);
    rig.usePayloads(hexText(image), "LANG");
    if (refuseFirst)
        rig.device.model().setFault("refuse-transfer", true, hardware > 22 ? 0x78 : 0x76);
    rig.run();
    QCOMPARE(rig.screen.messages.front(), std::string(TableSuccess));
    QCOMPARE(int(rig.device.model().transferCommand()), command);
    const int blocks = (imageLength + blockSize - 1) / blockSize;
    QCOMPARE(rig.device.model().image(), expectedImage(image, blocks, blockSize, rig.screen.fields));
    const Bytes wire = rig.into();
    const auto at = std::find(wire.begin(), wire.end(), uint8_t(command));
    QVERIFY(at != wire.end());
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(&*(at + 1)), count.size()), count);
    if (hardware <= 22 && !refuseFirst)
        QCOMPARE(rig.screen.messages.front(), std::string(TableSuccess));
}

void TestUpdateRun::tableFailures_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("argument");
    QTest::addColumn<QString>("message"); // the table's message before the firmware's success
    QTest::newRow("status unusable") << "status 255" << -1 << "Device status cannot receive";
    QTest::newRow("0xCA not echoed") << "silence" << int(Cmd::Language) << "Error by senden Language.6";
    QTest::newRow("0xCA refused") << "refuse-language" << -1 << "Error by senden Language.5";
    QTest::newRow("count rejected") << "language-count-reject" << -1 << "Error by senden Language.4";
    QTest::newRow("block unanswered") << "language-block-silent" << 1 << "Error by senden Language.2";
    QTest::newRow("block error code") << "language-block-error" << 0 << "Error by senden Language. (0x2A)";
    QTest::newRow("block refused") << "language-block-fatal" << 0 << "Error by senden Language.1";
    QTest::newRow("block never taken") << "language-block-nak-always" << 1 << "Error by senden Language.3";
    QTest::newRow("device does not come back") << "gone" << -1
                                               << "Cannot connect to device for Language update. Please try again.";
    QTest::newRow("no table") << "no table" << -1 << "";
    QTest::newRow("table a FIFO") << "fifo table" << -1 << "";
    QTest::newRow("operator stops it") << "stop" << -1 << StoppedByOperator;
}

void TestUpdateRun::tableFailures()
{
    QFETCH(QString, fault);
    QFETCH(int, argument);
    QFETCH(QString, message);
    UpdateRig rig;
    QVERIFY(rig.connect());
    rig.usePayloads(hexText(imageBytes(2048)), QByteArray(600, 'T'));
    DeviceModel &m = rig.device.model();
    int resets = 0;
    if (fault == "status 255")
        m.config().shortStatus = 0xFF;
    else if (fault == "gone") // the reset before erasing comes back; the restart after it does not
        rig.device.onReset = [&] { rig.device.resetDowntimeMs = ++resets == 1 ? 1500 : 10'000'000; };
    else if (fault == "no table")
        rig.payloads.table = rig.write("empty.tra", "");
    else if (fault == "fifo table")
        QCOMPARE(::mkfifo((rig.payloads.table = rig.dir.filePath("fifo.tra").toStdString()).c_str(), 0600), 0);
    else if (fault == "stop")
        rig.clock.onPump = [&] { rig.session.stopRequested = !rig.screen.captions.empty() && rig.screen.captions.back() == "Send languages"; };
    else
        QVERIFY(m.setFault(fault.toStdString(), true, argument));
    rig.run();
    std::vector<std::string> expected;
    if (!message.isEmpty())
        expected.push_back(message.toStdString());
    expected.push_back(LongSuccess); // the firmware is in place all the same
    QCOMPARE(rig.screen.messages, expected);
    QVERIFY(rig.screen.windowClosed);
    QVERIFY(!rig.session.updateRunning);
    QVERIFY(!rig.link.isOpen());
    QVERIFY(m.updateConfirmed());
}

void TestUpdateRun::deviceBackUnderNewPath_data()
{
    QTest::addColumn<QString>("serialAfter");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("same device") << "" << true;
    QTest::newRow("another device") << "9999" << false;
}

void TestUpdateRun::deviceBackUnderNewPath()
{
    QFETCH(QString, serialAfter);
    QFETCH(bool, accepted);
    DeviceModel::Config config;
    config.serialAfterRestart = serialAfter.toStdString();
    UpdateRig rig(config);
    QVERIFY(rig.connect());
    rig.usePayloads(hexText(imageBytes(1024)), "LANG");
    // The reset before erasing brings the device back where it was; its restart after
    // confirming the new firmware brings it back under another name.
    const std::string newPath = "/dev/serial/by-id/usb-test-renamed-if00";
    int resets = 0;
    rig.device.onReset = [&] {
        if (++resets == 2)
            rig.device.pathAfterReset = newPath;
    };
    const int64_t start = rig.clock.nowMs();
    rig.run();
    if (accepted) {
        QCOMPARE(rig.screen.messages, std::vector<std::string> {TableSuccess});
        QCOMPARE(rig.session.portPath, newPath);
        QCOMPARE(rig.device.model().tableBlocks(), 1);
        // Discovery is asked from the 120th attempt on, every 500 ms or more.
        QVERIFY(rig.clock.nowMs() - start > 60'000);
    } else {
        QCOMPARE(rig.screen.messages,
                 (std::vector<std::string> {"Cannot connect to device for Language update. Please try again.",
                                            LongSuccess}));
        QCOMPARE(rig.session.portPath, UpdateRig::DevicePath);
        QCOMPARE(rig.device.model().tableBlocks(), 0);
    }
}

void TestUpdateRun::eraseBarNeverMovesBack()
{
    DeviceModel::Config config;
    config.eraseProgress = {0, 10, 5, 40, 100};
    UpdateRig rig(config);
    QVERIFY(rig.connect());
    rig.usePayloads(hexText(imageBytes(1024)), "LANG");
    rig.run();
    std::vector<int> erase;
    for (const auto &[stage, position] : rig.screen.positionLog)
        if (stage == "Memory prepare - clear")
            erase.push_back(position);
    // The stage starts at 0, the first byte 0; then 10, 5 (kept at 10), 40; 100 ends it.
    QCOMPARE(erase, (std::vector<int> {0, 0, 10, 10, 40}));
}

void TestUpdateRun::secondClickStartsNothing()
{
    UpdateRig rig;
    QVERIFY(rig.connect());
    rig.usePayloads(hexText(imageBytes(1024)), "LANG");
    int nested = 0;
    rig.clock.onPump = [&] {
        // A click while the run lets the window repaint.
        if (rig.session.runActive && nested++ == 5)
            UpdateButtonClick(rig.session, rig.screen, rig.clock, rig.payloads);
    };
    rig.run();
    rig.clock.onPump = nullptr;
    QCOMPARE(rig.screen.messages, std::vector<std::string> {TableSuccess});
    QCOMPARE(std::count(rig.device.model().commands().begin(), rig.device.model().commands().end(), Cmd::Erase), 1);
    QVERIFY(!rig.session.runActive);
}

QTEST_GUILESS_MAIN(TestUpdateRun)
#include "test_update_run.moc"
