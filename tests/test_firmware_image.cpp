// What the tool reads, without a device. The Intel HEX loader: the carried stand-in image,
// every failure with its record number, the linear base rules, and texts cut off anywhere.
// The pure rules of the device readout: battery percentage, identity record, device line,
// the enable rule of "Update", calibration bytes.
#include "battery.h"
#include "firmware_image.h"
#include "readout.h"
#include "table_rows.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <cstring>

namespace {

QByteArray rec(int address, int type, const QByteArray &data, int checksumDelta = 0)
{
    QByteArray body;
    body.append(char(data.size()));
    body.append(char(address >> 8));
    body.append(char(address & 0xFF));
    body.append(char(type));
    body.append(data);
    uint8_t sum = 0;
    for (char c : body)
        sum = uint8_t(sum + uint8_t(c));
    body.append(char(uint8_t(-sum + checksumDelta)));
    return ":" + body.toHex().toUpper() + "\r\n";
}

QByteArray ela(int upper) { return rec(0, 4, QByteArray::fromHex(QByteArray::number(upper, 16).rightJustified(4, '0'))); }
const QByteArray Eof = ":00000001FF\r\n";

ImageLoad parse(const QByteArray &text, int hardware = 24)
{
    return parseIntelHex(text.constData(), size_t(text.size()), hardware);
}

QByteArray carriedText()
{
    QFile f(QStringLiteral(CARRIED_HEX));
    if (!f.open(QIODevice::ReadOnly))
        qFatal("cannot read %s", CARRIED_HEX);
    return f.readAll();
}

// A HEX text loaded for a hardware version: the message (empty: loaded), and for a load the
// end-of-file record seen and the highest offset written; the linear base either way.
struct LoadRow {
    const char *name;
    QByteArray text;
    int hardware;
    QString message;
    bool endOfFile;
    uint base, top;
};


// The 14-byte record (hardware version byte, serial, version digits, date yymmdd, info byte)
// and its status byte (-1: it did not come), with what is read from them.
struct RecordRow {
    const char *name;
    QByteArray reply;
    int status, hardware, firmware;
    QString serial, line;
    int info, deviceStatus;
};
struct CarriedRow { const char *name; int deviceVersion; QString deviceDate, carriedVersion, carriedDate, verdict; };
struct AllowedRow { const char *name; int expected, hardware, firmware; bool allowed; QString reason; };

QByteArray typical(char info) { return QByteArray("\x18" "0042" "68" "211019", 13) + info; }
const QString Line68 = "FW 68 from 19.10.21, SerialNr: 0042";

} // namespace

class TestFirmwareImage : public QObject {
    Q_OBJECT
private slots:
    void batteryPercent_data()
    {
        QTest::addColumn<int>("raw");
        QTest::addColumn<int>("percent");
        const int table[][2] = {{0, 0},     {2756, 0},  {2757, 10},  {2800, 24},  {2838, 36},    {2839, 37},
                                {2845, 53}, {2846, 55}, {2940, 76},  {2985, 87},  {3000, 90},    {3059, 100},
                                {3134, 100}, {65535, 100}, {400000, 100}}; // beyond 16 bits: no overflow
        for (const auto &row : table)
            QTest::addRow("%d", row[0]) << row[0] << row[1];
    }
    void batteryPercent()
    {
        QFETCH(int, raw);
        QFETCH(int, percent);
        QCOMPARE(::batteryPercent(raw), percent);
    }

    void deviceRecord_data()
    {
        addRows<RecordRow>({
            {"typical", QByteArray("\x18" "0042" "07" "211019" "\x00", 14), -1, 24, 7, "0042",
             "FW 7 from 19.10.21, SerialNr: 0042", 0, 255},
            {"two-digit version", QByteArray("\x18" "1234" "68" "211019" "\x2a", 14), -1, 24, 68, "1234",
             "FW 68 from 19.10.21, SerialNr: 1234", 0, 255},
            {"serial ends at a zero byte", QByteArray("\x17" "A\0BC" "12" "200131" "\x00", 14), -1, 23, 12, "A",
             "FW 12 from 31.01.20, SerialNr: A", 0, 255},
            // A version that is not exactly two digits is unreadable: nothing of the date is
            // taken for it, and the device's line says its identity is not there.
            {"non-digit version", QByteArray("\x18" "0042" "xy" "211019" "\x00", 14), -1, 24, 0, "0042",
             "FW-Vers.: not aviable", 0, 255},
            {"blank before the digit", QByteArray("\x18" "0042" " 7" "211019" "\x00", 14), -1, 24, 0, "0042",
             "FW-Vers.: not aviable", 0, 255},
            {"blank after the digit", QByteArray("\x18" "0042" "7 " "211019" "\x00", 14), -1, 24, 0, "0042",
             "FW-Vers.: not aviable", 0, 255},
            {"signed version", QByteArray("\x18" "0042" "-3" "211019" "\x00", 14), -1, 24, 0, "0042",
             "FW-Vers.: not aviable", 0, 255},
            // The info byte counts only with the status byte after it.
            {"no status byte", typical(0x2A), -1, 24, 68, "0042", Line68, 0, 255},
            {"status 0", typical(0x2A), 0, 24, 68, "0042", Line68, 0x2A, 0},
            {"unset info reads as 1", typical(char(0xFF)), 1, 24, 68, "0042", Line68, 1, 1},
        });
    }
    void deviceRecord()
    {
        QFETCH(RecordRow, row);
        uint8_t reply[14] = {};
        std::memcpy(reply, row.reply.constData(), 14);
        DeviceRecord r;
        parseDeviceRecord(reply, row.status < 0 ? std::nullopt : std::optional<uint8_t>(row.status), r);
        QCOMPARE(r.hardwareVersion, row.hardware);
        QCOMPARE(r.firmwareVersion, row.firmware);
        QCOMPARE(QString::fromStdString(serialText(r)), row.serial);
        QCOMPARE(QString::fromStdString(deviceLine(r)), row.line);
        QCOMPARE(int(r.deviceInfo), row.info);
        QCOMPARE(int(r.deviceStatus), row.deviceStatus);
    }

    // The device's date as it sends it (YYMMDD), the carried one as the build names it (DD.MM.YY).
    void comparedWithCarried_data()
    {
        addRows<CarriedRow>({
            {"same version and date", 68, "211019", "68", "19.10.21", "the same"},
            {"carried version higher", 67, "221231", "68", "19.10.21", "newer"},
            {"carried version lower", 70, "200101", "68", "19.10.21", "older"},
            {"same version, carried built later", 68, "211018", "68", "19.10.21", "newer"},
            {"same version, carried built earlier: a year counts before a day", 68, "220101", "68", "19.10.21",
             "older"},
            {"carried version unknown", 68, "211019", "", "19.10.21", ""},
        });
    }
    void comparedWithCarried()
    {
        QFETCH(CarriedRow, row);
        DeviceRecord r;
        r.firmwareVersion = row.deviceVersion;
        std::memcpy(r.firmwareDate, row.deviceDate.toLatin1().constData(), sizeof r.firmwareDate);
        // The words each age is shown and kept in, with the age itself.
        const char *verdict =
            firmwareAgeName(compareWithCarried(r, row.carriedVersion.toStdString(), row.carriedDate.toStdString()));
        QCOMPARE(QString::fromUtf8(verdict), row.verdict);
    }

    // The build's hardware version, the device's, its firmware: allowed, or what the refusal names.
    void updateAllowed_data()
    {
        addRows<AllowedRow>({
            {"match, firmware 7", 24, 24, 7, true, ""},
            {"match, firmware 6", 24, 24, 6, false, "firmware version 6"},
            {"other hardware", 24, 23, 68, false, "hardware version 23, this build is for hardware version 24"},
            {"other hardware, old firmware", 24, 25, 3, false, "hardware version 25"},
            {"build names none", 0, 23, 7, true, ""},
            {"build names none, firmware 0", 0, 23, 0, false, "firmware version 0"},
        });
    }
    void updateAllowed()
    {
        QFETCH(AllowedRow, row);
        DeviceRecord r;
        r.hardwareVersion = row.hardware;
        r.firmwareVersion = row.firmware;
        QCOMPARE(::updateAllowed(row.expected, r), row.allowed);
        const UpdateRefusal refused = updateRefusal(row.expected, r);
        const QString refusal = QString::fromStdString(refused.reason);
        QCOMPARE(refusal.isEmpty(), row.allowed);
        QCOMPARE(refused.id == MessageId::None, row.allowed);
        QVERIFY2(refusal.contains(row.reason), qPrintable(refusal));
    }

    // Coefficients unsigned, offsets signed: X, Y, Z, magnet, then the offsets of X, Y, Z.
    void calibration()
    {
        auto read = [](const uint8_t (&reply)[8]) {
            const Calibration c = Calibration::fromReply(reply);
            return QList<int> {c.koefX, c.koefY, c.koefZ, c.koefM, c.offsX, c.offsY, c.offsZ};
        };
        QCOMPARE(read({0x64, 0x64, 0x64, 0x64, 0xFE, 0x00, 0x05, 0x00}), (QList<int> {100, 100, 100, 100, -2, 0, 5}));
        QCOMPARE(read({0xFF, 0, 1, 2, 0x80, 0x7F, 0xFF, 0x99}), (QList<int> {255, 0, 1, 2, -128, 127, -1}));
    }

    void carriedImageEqualsObjcopy()
    {
        const ImageLoad load = loadFirmwareImage(24);
        QVERIFY2(load.ok, load.message.c_str());
        QVERIFY(load.image.endOfFile);
        QCOMPARE(load.image.capacity(), 0xF0000u);
        QCOMPARE(load.image.imageTop, 0xBD3A3u);
        QCOMPARE(load.image.linearBase, 0x08000000u);
        QCOMPARE(load.image.records, 48456); // every record but the end-of-file one
        QTemporaryDir dir;
        const QString out = dir.filePath("image.bin");
        QProcess objcopy;
        objcopy.start("objcopy", {"-I", "ihex", "-O", "binary", CARRIED_HEX, out});
        if (!objcopy.waitForFinished(20000) || objcopy.exitCode() != 0)
            QFAIL("objcopy (binutils) did not convert the carried text");
        QFile f(out);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray reference = f.readAll();
        QCOMPARE(qsizetype(load.image.length()), reference.size());
        QVERIFY(reference == QByteArray::fromRawData(reinterpret_cast<const char *>(load.image.buffer.data()),
                                                    reference.size()));
    }

    void loads_data()
    {
        const QByteArray data = rec(0, 0, QByteArray(16, '\x11'));
        const QByteArray four = QByteArray("\x01\x02\x03\x04");
        const QString badSum = "Error in Zeile %1. Checksumme error", outside = "Error in Zeile %1.Adresse out memory";
        addRows<LoadRow>({
            {"bad checksum in the first record", rec(0, 0, "ab", 1) + Eof, 24, badSum.arg(0), false, 0, 0},
            {"bad checksum in the third", data + data + rec(0x20, 0, "ab", 7) + Eof, 24, badSum.arg(2), false, 0, 0},
            {"type 6", data + rec(0, 6, "") + Eof, 24, "Error in Zeile 1. Typ error", false, 0, 0},
            {"types 2, 3 and 5 checked, ignored",
             rec(0, 2, "\x10\x00") + rec(0, 3, "\x00\x00\x01\x00") + rec(0, 5, "\x08\x00\x01\x31") + data + Eof, 24,
             "", true, 0, 0xF},
            {"type 5 with a bad sum", rec(0, 5, "\x08\x00\x01\x31", 3) + Eof, 24, badSum.arg(0), false, 0, 0},
            {"lower-case digits", data.toLower() + Eof, 24, "", true, 0, 0xF},
            {"anything between records", "garbage\n" + data + " ;; \t" + Eof, 24, "", true, 0, 0xF},
            {"no colon at all", "hello, world\r\n", 24, "", false, 0, 0},
            {"no end-of-file record", data + data, 24, "", false, 0, 0xF},
            {"records after the end are not read", data + Eof + rec(0, 9, ""), 24, "", true, 0, 0xF},
            {"a non-digit reads as 0, failing the sum", ":1G000000" + Eof, 24, badSum.arg(0), false, 0, 0},
            // The linear base: the first non-zero extended address is the image's origin.
            {"first base sets the origin", ela(0x0800) + rec(0x10, 0, four) + Eof, 24, "", true, 0x08000000, 0x13},
            {"zero base leaves it unset", ela(0) + rec(0x10, 0, four) + ela(0x0801) + rec(0x20, 0, four) + Eof, 24, "",
             true, 0x08010000, 0x23},
            {"next segment lands 64 KiB on", ela(0x0800) + ela(0x0801) + rec(0, 0, four) + Eof, 24, "", true,
             0x08000000, 0x10003},
            {"below the base fails", ela(0x0801) + ela(0x0800) + rec(0, 0, four) + Eof, 24, outside.arg(2), false,
             0x08010000, 0},
            {"a short address record still takes two bytes", ":000000040800F4\r\n" + rec(0, 0, four) + Eof, 24, "",
             true, 0x08000000, 3},
            // Hardware 22 has 0xA000 bytes: its last byte is taken, one beyond it is not.
            {"last byte of a small device", rec(0x9FFF, 0, "\x7f") + Eof, 22, "", true, 0, 0x9FFF},
            {"one beyond a small device", rec(0x9FFF, 0, "\x7f\x7f") + Eof, 22, outside.arg(0), false, 0, 0},
            // 0xA000 / 16 data records, plus the extended address record in front of them.
            {"carried image on a small device", carriedText(), 22, outside.arg(0xA000 / 16 + 1), false, 0x08000000, 0},
        });
    }
    void loads()
    {
        QFETCH(LoadRow, row);
        const ImageLoad load = parse(row.text, row.hardware);
        QCOMPARE(QString::fromStdString(load.message), row.message);
        QCOMPARE(load.ok, row.message.isEmpty());
        QCOMPARE(load.image.linearBase, row.base);
        if (load.ok) { // a failed load is thrown away whole
            QCOMPARE(load.image.endOfFile, row.endOfFile);
            QCOMPARE(load.image.imageTop, row.top);
        }
    }

    void cutOffAnywhereNeverReadsPastTheEnd()
    {
        // Every prefix of a text is parsed from a buffer exactly that long (heap-allocated, so a
        // read past it is caught by the sanitizers), and a cut inside a record is its checksum
        // error, never a success.
        const QByteArray text = ela(0x0800) + rec(0, 0, QByteArray(16, 'x')) + rec(0x10, 0, "yz") + Eof;
        for (int n = 0; n < text.size(); ++n) {
            std::vector<char> exact(text.begin(), text.begin() + n);
            const ImageLoad load = parseIntelHex(exact.data(), exact.size(), 24);
            const int lastColon = text.left(n).lastIndexOf(':');
            const bool insideRecord = lastColon >= 0 && text.indexOf('\r', lastColon) > n;
            if (insideRecord) {
                QVERIFY2(!load.ok, qPrintable(QString("prefix %1").arg(n)));
                QVERIFY(QString::fromStdString(load.message).endsWith("Checksumme error"));
            } else {
                QVERIFY(load.ok);
                QCOMPARE(load.image.endOfFile, n >= text.size() - 2); // only once its record is whole
            }
        }
    }

    // A file that is missing and one that is empty say the same.
    void resourceMessages()
    {
        QTemporaryDir dir;
        QFile empty(dir.filePath("empty.hex"));
        QVERIFY(empty.open(QIODevice::WriteOnly));
        empty.close();
        for (const QString &path : {dir.filePath("missing.hex"), empty.fileName()})
            QCOMPARE(QString::fromStdString(loadFirmwareImage(24, path.toStdString()).message),
                     QString("Hex-File cannot open!"));
    }
};

QTEST_GUILESS_MAIN(TestFirmwareImage)
#include "test_firmware_image.moc"
