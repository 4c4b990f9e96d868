// The update run against the device model in virtual time: the exact bytes, the waits, the
// transfer modes and the bar. Every way it can fail is test_update_failures.
#include "build_settings_generated.h"
#include "protocol.h"
#include "table_rows.h"
#include "update_rig.h"

#include <QTest>

using Bytes = std::vector<uint8_t>;

namespace {

void append(Bytes &to, const Bytes &more) { to.insert(to.end(), more.begin(), more.end()); }

// The device's size, the image's length and a refusal of the first mode; the mode taken, its
// block size and the count after the command's echo.
struct ModeRow {
    const char *name;
    int hardware, imageLength;
    bool refuseFirst;
    int command, blockSize;
    QByteArray count;
};

// The serial the device comes back with under a new path, what the operator is told, and
// whether the device there is taken (and given its table).
struct BackRow { const char *name, *serialAfter; std::vector<std::string> messages; bool taken; };

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
    // One run, byte for byte: what goes on the wire, what the device stores and the stages; an
    // erase bar that never moves back, and a click while the run lets the window repaint that
    // starts nothing.
    void oneRunExactly()
    {
        DeviceModel::Config config;
        config.eraseProgress = {0, 10, 5, 40, 100};
        UpdateRig rig(config);
        QVERIFY(rig.connect());
        const QByteArray image = imageBytes(4096 + 100), table = QByteArray(1000, 'L').prepend("LANG");
        rig.usePayloads(hexText(image), table);
        int pumps = 0;
        rig.clock.onPump = [&] {
            if (rig.session.runActive && pumps++ == 5)
                runAndEnd(rig.session, rig.screen, rig.clock, rig.payloads);
        };
        rig.run();
        rig.clock.onPump = nullptr;
        QVERIFY(pumps > 5);
        QCOMPARE(rig.screen.messages, std::vector<std::string> {TableSuccess});
        QVERIFY(rig.screen.windowClosed);
        QVERIFY(!rig.session.updateRunning && !rig.session.runActive && !rig.screen.busy);
        QVERIFY(!rig.link.isOpen());

        const Bytes stored = expectedImage(image, 9, 512, rig.fields);
        Bytes tablePadded(1024, 0);
        std::copy(table.begin(), table.end(), tablePadded.begin());
        // Back after its reset, the device says who it is before anything is written.
        Bytes wire = {Cmd::Reset, Cmd::Probe /* after the reset */, Cmd::DeviceInfo, Cmd::Probe /* connect */,
                      Cmd::Status, Cmd::Erase, Cmd::Transfer512Wide, 0x00, 0x09};
        appendBlocks(wire, stored, 512);
        append(wire, Bytes(9, Reply::Accepted)); // each read-back block taken
        wire.push_back(0x00);                    // the read-back equals the image
        // Back after its restart, the device says who it is before its table goes.
        append(wire, {Cmd::Probe, Cmd::DeviceInfo, Cmd::StatusShort, Cmd::Language, 0x00, 0x03});
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
        std::vector<int> erase;
        for (const auto &[stage, position] : rig.screen.positionLog)
            if (stage == "Memory prepare - clear")
                erase.push_back(position);
        // The stage starts at 0, the first byte 0; then 10, 5 (kept at 10), 40; 100 ends it.
        QCOMPARE(erase, (std::vector<int> {0, 0, 10, 10, 40}));
    }
    void fullImageWaits()
    {
        UpdateRig rig;
        QVERIFY(rig.connect());
        rig.payloads = {CarriedFirmware, CarriedTable};
        const RunResult result = rig.run();
        QCOMPARE(rig.screen.messages, std::vector<std::string> {TableSuccess});
        // Confirmed, the device runs the carried firmware: known without reading it again.
        QVERIFY(result.firmwareAfter && !result.firmwareAfter->readBack);
        QCOMPARE(result.firmwareAfter->version, std::stoi(QTX_FIRMWARE_VERSION));
        const QByteArray carried = fileBytes(CARRIED_HEX);
        const ImageLoad load = parseIntelHex(carried.constData(), size_t(carried.size()), 24);
        Bytes stored(load.image.buffer.begin(), load.image.buffer.begin() + 1514 * 512);
        writeServiceHeader(stored, rig.fields);
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
    void serviceHeader_data()
    {
        QTest::addColumn<QByteArray>("serial"); // the device's four bytes
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("four characters") << QByteArray("0042") << QByteArray("0042");
        QTest::newRow("short: zeros in front") << QByteArray("12\0\0", 4) << QByteArray("0012");
        QTest::newRow("a zero byte ends the text") << QByteArray("A\0BC", 4) << QByteArray("000A");
        QTest::newRow("blank") << QByteArray(4, '\0') << QByteArray("0000");
        QTest::newRow("unprogrammed, byte for byte") << QByteArray(4, '\xFF') << QByteArray(4, '\xFF');
    }
    void serviceHeader()
    {
        QFETCH(QByteArray, serial);
        QFETCH(QByteArray, expected);
        DeviceRecord record;
        std::copy_n(serial.constData(), 4, record.serialNumber);
        record.deviceInfo = 0x2A;
        Calibration c;
        c.koefX = 100, c.offsX = -2, c.koefY = 101, c.offsY = 0, c.koefZ = 102, c.offsZ = 5, c.koefM = 103;
        std::vector<uint8_t> image(0x300, 0xEE);
        writeServiceHeader(image, headerFieldsOf(record, c));
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(image.data() + 0x200), 4), expected);
        // Coefficient and offset alternate per axis, the magnet's coefficient last.
        const Bytes rest(image.begin() + 0x204, image.begin() + 0x20C);
        QCOMPARE(rest, (Bytes {100, 0xFE, 101, 0, 102, 5, 103, 0x2A}));
        QCOMPARE(int(image[0x20C]), 0xEE);
        QCOMPARE(int(image[0x1FF]), 0xEE);
    }
    void transferModes_data()
    {
        // A large device's mode, 0x78 with 512-byte blocks and a two-byte count, is oneRunExactly's.
        addRows<ModeRow>({
            // Small devices: 0x76 and 1024-byte blocks up to 30 KiB, then 0x77 and 512.
            {"small device, small image", 22, 4196, false, 0x76, 1024, QByteArray("\x05")},
            {"small device, 31 KiB", 22, 31 * 1024, false, 0x77, 512, QByteArray("\x3e")},
            // Refused, an image of at most 16 KiB goes in the fallback mode without a count.
            {"refused, fallback", 24, 4196, true, 0x75, 1024, QByteArray()},
            {"small device refused, fallback", 22, 16 * 1024, true, 0x75, 1024, QByteArray()},
        });
    }
    void transferModes()
    {
        QFETCH(ModeRow, row);
        DeviceModel::Config config;
        config.identity.hardwareVersion = uint8_t(row.hardware);
        UpdateRig rig(config); // the tty road, whatever the device's size
        QVERIFY(rig.connect());
        const QByteArray image = imageBytes(row.imageLength);
        rig.usePayloads(hexText(image), "LANG");
        if (row.refuseFirst)
            rig.device.model().setFault("refuse-transfer", true, row.hardware > 22 ? 0x78 : 0x76);
        rig.run();
        QCOMPARE(rig.screen.messages.front(), std::string(TableSuccess));
        QCOMPARE(int(rig.device.model().transferCommand()), row.command);
        const int blocks = (row.imageLength + row.blockSize - 1) / row.blockSize;
        QCOMPARE(rig.device.model().image(), expectedImage(image, blocks, row.blockSize, rig.fields));
        const Bytes wire = rig.into();
        const auto at = std::find(wire.begin(), wire.end(), uint8_t(row.command));
        QVERIFY(at != wire.end());
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(&*(at + 1)), row.count.size()), row.count);
    }
    void deviceBackUnderNewPath_data()
    {
        addRows<BackRow>({
            {"same device", "", {TableSuccess}, true},
            {"another device", "9999", {"Cannot connect to device for Language update. Please try again.", LongSuccess},
             false},
        });
    }
    void deviceBackUnderNewPath()
    {
        QFETCH(BackRow, row);
        DeviceModel::Config config;
        config.serialAfterRestart = row.serialAfter;
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
        QCOMPARE(rig.screen.messages, row.messages);
        QCOMPARE(rig.session.portPath, row.taken ? newPath : UpdateRig::DevicePath);
        QCOMPARE(rig.device.model().tableBlocks(), row.taken ? 1 : 0);
        // Discovery is asked from the 120th attempt on, every 500 ms or more.
        QVERIFY(!row.taken || rig.clock.nowMs() - start > 60'000);
    }
};

QTEST_GUILESS_MAIN(TestUpdateRun)
#include "test_update_run.moc"
