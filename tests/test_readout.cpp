// The pure rules of the device readout: battery percentage, identity record, device line,
// the enable rule of "Update", calibration bytes.
#include "battery.h"
#include "readout.h"

#include <QTest>
#include <cstring>

namespace {

DeviceRecord parsed(const char *text14, std::optional<uint8_t> status = std::nullopt)
{
    uint8_t reply[14] = {};
    std::memcpy(reply, text14, 14);
    DeviceRecord r;
    parseDeviceRecord(reply, status, r);
    return r;
}

} // namespace

class TestReadout : public QObject {
    Q_OBJECT
private slots:
    void batteryPercent_data();
    void batteryPercent();
    void deviceRecord_data();
    void deviceRecord();
    void statusAndInfo_data();
    void statusAndInfo();
    void comparedWithCarried_data();
    void comparedWithCarried();
    void updateAllowed_data();
    void updateAllowed();
    void calibration();
};

void TestReadout::batteryPercent_data()
{
    QTest::addColumn<int>("raw");
    QTest::addColumn<int>("percent");
    const int table[][2] = {{0, 0},       {2756, 0},   {2757, 10},  {2800, 24},  {2838, 36},
                            {2839, 37},   {2845, 53},  {2846, 55},  {2940, 76},  {2985, 87},
                            {3000, 90},   {3059, 100}, {3134, 100}, {65535, 100},
                            {400000, 100}}; // beyond 16 bits: no overflow
    for (const auto &row : table)
        QTest::addRow("%d", row[0]) << row[0] << row[1];
}

void TestReadout::batteryPercent()
{
    QFETCH(int, raw);
    QFETCH(int, percent);
    QCOMPARE(::batteryPercent(raw), percent);
}

void TestReadout::deviceRecord_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("hardware");
    QTest::addColumn<int>("firmware");
    QTest::addColumn<QString>("serial");
    QTest::addColumn<QString>("line");
    // hardware version byte, serial, version digits, date yymmdd, info byte
    QTest::newRow("typical") << QByteArray("\x18" "0042" "07" "211019" "\x00", 14) << 24 << 7 << "0042"
                             << "FW 7 from 19.10.21, SerialNr: 0042";
    QTest::newRow("two-digit version") << QByteArray("\x18" "1234" "68" "211019" "\x2a", 14) << 24 << 68 << "1234"
                                       << "FW 68 from 19.10.21, SerialNr: 1234";
    QTest::newRow("serial ends at a zero byte") << QByteArray("\x17" "A\0BC" "12" "200131" "\x00", 14) << 23 << 12
                                                << "A" << "FW 12 from 31.01.20, SerialNr: A";
    // A version that is no number leaves the cleared 0, so the device cannot be updated.
    QTest::newRow("non-digit version") << QByteArray("\x18" "0042" "xy" "211019" "\x00", 14) << 24 << 0 << "0042"
                                       << "FW 0 from 19.10.21, SerialNr: 0042";
    // Leading blanks are skipped, then at most two characters are read.
    QTest::newRow("blank before the digit") << QByteArray("\x18" "0042" " 7" "211019" "\x00", 14) << 24 << 72
                                            << "0042" << "FW 72 from 19.10.21, SerialNr: 0042";
    QTest::newRow("signed version") << QByteArray("\x18" "0042" "-3" "211019" "\x00", 14) << 24 << -3 << "0042"
                                    << "FW -3 from 19.10.21, SerialNr: 0042";
}

void TestReadout::deviceRecord()
{
    QFETCH(QByteArray, reply);
    QFETCH(int, hardware);
    QFETCH(int, firmware);
    QFETCH(QString, serial);
    QFETCH(QString, line);
    const DeviceRecord r = parsed(reply.constData());
    QCOMPARE(r.hardwareVersion, hardware);
    QCOMPARE(r.firmwareVersion, firmware);
    QCOMPARE(QString::fromStdString(serialText(r)), serial);
    QCOMPARE(QString::fromStdString(deviceLine(r)), line);
}

void TestReadout::statusAndInfo_data()
{
    QTest::addColumn<int>("infoByte");
    QTest::addColumn<int>("status"); // -1: the 15th byte did not come
    QTest::addColumn<int>("info");
    QTest::addColumn<int>("deviceStatus");
    QTest::newRow("no status byte") << 0x2A << -1 << 0 << 255;
    QTest::newRow("status 0") << 0x2A << 0 << 0x2A << 0;
    QTest::newRow("unset info reads as 1") << 0xFF << 1 << 1 << 1;
}

void TestReadout::statusAndInfo()
{
    QFETCH(int, infoByte);
    QFETCH(int, status);
    QFETCH(int, info);
    QFETCH(int, deviceStatus);
    QByteArray reply("\x18" "0042" "68" "211019" "\x00", 14);
    reply[13] = char(infoByte);
    const DeviceRecord r = parsed(reply.constData(), status < 0 ? std::nullopt : std::optional<uint8_t>(status));
    QCOMPARE(int(r.deviceInfo), info);
    QCOMPARE(int(r.deviceStatus), deviceStatus);
}

void TestReadout::comparedWithCarried_data()
{
    QTest::addColumn<int>("deviceVersion");
    QTest::addColumn<QString>("deviceDate"); // YYMMDD, as the device sends it
    QTest::addColumn<QString>("carriedVersion");
    QTest::addColumn<QString>("carriedDate"); // DD.MM.YY, as the build names it
    QTest::addColumn<QString>("verdict");
    QTest::newRow("same version and date") << 68 << "211019" << "68" << "19.10.21" << "the same";
    QTest::newRow("carried version higher") << 67 << "221231" << "68" << "19.10.21" << "newer";
    QTest::newRow("carried version lower") << 70 << "200101" << "68" << "19.10.21" << "older";
    QTest::newRow("same version, carried built later") << 68 << "211018" << "68" << "19.10.21" << "newer";
    QTest::newRow("same version, carried built earlier: a year counts before a day") << 68 << "220101" << "68"
                                                                                     << "19.10.21" << "older";
    QTest::newRow("carried version unknown") << 68 << "211019" << "" << "19.10.21" << "";
}

void TestReadout::comparedWithCarried()
{
    QFETCH(int, deviceVersion);
    QFETCH(QString, deviceDate);
    QFETCH(QString, carriedVersion);
    QFETCH(QString, carriedDate);
    QFETCH(QString, verdict);
    DeviceRecord r;
    r.firmwareVersion = deviceVersion;
    std::memcpy(r.firmwareDate, deviceDate.toLatin1().constData(), sizeof r.firmwareDate);
    QCOMPARE(QString::fromStdString(compareWithCarried(r, carriedVersion.toStdString(), carriedDate.toStdString())),
             verdict);
}

void TestReadout::updateAllowed_data()
{
    QTest::addColumn<int>("expected");
    QTest::addColumn<int>("hardware");
    QTest::addColumn<int>("firmware");
    QTest::addColumn<bool>("allowed");
    QTest::addColumn<QString>("reason"); // what the refusal names
    QTest::newRow("match, firmware 7") << 24 << 24 << 7 << true << "";
    QTest::newRow("match, firmware 6") << 24 << 24 << 6 << false << "firmware version 6";
    QTest::newRow("other hardware") << 24 << 23 << 68 << false << "hardware version 23, this build is for hardware version 24";
    QTest::newRow("other hardware, old firmware") << 24 << 25 << 3 << false << "hardware version 25";
    QTest::newRow("build names none") << 0 << 23 << 7 << true << "";
    QTest::newRow("build names none, firmware 0") << 0 << 23 << 0 << false << "firmware version 0";
}

void TestReadout::updateAllowed()
{
    QFETCH(int, expected);
    QFETCH(int, hardware);
    QFETCH(int, firmware);
    QFETCH(bool, allowed);
    QFETCH(QString, reason);
    DeviceRecord r;
    r.hardwareVersion = hardware;
    r.firmwareVersion = firmware;
    QCOMPARE(::updateAllowed(expected, r), allowed);
    const UpdateRefusal refused = updateRefusal(expected, r);
    const QString refusal = QString::fromStdString(refused.reason);
    QCOMPARE(refusal.isEmpty(), allowed);
    QCOMPARE(refused.id == MessageId::None, allowed);
    QVERIFY2(refusal.contains(reason), qPrintable(refusal));
}

void TestReadout::calibration()
{
    const uint8_t reply[8] = {0x64, 0x64, 0x64, 0x64, 0xFE, 0x00, 0x05, 0x00};
    const Calibration c = Calibration::fromReply(reply);
    QCOMPARE(c.koefX, 100);
    QCOMPARE(c.koefM, 100);
    QCOMPARE(c.offsX, -2);
    QCOMPARE(c.offsY, 0);
    QCOMPARE(c.offsZ, 5);
    const uint8_t extremes[8] = {0xFF, 0, 1, 2, 0x80, 0x7F, 0xFF, 0x99};
    const Calibration e = Calibration::fromReply(extremes);
    QCOMPARE(e.koefX, 255);
    QCOMPARE(e.koefZ, 1);
    QCOMPARE(e.offsX, -128);
    QCOMPARE(e.offsY, 127);
    QCOMPARE(e.offsZ, -1);
}

QTEST_APPLESS_MAIN(TestReadout)
#include "test_readout.moc"
