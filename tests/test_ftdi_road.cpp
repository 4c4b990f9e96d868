// The FTDI road for real: libftdi1 is replaced by a stand-in library with its entry points
// that carries the converter's bytes to the device emulator's pseudo-terminal, so loading,
// discovery by product string, line setup and the doubled commands run as in the program.

#include "abort.h"
#include "clock.h"
#include "discovery.h"
#include "emulator_fixture.h"
#include "ftdi_api.h"
#include "ftdi_standin.h"
#include "handshake.h"
#include "protocol.h"
#include "table_rows.h"
#include "usb_connection.h"

#include <QElapsedTimer>

#include <dlfcn.h>
#include <memory>

namespace {

const char *const NoSuchLibrary = "libftdi-none-such.so.9";

// The device's side of the wire as "<90 >90 ..." ('<' into the device), easy to compare.
QString wire(const std::vector<DeviceModel::TraceEntry> &trace)
{
    QStringList parts;
    for (const auto &e : trace)
        parts << QStringLiteral("%1%2").arg(QLatin1Char(e.direction)).arg(e.byte, 2, 16, QLatin1Char('0')).toUpper();
    return parts.join(QLatin1Char(' '));
}

struct LibraryRow { const char *name; QString library, message; };
// The converters the stand-in offers ("[vvvv:pppp ]product", '|' between them) and the index
// the docking station is found at.
struct FindRow { const char *name; QByteArray converters; int index; };
// An open that fails: the converters, whether the port behind them is there, the index
// asked for, whether errors are shown, and a part of lastError().
struct OpenFailureRow {
    const char *name;
    QByteArray converters;
    bool portThere;
    int index;
    bool showErrors;
    QString error;
};
// A doubled command to a device with a fault on it: the answer, the wire, how long the road
// must have listened for the second echo.
struct DoubledRow { const char *name; const char *fault; int command; bool answered; QString wire; int minMs; };
// A read within a time after a command (-1: none): the bytes asked for, those that came, and
// how long the road listened.
struct ListenRow { const char *name; int command, askedMs, asked; std::vector<uint8_t> came; int minMs, maxMs; };

} // namespace

class TestFtdiRoad : public QObject {
    Q_OBJECT

    EmulatorFixture device_;
    FtdiLibrary standin_ {STANDIN_PATH};
    standin_last_settings_fn lastSettings_ = nullptr;
    standin_reset_fn resetSettings_ = nullptr;
    int contextsBefore_ = 0;

    bool startDevice(const char *fault = nullptr, int faultCommand = -1)
    {
        DeviceModel::Config config;
        config.doubledRoad = true;
        if (!device_.start(config))
            return false;
        qputenv("QTX_STANDIN_PORT", QByteArray::fromStdString(device_.link()));
        return !fault || device_.emulator->withModel([&](DeviceModel &m) { return m.setFault(fault, true, faultCommand); });
    }
    std::unique_ptr<UsbConnection> connection()
    {
        return std::make_unique<UsbConnection>(realClock(), UsbConnection::Options {}, nullptr, &standin_);
    }
    // The device started (with a fault on a command) and converter 0 opened; null otherwise.
    std::unique_ptr<UsbConnection> openedLink(const char *fault = nullptr, int faultCommand = -1)
    {
        auto link = connection();
        if (startDevice(fault, faultCommand) && link->openFtdi(0, false))
            return link;
        qWarning("not opened: %s", link->lastError().c_str());
        return nullptr;
    }
    const standin_settings &recorded() const { return *lastSettings_(); }

private slots:
    void initTestCase()
    {
        QVERIFY(device_.folder.isValid());
        // The same handle FtdiLibrary gets, so the recorder sees what the road did.
        void *handle = dlopen(STANDIN_PATH, RTLD_NOW | RTLD_LOCAL);
        QVERIFY2(handle, dlerror());
        lastSettings_ = reinterpret_cast<standin_last_settings_fn>(dlsym(handle, "standin_last_settings"));
        resetSettings_ = reinterpret_cast<standin_reset_fn>(dlsym(handle, "standin_reset"));
        QVERIFY(lastSettings_ && resetSettings_);
        // Must come before anything asks for the program's library: it is chosen once.
        qputenv("QTX_FTDI_LIBRARY", STANDIN_PATH);
    }
    // Before each case: no converter named or placed, and the recorder cleared.
    void init()
    {
        qunsetenv("QTX_STANDIN_DESCRIPTION");
        qunsetenv("QTX_STANDIN_PORT");
        resetSettings_();
        contextsBefore_ = recorded().live_contexts;
    }
    void cleanup()
    {
        device_.emulator.reset();
        // Whatever a case opened, its connection is gone by now and must have freed its context.
        QCOMPARE(recorded().live_contexts, contextsBefore_);
    }

    // ---- the library ----------------------------------------------------------------------

    void realLibraryFindsNoDockingStation()
    {
        FtdiLibrary real(FtdiLibrary::defaultName);
        const FtdiApi *api = nullptr;
        QVERIFY_THROWS_NO_EXCEPTION(api = &real.api());
        QVERIFY(api->newContext && api->readData && api->writeData && api->purge && api->errorString);
        // No converter is attached to this machine.
        QCOMPARE(findFtdiDevice(real, DockingStationDescription), -1);
    }

    void unusableLibrary_data()
    {
        addRows<LibraryRow>({
            {"not there", NoSuchLibrary, QStringLiteral("Error by load dll '") + NoSuchLibrary},
            {"entry point missing", STANDIN_INCOMPLETE_PATH, "Failed to get proc in '" STANDIN_INCOMPLETE_PATH},
        });
    }
    void unusableLibrary()
    {
        QFETCH(LibraryRow, row);
        FtdiLibrary ftdi(row.library.toStdString());
        QString thrown;
        try {
            ftdi.api();
        } catch (const Abort &e) {
            thrown = QString::fromStdString(e.message());
        }
        QCOMPARE(thrown, row.message);

        // Every later use tries the library again and fails the same way, without throwing.
        UsbConnection link(realClock(), UsbConnection::Options {}, nullptr, &ftdi);
        QStringList shown;
        link.setErrorDisplay([&](const std::string &text) { shown << QString::fromStdString(text); });
        bool opened = true;
        QVERIFY_THROWS_NO_EXCEPTION(opened = link.openFtdi(0, true));
        QVERIFY(!opened);
        QVERIFY(!link.isOpen());
        QCOMPARE(QString::fromStdString(link.lastError()), row.message);
        QCOMPARE(shown, QStringList {QStringLiteral("Cannot open")});
        int index = 0;
        QVERIFY_THROWS_NO_EXCEPTION(index = findFtdiDevice(ftdi, DockingStationDescription));
        QCOMPARE(index, -1);
    }

    void programLibraryFollowsOverride()
    {
        QCOMPARE(QString::fromStdString(FtdiLibrary::system().name()), QStringLiteral(STANDIN_PATH));
        QVERIFY(startDevice());
        // A connection given no library uses the program's.
        UsbConnection link(realClock());
        QVERIFY2(link.openFtdi(0, false), link.lastError().c_str());
        QVERIFY(link.sendCommand(Cmd::Start, true));
    }

    // ---- discovery and opening ------------------------------------------------------------------

    void findByProductString_data()
    {
        const QByteArray station = DockingStationDescription;
        addRows<FindRow>({
            {"exact", station, 0},
            {"other case", station.toLower(), -1},
            {"longer", station + " 2", -1},
            {"shorter", station.chopped(1), -1},
            {"trailing blank", station + ' ', -1},
            {"second converter", "FT232R USB UART|" + station, 1},
            {"first of two stations", station + '|' + station, 0},
            {"no converter", "", -1},
            // Out of sight of libftdi's own search, which knows only FTDI's ids.
            {"own USB id", "1209:7001 " + station, 0},
            {"own USB id after another converter", "FT232R USB UART|1209:7001 " + station, 1},
        });
    }
    void findByProductString()
    {
        QFETCH(FindRow, row);
        qputenv("QTX_STANDIN_DESCRIPTION", row.converters);
        QCOMPARE(findFtdiDevice(standin_, DockingStationDescription), row.index);
        if (row.index < 0)
            return;
        // The index opens that very converter, and commands reach the device through it.
        QVERIFY(startDevice());
        auto link = connection();
        QVERIFY2(link->openFtdi(row.index, false), link->lastError().c_str());
        QCOMPARE(QByteArray(recorded().opened), QByteArray(DockingStationDescription));
        QVERIFY(link->sendCommand(Cmd::Start, true));
        QCOMPARE(device_.emulator->commands(), std::vector<uint8_t> {Cmd::Start});
    }

    void openFailures_data()
    {
        const QByteArray station = DockingStationDescription;
        addRows<OpenFailureRow>({
            {"port missing", station, false, 0, true, "libusb_open() failed"},
            {"port missing, quiet", station, false, 0, false, "libusb_open() failed"},
            {"index past the list", station, true, 1, true, "no such device"},
            {"negative index", station, true, -1, true, "no such device"},
            {"no converter", "", true, 0, true, "no such device"},
        });
    }
    void openFailures()
    {
        QFETCH(OpenFailureRow, row);
        qputenv("QTX_STANDIN_DESCRIPTION", row.converters);
        if (row.portThere)
            QVERIFY(startDevice());
        else
            qputenv("QTX_STANDIN_PORT", (device_.folder.path() + QStringLiteral("/gone")).toLocal8Bit());
        auto link = connection();
        QStringList shown;
        link->setErrorDisplay([&](const std::string &text) { shown << QString::fromStdString(text); });
        QVERIFY(!link->openFtdi(row.index, row.showErrors));
        QVERIFY(!link->isOpen());
        QVERIFY2(QString::fromStdString(link->lastError()).contains(row.error), link->lastError().c_str());
        QCOMPARE(shown, row.showErrors ? QStringList {QStringLiteral("Cannot open")} : QStringList {});
        QCOMPARE(recorded().live_contexts, contextsBefore_); // a failed open keeps no context
        uint8_t byte = Cmd::Start;
        QVERIFY(!link->write(&byte, 1));
    }

    void openSetsUpTheLine()
    {
        QVERIFY(startDevice());
        auto link = connection();
        QVERIFY2(link->openFtdi(0, true), link->lastError().c_str());
        QVERIFY(link->isOpen() && link->onFtdiRoad() && link->doubled());
        const standin_settings &s = recorded();
        QCOMPARE(s.opens, 1);
        QCOMPARE(s.baudrate, 460800);
        QCOMPARE(s.bits, int(BITS_8));
        QCOMPARE(s.stop_bits, int(STOP_BIT_1));
        QCOMPARE(s.parity, int(NONE));
        QCOMPARE(s.latency, 5);
        QCOMPARE(s.chunk_size, 2048);
        QCOMPARE(s.flushes, 1);
        // The transfer time-outs the converter is given at open.
        QVERIFY(link->sendCommand(Cmd::Probe, false));
        QCOMPARE(s.write_timeout, 800);
        QCOMPARE(s.read_timeout, 1000);
    }

    // ---- commands -----------------------------------------------------------------------------

    void doubledCommand_data()
    {
        addRows<DoubledRow>({
            // Both copies echoed; the device acts once and answers its one reply byte.
            {"both echoes", nullptr, Cmd::Start, true, "<90 >90 <90 >90 >00", 0},
            // The reply byte arrives where the second echo should be.
            {"second echo missing, reply instead", "no-second-echo", Cmd::Start, false, "<90 >90 <90 >00", 0},
            // Nothing arrives (a command the device takes without a reply): the standing read
            // time runs out.
            {"second echo missing, nothing else", "no-second-echo", 0x42, false, "<42 >42 <42", 900},
        });
    }
    void doubledCommand()
    {
        QFETCH(DoubledRow, row);
        auto link = openedLink(row.fault, row.command);
        QVERIFY(link);
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(link->sendCommand(uint8_t(row.command), true), row.answered);
        QVERIFY(timer.elapsed() >= row.minMs && timer.elapsed() < 1500);
        // Carried out once; a failed command went through its first half, not refused on its first echo.
        QVERIFY(device_.emulator->waitForCommand(uint8_t(row.command), 1, 1000));
        QCOMPARE(device_.emulator->commands(), std::vector<uint8_t> {uint8_t(row.command)});
        if (row.answered) {
            uint8_t reply = 0xFF;
            QVERIFY(link->read(&reply, 1));
            QCOMPARE(reply, uint8_t(0x00));
        }
        QCOMPARE(wire(device_.emulator->trace()), row.wire);
    }

    void connectHandshakeOnDoubledRoad()
    {
        auto link = openedLink();
        QVERIFY(link);
        QVERIFY(connectHandshake(*link));
        // 0xEE goes single even here; 0x90 goes doubled and is carried out once.
        QCOMPARE(wire(device_.emulator->trace()), QStringLiteral("<EE >EE >01 <90 >90 <90 >90 >00"));
        QCOMPARE(device_.emulator->commands(), (std::vector<uint8_t> {Cmd::StatusShort, Cmd::Start}));
    }

    // ---- reading ------------------------------------------------------------------------------

    void readWithTimeoutListensAsAsked_data()
    {
        // Well below the tty road's fixed 500 ms, and above it.
        addRows<ListenRow>({
            {"100 ms", -1, 100, 4, {}, 90, 300},
            {"700 ms", -1, 700, 4, {}, 690, 900},
            // The identity record is 15 bytes with its status; more are asked for than come.
            {"what came is reported", Cmd::DeviceInfo, 150, 20,
             {24, '0', '0', '4', '2', '6', '7', '2', '1', '1', '0', '1', '9', 0x00, 0x01}, 140, 400},
        });
    }
    void readWithTimeoutListensAsAsked()
    {
        QFETCH(ListenRow, row);
        auto link = openedLink();
        QVERIFY(link);
        if (row.command >= 0)
            QVERIFY(link->sendCommand(uint8_t(row.command), true));
        std::vector<uint8_t> buffer(size_t(row.asked));
        int received = -1;
        QElapsedTimer timer;
        timer.start();
        QVERIFY(!link->readWithTimeout(buffer.data(), row.asked, &received, row.askedMs));
        const int64_t took = timer.elapsed();
        QVERIFY2(took >= row.minMs && took <= row.maxMs, qPrintable(QStringLiteral("listened %1 ms").arg(took)));
        QCOMPARE(received, int(row.came.size()));
        buffer.resize(size_t(received));
        QCOMPARE(buffer, row.came);
        QCOMPARE(recorded().read_timeout, row.askedMs);
        // The standing time-out is back for the reads after it.
        QVERIFY(link->sendCommand(Cmd::Probe, false));
        QCOMPARE(recorded().read_timeout, 1000);
    }

    // ---- closing, reopening, losing the converter ------------------------------------------------

    void closeAndReopen()
    {
        auto link = openedLink();
        QVERIFY(link);
        // Opened once more, as after a device reset: still one converter open, one context.
        QVERIFY2(link->openFtdi(0, false), link->lastError().c_str());
        QCOMPARE(recorded().opens - recorded().closes, 1);
        QCOMPARE(recorded().live_contexts, contextsBefore_ + 1);
        QVERIFY(link->sendCommand(Cmd::Start, true));
        uint8_t byte = 0;
        QVERIFY(link->read(&byte, 1));

        // Closed, it refuses every transfer and nothing reaches the device.
        link->close();
        QVERIFY(!link->isOpen());
        QCOMPARE(recorded().closes, 2);
        QCOMPARE(recorded().live_contexts, contextsBefore_);
        const size_t traced = device_.emulator->trace().size();
        int received = -1;
        QVERIFY(!link->write(&byte, 1));
        QVERIFY(!link->read(&byte, 1, &received));
        QCOMPARE(received, 0);
        QVERIFY(!link->readWithTimeout(&byte, 1, &received, 50));
        QVERIFY(!link->sendCommand(Cmd::Start, true));
        QVERIFY(!link->purge());
        QCOMPARE(device_.emulator->trace().size(), traced);

        QVERIFY2(link->openFtdi(0, false), link->lastError().c_str());
        QCOMPARE(recorded().opens, 3);
        QVERIFY(link->sendCommand(Cmd::Start, true));
        QVERIFY(link->purge());
    }

    void pulledConverterFailsPromptly()
    {
        auto link = openedLink();
        QVERIFY(link);
        QVERIFY(link->sendCommand(Cmd::Start, true));
        uint8_t reply = 0;
        QVERIFY(link->read(&reply, 1));
        QVERIFY(!link->deviceLost());

        device_.emulator->unplug();
        QElapsedTimer timer;
        timer.start();
        QVERIFY(!link->read(&reply, 1)); // not the whole standing second
        QVERIFY(!link->sendCommand(Cmd::Start, true));
        QVERIFY2(timer.elapsed() < 300, qPrintable(QStringLiteral("took %1 ms").arg(timer.elapsed())));
        QVERIFY(link->deviceLost());

        // Plugged back in, it is found and opened again as a fresh device.
        link->close();
        QVERIFY(device_.emulator->plug());
        const int index = findFtdiDevice(standin_, DockingStationDescription);
        QVERIFY2(link->openFtdi(index, false), link->lastError().c_str());
        QVERIFY(!link->deviceLost());
        QVERIFY(link->sendCommand(Cmd::Start, true));
    }
};

QTEST_GUILESS_MAIN(TestFtdiRoad)
#include "test_ftdi_road.moc"
