#include "live_columns.h"

#include <QtTest>

// The live lines of a batch: a line fitted to the terminal's width, and the part of a port's
// name that tells it from its neighbours.
class TestLiveColumns : public QObject {
    Q_OBJECT

private slots:
    void fit_data();
    void fit();
    void shortPort_data();
    void shortPort();
};

void TestLiveColumns::fit_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("columns");
    QTest::addColumn<bool>("pad");
    QTest::addColumn<QString>("fitted");
    QTest::newRow("cut at the width") << "ttyUSB0 0301   Erasing  42 %" << 13 << false << "ttyUSB0 0301 ";
    QTest::newRow("a character is never halved") << "Größe über" << 7 << false << "Größe ü";
    QTest::newRow("a short column is padded") << "0301" << 6 << true << "0301  ";
    QTest::newRow("a short line is left as it is") << "ttyUSB0" << 59 << false << "ttyUSB0";
}

void TestLiveColumns::fit()
{
    QFETCH(QString, text);
    QFETCH(int, columns);
    QFETCH(bool, pad);
    QFETCH(QString, fitted);
    QCOMPARE(QString::fromStdString(fitColumns(text.toStdString(), size_t(columns), pad)), fitted);
}

void TestLiveColumns::shortPort_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("shown");
    QTest::newRow("a node") << "/dev/ttyUSB12" << "ttyUSB12";
    QTest::newRow("a link by the adapter's serial")
        << "/dev/serial/by-id/usb-Maker_Serial_Cable_Plus_A50285BI-if00-port0" << "A50285BI-if00-port0";
    QTest::newRow("a long name by its end")
        << "/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.2.4:1.0-port0" << "…:14.0-usb-0:1.2.4:1.0-port0";
    QTest::newRow("a name of 28 as it is") << "/dev/abcdefghijklmnopqrstuvwxyz01" << "abcdefghijklmnopqrstuvwxyz01";
}

void TestLiveColumns::shortPort()
{
    QFETCH(QString, port);
    QFETCH(QString, shown);
    QCOMPARE(QString::fromStdString(shortPortName(port.toStdString())), shown);
}

QTEST_APPLESS_MAIN(TestLiveColumns)
#include "test_live_columns.moc"
