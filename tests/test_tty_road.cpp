// The tty road of the link, for real: a terminal device served by the emulator.
#include "clock.h"
#include "emulator_fixture.h"
#include "protocol.h"
#include "table_rows.h"
#include "usb_connection.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <sys/stat.h>
#include <unistd.h>

using Bytes = std::vector<uint8_t>;

namespace {

// Passes every call to a real terminal and remembers the size of each write and read.
class RecordingTty : public TtyWire {
public:
    explicit RecordingTty(Clock &clock) : inner_(clock) {}
    bool open(const std::string &p, std::string *why, Refusal *r) override { return inner_.open(p, why, r); }
    void close() override { inner_.close(); }
    bool isOpen() const override { return inner_.isOpen(); }
    int readSome(uint8_t *b, int n, int64_t d) override
    {
        readSizes->push_back(n);
        return inner_.readSome(b, n, d);
    }
    int writeSome(const uint8_t *b, int n, int64_t d) override
    {
        writeSizes->push_back(n);
        return inner_.writeSome(b, n, d);
    }
    bool purge() override { return inner_.purge(); }
    bool drainOutput(int64_t d) override { return inner_.drainOutput(d); }

    std::shared_ptr<std::vector<int>> writeSizes = std::make_shared<std::vector<int>>();
    std::shared_ptr<std::vector<int>> readSizes = std::make_shared<std::vector<int>>();

private:
    PosixTty inner_;
};

// The emulator started with a configuration, and a link opened on its terminal.
struct Road {
    EmulatorFixture f;
    std::unique_ptr<UsbConnection> link = std::make_unique<UsbConnection>(realClock());
    bool open(DeviceModel::Config config = {})
    {
        return f.start(std::move(config)) && link->openComPort(f.link(), false);
    }
};

// A command sent single or doubled to a device (on that road) with a fault: the answer and
// what the device received.
struct EchoRow { const char *name; bool doubled; QString fault; bool expected; Bytes wire; };
// A read after a command (-1: none) to a device that may drop its identity's status byte:
// the bytes asked for, within a time (0: the standing read), what came and how long it took.
struct ReadRow { const char *name; int command; bool statusDropped; int asked, askedMs; Bytes came; int minMs, maxMs; };

} // namespace

class TestTtyRoad : public QObject {
    Q_OBJECT
private slots:
    void echoedCommands_data()
    {
        addRows<EchoRow>({
            {"single echo", false, "", true, {0x90}},
            {"doubled echo", true, "", true, {0x90, 0x90}},
            {"wrong echo", false, "wrong-echo", false, {0x90}},
            // Without its echo, the reply byte that follows is taken for the echo and is wrong.
            {"missing echo", false, "no-echo", false, {0x90}},
            {"silent device", false, "silence", false, {0x90}},
            // A wrong first echo stops a doubled command: the second copy is never sent.
            {"doubled, wrong first echo", true, "wrong-echo", false, {0x90}},
        });
    }
    void echoedCommands()
    {
        QFETCH(EchoRow, row);
        Road r;
        DeviceModel::Config config;
        config.doubledRoad = row.doubled;
        QVERIFY(r.open(config));
        if (const std::string fault = row.fault.toStdString(); !fault.empty())
            r.f.emulator->withModel([&](DeviceModel &m) { return m.setFault(fault, true); });
        QVERIFY(!r.link->onFtdiRoad());
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(r.link->sendCommand(Cmd::Start, row.doubled), row.expected);
        if (row.fault == "silence")
            QVERIFY2(timer.elapsed() >= 950, "a missing echo is waited for the standing time-out");
        QVERIFY(timer.elapsed() < 1500);
        QCOMPARE(r.f.bytes('<'), row.wire);
    }

    void reads_data()
    {
        addRows<ReadRow>({
            // The identity record's 15th byte, its status, never comes.
            {"standing read cut off part way", Cmd::DeviceInfo, true, 15, 0,
             {24, '0', '0', '4', '2', '6', '7', '2', '1', '1', '0', '1', '9', 0x00}, 950, 1500},
            {"asked for 100 ms, listens its fixed 500 ms", -1, false, 2, 100, {}, 480, 800},
            {"the one byte that came is handed over", Cmd::StatusShort, false, 2, 100, {1}, 0, 800},
        });
    }
    void reads()
    {
        QFETCH(ReadRow, row);
        Road r;
        DeviceModel::Config config;
        if (row.statusDropped)
            config.identity.status.reset();
        QVERIFY(r.open(config));
        if (row.command >= 0)
            QVERIFY(r.link->sendCommand(uint8_t(row.command), false));
        Bytes buffer(size_t(row.asked));
        int received = -1;
        QElapsedTimer timer;
        timer.start();
        QVERIFY(!(row.askedMs ? r.link->readWithTimeout(buffer.data(), row.asked, &received, row.askedMs)
                              : r.link->read(buffer.data(), row.asked, &received)));
        const qint64 waited = timer.elapsed();
        QCOMPARE(received, int(row.came.size()));
        buffer.resize(size_t(received));
        QCOMPARE(buffer, row.came);
        QVERIFY2(waited >= row.minMs && waited < row.maxMs, qPrintable(QString::number(waited)));
    }

    void transfersGoInPiecesOf64()
    {
        EmulatorFixture f;
        QVERIFY(f.start());
        auto wire = std::make_unique<RecordingTty>(realClock());
        auto writes = wire->writeSizes;
        auto reads = wire->readSizes;
        UsbConnection link(realClock(), UsbConnection::Options {}, std::move(wire));
        QVERIFY(link.openComPort(f.link(), false));
        Bytes block(130);
        for (size_t i = 0; i < block.size(); ++i)
            block[i] = uint8_t(0x20 + i % 64); // no byte the device takes for a command it answers
        QVERIFY(link.write(block.data(), int(block.size())));
        QCOMPARE(*writes, (std::vector<int> {64, 64, 2}));
        QVERIFY(f.emulator->waitForCommand(0x20 + 129 % 64, 2, 2000));
        QCOMPARE(f.bytes('<'), block);

        // A reply read with the standing time-out asks for at most 64 bytes a call.
        reads->clear();
        uint8_t scratch[130];
        link.read(scratch, 130);
        QVERIFY(!reads->empty());
        for (int n : *reads)
            QVERIFY(n <= 64);
    }

    void lateEchoIsDrainedByTheNextCaller()
    {
        Road r;
        QVERIFY(r.open());
        r.f.emulator->withModel([](DeviceModel &m) { return m.setFault("late-echo", true, Cmd::DeviceInfo); });
        QVERIFY(!r.link->sendCommand(Cmd::DeviceInfo, false));
        // The late echo and the record behind it are swallowed by a drain ...
        QThread::msleep(300);
        r.link->purge();
        // ... and the next command is answered cleanly.
        QVERIFY(r.link->sendCommand(Cmd::StatusShort, false));
        uint8_t status = 0;
        QVERIFY(r.link->read(&status, 1));
        QCOMPARE(int(status), 1);
    }

    void closeAndReopen()
    {
        Road r;
        QVERIFY(r.open());
        r.link->close();
        QVERIFY(!r.link->isOpen());
        QVERIFY(!r.link->sendCommand(Cmd::Probe, false));
        QVERIFY(!r.link->purge());
        r.link->close(); // closing a closed link does nothing
        QVERIFY(!r.link->onFtdiRoad()); // the road stays until the next open says otherwise
        QVERIFY(r.link->openComPort(r.f.link(), false));
        QVERIFY(r.link->sendCommand(Cmd::Probe, false));
        // While it is open, the line is ours alone, and a second open says why it cannot have it.
        UsbConnection second(realClock());
        QVERIFY(!second.openComPort(r.f.link(), false));
        QCOMPARE(second.lastRefusal(), OpenRefusal::Busy);
        QVERIFY(second.onFtdiRoad()); // a failed open selects no terminal
        // Once closed, the claim is gone for anyone (the pty's other side stays open meanwhile).
        r.link->close();
        QVERIFY2(second.openComPort(r.f.link(), false), second.lastError().c_str());
        QCOMPARE(second.lastRefusal(), OpenRefusal::None);
    }

    void unpluggedDeviceFailsAtOnce()
    {
        Road r;
        QVERIFY(r.open());
        r.f.emulator->unplug();
        QElapsedTimer timer;
        timer.start();
        QVERIFY(!r.link->sendCommand(Cmd::Probe, false));
        uint8_t b;
        QVERIFY(!r.link->read(&b, 1));
        QVERIFY2(timer.elapsed() < 900, "a hung-up line does not wait out its time-outs");
        r.link->close();
        QVERIFY(!r.link->openComPort(r.f.link(), false));
        QVERIFY(r.f.emulator->plug());
        QVERIFY(r.link->openComPort(r.f.link(), false));
        QVERIFY(r.link->sendCommand(Cmd::Probe, false));
    }

    void refusesWhatIsNotATerminal_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("why"); // what lastError() ends with
        const QString notTerminal = ": not a terminal device";
        QTest::newRow("regular file") << "file" << notTerminal;
        QTest::newRow("symlink to a regular file") << "symlink" << notTerminal;
        QTest::newRow("directory") << "directory" << notTerminal;
        QTest::newRow("fifo") << "fifo" << notTerminal;
        QTest::newRow("character device that is no terminal") << "null" << notTerminal;
        QTest::newRow("missing path") << "missing" << ": stat: No such file or directory";
        QTest::newRow("empty path") << "empty" << ": no device path";
        QTest::newRow("very long path") << "long" << ": cannot be opened: File name too long";
    }

    void refusesWhatIsNotATerminal()
    {
        QFETCH(QString, kind);
        QFETCH(QString, why);
        QTemporaryDir dir;
        const QString file = dir.filePath("firmware.bin");
        const QByteArray content("precious content\n");
        {
            QFile out(file);
            QVERIFY(out.open(QIODevice::WriteOnly));
            out.write(content);
        }
        const QDateTime modified = QFileInfo(file).lastModified();
        QString path;
        if (kind == "file") path = file;
        else if (kind == "symlink") { path = dir.filePath("link"); QVERIFY(QFile::link(file, path)); }
        else if (kind == "directory") path = dir.path();
        else if (kind == "fifo") { path = dir.filePath("fifo"); QCOMPARE(mkfifo(path.toLocal8Bit(), 0600), 0); }
        else if (kind == "null") path = "/dev/null";
        else if (kind == "missing") path = dir.filePath("nothing");
        else if (kind == "long") path = QString(10000, QLatin1Char('a'));

        auto link = std::make_unique<UsbConnection>(realClock());
        QElapsedTimer timer;
        timer.start();
        QVERIFY(!link->openComPort(path.toStdString(), false));
        QVERIFY(timer.elapsed() < 1000);
        QVERIFY(!link->isOpen());
        const uint8_t command = Cmd::Leave;
        QVERIFY(!link->write(&command, 1));
        QVERIFY2(QString::fromStdString(link->lastError()).endsWith(why), link->lastError().c_str());
        QFile in(file);
        QVERIFY(in.open(QIODevice::ReadOnly));
        QCOMPARE(in.readAll(), content);
        QCOMPARE(QFileInfo(file).lastModified(), modified);
    }

    void emptyTransfersFailWithoutTouchingTheLine()
    {
        Road r;
        QVERIFY(r.open());
        uint8_t buffer[4] = {};
        int received = -1;
        QVERIFY(!r.link->write(buffer, 0));
        QVERIFY(!r.link->write(nullptr, 4));
        QVERIFY(!r.link->read(buffer, 0, &received));
        QCOMPARE(received, 0);
        received = -1;
        QVERIFY(!r.link->readWithTimeout(nullptr, 2, &received, 100));
        QCOMPARE(received, 0);
        QThread::msleep(50);
        QVERIFY(r.f.emulator->trace().empty());
    }
};

QTEST_GUILESS_MAIN(TestTtyRoad)
#include "test_tty_road.moc"
