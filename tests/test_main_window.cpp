// The main window, offscreen: its form, its build texts, its command line and its closing.
#include "abort.h"
#include "application.h"
#include "build_settings.h"
#include "clock.h"
#include "emulator_fixture.h"
#include "kvl_update.h"
#include "message_box_answerer.h"
#include "protocol.h"
#include "stop_signals.h"
#include "usb_connection.h"

#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <csignal>
#include <stdexcept>

using Bytes = std::vector<uint8_t>;

namespace {

std::unique_ptr<TKVLUpdate> window(const QStringList &arguments = {"QTX_MOVA_Update"},
                                   BuildSettings settings = BuildSettings::compiled())
{
    auto w = std::make_unique<TKVLUpdate>(arguments, realClock(), std::make_unique<UsbConnection>(realClock()),
                                          settings);
    w->AccuTimer->stop(); // these tests are about the form and its closing, not the polling
    return w;
}

} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT
private slots:
    void formAtStart();
    void caption_data();
    void caption();
    void hardwareVersion_data();
    void hardwareVersion();
    void commandLine_data();
    void commandLine();
    void closingIsRefusedWhileUpdating();
    void anExceptionFromAnEventIsShownAndTheLoopGoesOn();
    void closingTellsAnOpenDeviceGoodbye();
    void closingWithClosedLinkSendsNothing();
};

void TestMainWindow::formAtStart()
{
    auto w = std::make_unique<TKVLUpdate>(QStringList {"QTX_MOVA_Update"}, realClock(),
                                          std::make_unique<UsbConnection>(realClock()), BuildSettings::compiled());
    QVERIFY(w->AccuTimer->isActive());
    w->AccuTimer->stop(); // no device here: its first tick would ask for one
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.get()));
    QCOMPARE(w->size(), QSize(375, 71));
    QCOMPARE(w->minimumSize(), w->maximumSize()); // not resizable
    QCOMPARE(w->UpdateButton->text(), QString("Update"));
    QCOMPARE(w->UpdateButton->geometry(), QRect(131, 40, 105, 25));
    QVERIFY(!w->UpdateButton->isEnabled());
    QCOMPARE(w->GeraetLabel->geometry(), QRect(8, 7, 360, 26));
    QVERIFY(w->GeraetLabel->text().isEmpty() && w->GeraetLabel->wordWrap() && w->GeraetLabel->font().bold());
    QCOMPARE(w->GeraetLabel->palette().color(QPalette::WindowText), QColor(0, 0, 255));
    QCOMPARE(w->AccuLabel->geometry(), QRect(283, 45, 83, 14));
    QVERIFY(w->AccuLabel->text().isEmpty() && w->AccuLabel->font().bold());
    QVERIFY(w->AccuLabel->alignment() & Qt::AlignHCenter);
    QCOMPARE(w->AccuLabel->palette().color(QPalette::WindowText), QColor(0, 128, 0));
    QCOMPARE(w->AccuTimer->interval(), 500);
    QCOMPARE(int(w->deviceRecord().deviceStatus), 255);
    QCOMPARE(w->deviceRecord().hardwareVersion, 0);
    QVERIFY(!w->updateRunning());
    QVERIFY(w->portPath().empty());
    QVERIFY(!w->link()->isOpen());
    QCOMPARE(KVLUpdate, w.get());
}

void TestMainWindow::caption_data()
{
    QTest::addColumn<QString>("firmwareName");
    QTest::addColumn<QString>("caption");
    QTest::newRow("this build") << QString::fromStdString(BuildSettings::compiled().firmwareName)
                                << "Firmware Update (Corvane MOVA FW 68 from 19.10.21)";
    QTest::newRow("no name") << "" << "Firmware Update";
    QTest::newRow("only 255 characters are taken") << QString(300, 'x') << "Firmware Update (" + QString(255, 'x') + ")";
}

void TestMainWindow::caption()
{
    QFETCH(QString, firmwareName);
    QFETCH(QString, caption);
    auto w = window({"QTX_MOVA_Update"}, {firmwareName.toStdString(), "24"});
    QCOMPARE(w->windowTitle(), caption);
}

void TestMainWindow::hardwareVersion_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("expected");
    QTest::newRow("this build") << "24" << 24;
    QTest::newRow("empty") << "" << 0;
    QTest::newRow("letters only") << "abc" << 0;
    QTest::newRow("trailing letters") << "24a" << 0;
    QTest::newRow("blank inside") << "2 4" << 0;
    QTest::newRow("signed") << "-3" << -3;
    QTest::newRow("plus sign") << "+22" << 22;
    QTest::newRow("beyond 32 bits") << "99999999999" << 0;
}

void TestMainWindow::hardwareVersion()
{
    QFETCH(QString, text);
    QFETCH(int, expected);
    auto w = window({"QTX_MOVA_Update"}, {"name", text.toStdString()});
    QCOMPARE(w->expectedHardwareVersion(), expected);
}

void TestMainWindow::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("override");
    QTest::newRow("no argument") << QStringList {"QTX_MOVA_Update"} << "";
    QTest::newRow("one path") << QStringList {"QTX_MOVA_Update", "/dev/ttyACM0"} << "/dev/ttyACM0";
    QTest::newRow("further ones ignored") << QStringList {"QTX_MOVA_Update", "A", "B"} << "A";
    // The shell has already removed the quotes around a path with blanks.
    QTest::newRow("quoted with blanks") << QStringList {"QTX_MOVA_Update", "/tmp/my device/tty"} << "/tmp/my device/tty";
    QTest::newRow("non-ASCII") << QStringList {"QTX_MOVA_Update", QString::fromUtf8("/tmp/gerät")}
                               << QString::fromUtf8("/tmp/gerät");
}

void TestMainWindow::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, override);
    auto w = window(arguments);
    QCOMPARE(QString::fromLocal8Bit(w->portPathOverride()), override);
}

void TestMainWindow::closingIsRefusedWhileUpdating()
{
    EmulatorFixture f;
    QVERIFY(f.start());
    auto w = window();
    w->show();
    QVERIFY(w->link()->openComPort(f.link(), false));
    // Ctrl-C and SIGTERM are close requests, refused the same way.
    StopSignals stopSignals({SIGINT, SIGTERM}, [&](int number) { w->closeOnSignal(number); });
    w->setUpdateRunning(true);
    QVERIFY(!w->close());
    ::raise(SIGINT);
    QTest::qWait(100);
    QVERIFY(w->isVisible());
    QVERIFY(f.emulator->trace().empty()); // the device heard nothing
    w->setUpdateRunning(false);
    ::raise(SIGTERM);
    QTRY_VERIFY(!w->isVisible());
    QCOMPARE(f.emulator->commands(), Bytes {Cmd::Leave});
}

void TestMainWindow::anExceptionFromAnEventIsShownAndTheLoopGoesOn()
{
    MessageBoxAnswerer operatorAnswers(QMessageBox::Ok);
    bool after = false;
    QTimer::singleShot(0, [] { throw std::runtime_error("out of order"); });
    QTimer::singleShot(0, [] { throw Abort("shown by the run already"); });
    QTimer::singleShot(50, [&] { after = true; });
    QTRY_VERIFY(after);
    QCOMPARE(operatorAnswers.texts, QStringList {"out of order"});
}

void TestMainWindow::closingTellsAnOpenDeviceGoodbye()
{
    EmulatorFixture f;
    QVERIFY(f.start());
    auto w = window();
    w->show();
    QVERIFY(w->link()->openComPort(f.link(), false));
    QVERIFY(w->close());
    QVERIFY(!w->isVisible());
    QCOMPARE(f.bytes('<'), Bytes {Cmd::Leave});
    QCOMPARE(f.bytes('>'), (Bytes {Cmd::Leave, 0x00})); // echo and the byte read after it
    QCOMPARE(f.emulator->commands(), Bytes {Cmd::Leave});
    // The link stays open until the window is destroyed.
    QVERIFY(w->link()->isOpen());
    w.reset();
}

void TestMainWindow::closingWithClosedLinkSendsNothing()
{
    EmulatorFixture f;
    QVERIFY(f.start());
    auto w = window();
    w->show();
    QVERIFY(w->link()->openComPort(f.link(), false));
    w->link()->close();
    QVERIFY(w->close());
    QThread::msleep(50);
    QVERIFY(f.emulator->trace().empty());
}

int main(int argc, char **argv)
{
    TApplication application(argc, argv); // the program's own, with its handler of escaped exceptions
    TestMainWindow test;
    return QTest::qExec(&test, argc, argv);
}
#include "test_main_window.moc"
