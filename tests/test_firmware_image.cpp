// The Intel HEX loader: the carried stand-in image, every failure with its record number,
// the linear base rules, and texts cut off anywhere.
#include "firmware_image.h"
#include "table_rows.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

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

} // namespace

class TestFirmwareImage : public QObject {
    Q_OBJECT
private slots:
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
