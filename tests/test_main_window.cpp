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
#include "table_rows.h"
#include "usb_connection.h"

#include <QLabel>
#include <QPushButton>
#include <QTimer>
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

// The build's texts and the command line, and what the window makes of them.
struct StartRow {
    const char *name;
    QString firmwareName = QString::fromStdString(BuildSettings::compiled().firmwareName);
    QString hardwareText = "24";
    QStringList arguments = {"QTX_MOVA_Update"};
    QString caption = "Firmware Update (Corvane MOVA FW 68 from 19.10.21)";
    int hardware = 24;
    QString override = {};
};
// Closing the window on an open device, or on a link closed before: what the device took in and gave out.
struct ClosingRow { const char *name; bool linkClosedFirst; Bytes into, out; };

} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT
private slots:
    void formAtStart()
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

    void buildTextsAndCommandLine_data()
    {
        addRows<StartRow>({
            {.name = "this build"},
            {.name = "no firmware name", .firmwareName = "", .caption = "Firmware Update"},
            {.name = "only 255 characters of the name are taken", .firmwareName = QString(300, 'x'),
             .caption = "Firmware Update (" + QString(255, 'x') + ")"},
            {.name = "hardware empty", .hardwareText = "", .hardware = 0},
            {.name = "hardware letters only", .hardwareText = "abc", .hardware = 0},
            {.name = "hardware with trailing letters", .hardwareText = "24a", .hardware = 0},
            {.name = "hardware with a blank inside", .hardwareText = "2 4", .hardware = 0},
            {.name = "hardware signed", .hardwareText = "-3", .hardware = -3},
            {.name = "hardware with a plus sign", .hardwareText = "+22", .hardware = 22},
            {.name = "hardware beyond 32 bits", .hardwareText = "99999999999", .hardware = 0},
            {.name = "one path", .arguments = {"QTX_MOVA_Update", "/dev/ttyACM0"}, .override = "/dev/ttyACM0"},
            {.name = "further arguments ignored", .arguments = {"QTX_MOVA_Update", "A", "B"}, .override = "A"},
            // The shell has already removed the quotes around a path with blanks.
            {.name = "quoted with blanks", .arguments = {"QTX_MOVA_Update", "/tmp/my device/tty"},
             .override = "/tmp/my device/tty"},
            {.name = "non-ASCII", .arguments = {"QTX_MOVA_Update", QString::fromUtf8("/tmp/gerät")},
             .override = QString::fromUtf8("/tmp/gerät")},
        });
    }
    void buildTextsAndCommandLine()
    {
        QFETCH(StartRow, row);
        auto w = window(row.arguments, {row.firmwareName.toStdString(), row.hardwareText.toStdString()});
        QCOMPARE(w->windowTitle(), row.caption);
        QCOMPARE(w->expectedHardwareVersion(), row.hardware);
        QCOMPARE(QString::fromLocal8Bit(w->portPathOverride()), row.override);
    }

    void closingIsRefusedWhileUpdating()
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

    void anExceptionFromAnEventIsShownAndTheLoopGoesOn()
    {
        MessageBoxAnswerer operatorAnswers(QMessageBox::Ok);
        bool after = false;
        QTimer::singleShot(0, [] { throw std::runtime_error("out of order"); });
        QTimer::singleShot(0, [] { throw Abort("shown by the run already"); });
        QTimer::singleShot(50, [&] { after = true; });
        QTRY_VERIFY(after);
        QCOMPARE(operatorAnswers.texts, QStringList {"out of order"});
    }

    void closing_data()
    {
        addRows<ClosingRow>({
            // The goodbye's echo and the byte read after it.
            {"an open device is told goodbye", false, {Cmd::Leave}, {Cmd::Leave, 0x00}},
            {"a closed link sends nothing", true, {}, {}},
        });
    }
    void closing()
    {
        QFETCH(ClosingRow, row);
        EmulatorFixture f;
        QVERIFY(f.start());
        auto w = window();
        w->show();
        QVERIFY(w->link()->openComPort(f.link(), false));
        if (row.linkClosedFirst)
            w->link()->close();
        QVERIFY(w->close());
        QVERIFY(!w->isVisible());
        QThread::msleep(50);
        QCOMPARE(f.bytes('<'), row.into);
        QCOMPARE(f.bytes('>'), row.out);
        QCOMPARE(f.emulator->commands(), row.into);
        // The link stays open until the window is destroyed.
        QCOMPARE(w->link()->isOpen(), !row.linkClosedFirst);
    }
};

int main(int argc, char **argv)
{
    TApplication application(argc, argv); // the program's own, with its handler of escaped exceptions
    TestMainWindow test;
    return QTest::qExec(&test, argc, argv);
}
#include "test_main_window.moc"
