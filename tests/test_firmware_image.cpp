// The Intel HEX loader: the carried stand-in image, every failure with its record number,
// the linear base rules, and texts cut off anywhere.
#include "firmware_image.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

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

} // namespace

class TestFirmwareImage : public QObject {
    Q_OBJECT
private slots:
    void carriedImage();
    void carriedImageEqualsObjcopy();
    void carriedImageTooLargeForSmallDevices();
    void failures_data();
    void failures();
    void linearBase_data();
    void linearBase();
    void cutOffAnywhereNeverReadsPastTheEnd();
    void resourceMessages();
};

void TestFirmwareImage::carriedImage()
{
    const ImageLoad load = loadFirmwareImage(24);
    QVERIFY2(load.ok, load.message.c_str());
    QVERIFY(load.image.endOfFile);
    QCOMPARE(load.image.capacity(), 0xF0000u);
    QCOMPARE(load.image.imageTop, 0xBD3A3u);
    QCOMPARE(load.image.length(), 775076u);
    QCOMPARE(load.image.linearBase, 0x08000000u);
    QCOMPARE(load.image.records, 48456); // every record but the end-of-file one
    for (uint32_t a = 0x200; a < 0x220; ++a)
        QCOMPARE(int(load.image.buffer[a]), 0);
}

void TestFirmwareImage::carriedImageEqualsObjcopy()
{
    QTemporaryDir dir;
    const QString out = dir.filePath("image.bin");
    QProcess objcopy;
    objcopy.start("objcopy", {"-I", "ihex", "-O", "binary", CARRIED_HEX, out});
    if (!objcopy.waitForFinished(20000) || objcopy.exitCode() != 0)
        QFAIL("objcopy (binutils) did not convert the carried text");
    QFile f(out);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray reference = f.readAll();
    const ImageLoad load = parse(carriedText());
    QVERIFY(load.ok);
    QCOMPARE(qsizetype(load.image.length()), reference.size());
    QVERIFY(reference == QByteArray::fromRawData(reinterpret_cast<const char *>(load.image.buffer.data()),
                                                reference.size()));
}

void TestFirmwareImage::carriedImageTooLargeForSmallDevices()
{
    const ImageLoad load = parse(carriedText(), 22);
    QVERIFY(!load.ok);
    QCOMPARE(load.image.capacity(), 0xA000u);
    // 0xA000 / 16 data records, plus the extended address record in front of them.
    QCOMPARE(QString::fromStdString(load.message), QString("Error in Zeile %1.Adresse out memory").arg(0xA000 / 16 + 1));
}

void TestFirmwareImage::failures_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<bool>("endOfFile");
    QTest::addColumn<QString>("message");

    const QByteArray data = rec(0, 0, QByteArray(16, '\x11'));
    QTest::newRow("bad checksum in the first record") << rec(0, 0, "ab", 1) + Eof << false << false
                                                      << "Error in Zeile 0. Checksumme error";
    QTest::newRow("bad checksum in the third") << data + data + rec(0x20, 0, "ab", 7) + Eof << false << false
                                               << "Error in Zeile 2. Checksumme error";
    QTest::newRow("type 6") << data + rec(0, 6, "") + Eof << false << false << "Error in Zeile 1. Typ error";
    QTest::newRow("types 2, 3 and 5 checked, ignored")
        << rec(0, 2, "\x10\x00") + rec(0, 3, "\x00\x00\x01\x00") + rec(0, 5, "\x08\x00\x01\x31") + data + Eof << true
        << true << QString();
    QTest::newRow("type 5 with a bad sum") << rec(0, 5, "\x08\x00\x01\x31", 3) + Eof << false << false
                                           << "Error in Zeile 0. Checksumme error";
    QTest::newRow("lower-case digits") << data.toLower() + Eof << true << true << QString();
    QTest::newRow("anything between records") << "garbage\n" + data + " ;; \t" + Eof << true << true << QString();
    QTest::newRow("no colon at all") << QByteArray("hello, world\r\n") << true << false << QString();
    QTest::newRow("no end-of-file record") << data + data << true << false << QString();
    QTest::newRow("records after the end are not read") << data + Eof + rec(0, 9, "") << true << true << QString();
    QTest::newRow("a non-digit reads as 0, failing the sum") << QByteArray(":1G000000") + Eof << false << false
                                                             << "Error in Zeile 0. Checksumme error";
}

void TestFirmwareImage::failures()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, ok);
    QFETCH(bool, endOfFile);
    QFETCH(QString, message);
    const ImageLoad load = parse(text);
    QCOMPARE(load.ok, ok);
    if (ok)
        QCOMPARE(load.image.endOfFile, endOfFile);
    QCOMPARE(QString::fromStdString(load.message), message);
}

void TestFirmwareImage::linearBase_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("hardware");
    QTest::addColumn<QString>("message");
    QTest::addColumn<uint>("base");
    QTest::addColumn<uint>("top");

    const QByteArray four = QByteArray("\x01\x02\x03\x04");
    QTest::newRow("first base sets the origin") << ela(0x0800) + rec(0x10, 0, four) + Eof << 24 << QString()
                                                << 0x08000000u << 0x13u;
    QTest::newRow("zero base leaves it unset") << ela(0) + rec(0x10, 0, four) + ela(0x0801) + rec(0x20, 0, four) + Eof
                                               << 24 << QString() << 0x08010000u << 0x23u;
    QTest::newRow("next segment lands 64 KiB on") << ela(0x0800) + ela(0x0801) + rec(0, 0, four) + Eof << 24
                                                  << QString() << 0x08000000u << 0x10003u;
    QTest::newRow("below the base fails") << ela(0x0801) + ela(0x0800) + rec(0, 0, four) + Eof << 24
                                          << "Error in Zeile 2.Adresse out memory" << 0x08010000u << 0u;
    QTest::newRow("last byte of a small device") << rec(0x9FFF, 0, "\x7f") + Eof << 22 << QString() << 0u << 0x9FFFu;
    QTest::newRow("one beyond a small device") << rec(0x9FFF, 0, "\x7f\x7f") + Eof << 22
                                               << "Error in Zeile 0.Adresse out memory" << 0u << 0x9FFFu;
    QTest::newRow("a short address record still takes two bytes")
        << QByteArray(":000000040800F4\r\n") + rec(0, 0, four) + Eof << 24 << QString() << 0x08000000u << 3u;
}

void TestFirmwareImage::linearBase()
{
    QFETCH(QByteArray, text);
    QFETCH(int, hardware);
    QFETCH(QString, message);
    QFETCH(uint, base);
    QFETCH(uint, top);
    const ImageLoad load = parse(text, hardware);
    QCOMPARE(QString::fromStdString(load.message), message);
    QCOMPARE(load.image.linearBase, base);
    if (message.isEmpty()) // a failed load is thrown away whole
        QCOMPARE(load.image.imageTop, top);
}

void TestFirmwareImage::cutOffAnywhereNeverReadsPastTheEnd()
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

void TestFirmwareImage::resourceMessages()
{
    QTemporaryDir dir;
    QCOMPARE(QString::fromStdString(loadFirmwareImage(24, dir.filePath("missing.hex").toStdString()).message),
             QString("Hex-File cannot open!"));
    QFile empty(dir.filePath("empty.hex"));
    QVERIFY(empty.open(QIODevice::WriteOnly));
    empty.close();
    QCOMPARE(QString::fromStdString(loadFirmwareImage(24, empty.fileName().toStdString()).message),
             QString("Hex-File cannot open!"));
}

QTEST_GUILESS_MAIN(TestFirmwareImage)
#include "test_firmware_image.moc"
