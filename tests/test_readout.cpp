// The pure rules of the device readout: battery percentage, identity record, device line,
// the enable rule of "Update", calibration bytes.
#include "battery.h"
#include "readout.h"
#include "table_rows.h"

#include <cstring>

namespace {

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

class TestReadout : public QObject {
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
};

QTEST_APPLESS_MAIN(TestReadout)
#include "test_readout.moc"
