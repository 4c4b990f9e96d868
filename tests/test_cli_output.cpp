// mova-update, alone or as a batch, whose output nobody takes: standard descriptors closed
// by its starter, a pipe nobody reads, a limit of open files too low for all its devices at
// once. None of it may hold the device's clock, or cost a device its update.
#include "cli_run.h"
#include "table_rows.h"

#include <QtTest>
#include <fcntl.h>
#include <unistd.h>

// How many devices, and the shell words that start mova-update.
struct OutputRow { const char *name; int devices; QString shell; };

class TestCliOutput : public QObject, private CliFixture {
    Q_OBJECT
private slots:
    void init() { prepare(); }
    // Three groups of one table, so that they run side by side.
    void closedDescriptors_data() { rows("closed"); }
    void closedDescriptors() { outputNobodyTakes(); }
    void stalledOutput_data() { rows("stalled"); }
    void stalledOutput() { outputNobodyTakes(); }
    void descriptorLimit_data() { rows("limit"); }
    void descriptorLimit() { outputNobodyTakes(); }

private:
    static void rows(const QString &group)
    {
        // How the program is started ("$0" "$@" is mova-update and its words); $STALLED is a pipe of
        // one page that nobody reads until the devices are done.
        const QString closed = R"(exec "$0" "$@" <&- >&- 2>&-)", stalled = R"(exec "$0" "$@" >&$STALLED 2>&1)";
        if (group == "closed")
            addRows<OutputRow>({{"one device, all three standard descriptors closed, a warning mid-verify", 1, closed},
                                {"a batch of two, all three closed", 2, closed}});
        else if (group == "stalled") // the byte trace on standard error fills the pipe within the first stages
            addRows<OutputRow>({{"one device, --json and its trace into a pipe nobody reads", 1, stalled},
                                {"a batch of two, --json and their traces into a pipe nobody reads", 2, stalled}});
        else // without turns, the workers beyond the limit could not get their pipes and were refused
            addRows<OutputRow>({{"a batch of two within a limit of 18 open files: each in its turn", 2,
                                 R"(ulimit -n 18 && exec "$0" "$@")"}});
    }
    void outputNobodyTakes()
    {
        QFETCH(OutputRow, row);
        const int devices = row.devices;
        const bool stalled = row.shell.contains("$STALLED");
        std::vector<std::unique_ptr<PtyEmulator>> emulators;
        QStringList arguments {"-c", row.shell, MOVA_UPDATE, "--yes", "--firmware", QString::fromStdString(firmware), "--table",
                               QString::fromStdString(table)};
        if (stalled)
            arguments << "--json" << "--trace";
        for (int i = 0; i < devices; ++i) {
            PtyEmulator::Options options;
            options.device = quickDevice();
            options.link = f.path(("dev" + std::to_string(i)).c_str());
            options.device.identity.serial = "050" + std::to_string(i);
            options.resetDowntimeMs = QuickDowntimeMs;
            emulators.push_back(std::make_unique<PtyEmulator>(options));
            QVERIFY(emulators.back()->start());
            // A warning mid-verify: a program whose standard error had become a signal pipe stopped itself.
            emulators.back()->withModel([](DeviceModel &m) { return m.setFault("readback-bad-xor", true, 1); });
            arguments << "--port" << QString::fromStdString(options.link);
        }
        arguments << "update";
        int pipeEnds[2] = {-1, -1};
        QProcess p;
        if (stalled) { // a page of room: the old blocking writes stopped the run within its first stages
            QVERIFY(::pipe(pipeEnds) == 0 && ::fcntl(pipeEnds[1], F_SETPIPE_SZ, 4096) >= 0);
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("STALLED", QString::number(pipeEnds[1]));
            p.setProcessEnvironment(env);
        }
        p.start("/bin/bash", arguments); // bash: the pipe's descriptor number may have two digits
        p.closeWriteChannel();
        if (stalled)
            ::close(pipeEnds[1]);
        auto allDone = [&] {
            return std::all_of(emulators.begin(), emulators.end(), [](const auto &e) {
                return e->withModel([](DeviceModel &m) { return m.updateConfirmed() && !m.table().empty(); });
            });
        };
        // Nobody reads the pipe until every device has its firmware and table.
        QTRY_VERIFY_WITH_TIMEOUT(allDone() || p.state() == QProcess::NotRunning, 90'000);
        QByteArray out;
        if (stalled) {
            char buffer[65536];
            for (ssize_t n; (n = ::read(pipeEnds[0], buffer, sizeof buffer)) != 0;)
                if (n > 0)
                    out.append(buffer, n);
                else if (errno != EINTR)
                    break;
            ::close(pipeEnds[0]);
        }
        QVERIFY(p.state() == QProcess::NotRunning || p.waitForFinished(30'000));
        const QByteArray said = out + p.readAllStandardOutput() + p.readAllStandardError();
        QVERIFY2(p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0,
                 qPrintable(QString("exit %1\n").arg(p.exitCode()) + said.right(2000)));
        for (int i = 0; i < devices; ++i)
            QCOMPARE(emulators[i]->withModel([](DeviceModel &m) { return m.image(); }),
                     updatedImage("050" + std::to_string(i)));
        if (stalled) // what mattered came through, in order, once the reader moved
            QVERIFY2(out.indexOf("\"event\":\"plan\"") >= 0 && out.indexOf("\"event\":\"result\",\"ok\":true") >
                                                                    out.indexOf("\"event\":\"plan\""),
                     out.right(2000).constData());
    }
};

QTEST_GUILESS_MAIN(TestCliOutput)
#include "test_cli_output.moc"
