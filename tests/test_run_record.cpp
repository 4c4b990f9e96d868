// The record of every update run: what one run leaves behind, how the file is kept in
// bounds, that a record which cannot be kept never changes the run, and the command line's
// history of it.
#include "cli_log.h"
#include "kept_traces.h"
#include "protocol.h"
#include "run_record.h"
#include "trace.h"
#include "table_rows.h"
#include "record_store.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QtTest>
#include <fcntl.h>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

namespace {

// The run's trace beside its record: a failed run's moved where the next run's cannot
// overwrite it, named by its record and its run's id; a successful one's is the last trace.
void checkTrace(const QJsonObject &o, const std::string &folder, bool failed, bool stalled)
{
    QVERIFY(isRunId(o["run"].toString().toStdString()));
    QCOMPARE(o["trace"].isString(), failed);
    const std::string trace = failed ? folder + "/" + o["trace"].toString().toStdString() : folder + "/last-trace.log";
    QVERIFY(!failed || o["trace"].toString().endsWith("-" + o["run"].toString() + ".log"));
    const QByteArray bytes = fileBytes(trace);
    QVERIFY(bytes.startsWith("# mova-update ") && bytes.contains(", run " + o["run"].toString().toUtf8() + " started "));
    QVERIFY(bytes.contains(" tty  > 51\n")); // the erase command went out
    QCOMPARE(o.contains("trace_lines_lost"), stalled);
    int lost = 0; // each gap says how many lines it lost, and all of them the record
    for (const auto &m : QRegularExpression("\n# (\\d+) trace lines lost here: the trace file did not take them in time\n")
                             .globalMatch(QString::fromLatin1(bytes)))
        lost += m.captured(1).toInt();
    QCOMPARE(lost, o["trace_lines_lost"].toInt());
    QCOMPARE(QDir(QString::fromStdString(folder)).entryList({"trace-*"}, QDir::Files), QStringList()); // none left
}

} // namespace

// A failed run's trace is kept, and the oldest kept go by whichever bound is reached first;
// what is not one of its own names (a file, a link to outside) is never touched.
struct BoundRow { const char *name; int maxCount; long long maxBytes; int oldLeft; };
Q_DECLARE_METATYPE(BoundRow)

// A device of a batch is updated only when its worker said, as data, that the device took
// its firmware and table; silence, a skip or a death is never taken for success.
struct WorkerRow {
    const char *name;
    WorkerEnd end;
    Outcome outcome;
};
Q_DECLARE_METATYPE(WorkerRow)

// The failures a run's transfer can end in are rows of the update run's failure tables; here
// the rest, from what the run reports as data.
struct ResultRow {
    const char *name;
    RunFailure failure;
    bool confirmed, tableSent;
    RunFailure tableFailure;
    Outcome outcome;
};
Q_DECLARE_METATYPE(ResultRow)

class TestRunRecord : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        // Nothing here may reach the account's own history.
        qputenv("XDG_STATE_HOME", home.path().toUtf8());
        qputenv("TZ", "XYZ-1"); // the history shows local time: one hour east of UTC here
    }
    void oneLineARun_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("reached");
        QTest::addColumn<QString>("ended"); // what the record and the history say the run came to
        QTest::newRow("updated") << "" << TableSuccess << "updated" << 0 << "done" << TableSuccess;
        // The disk of the record stalls thrice for 8 s during the transfer: the device never waits
        // for it; the trace loses lines instead, and says so, as the record does.
        QTest::newRow("the trace's disk stalls") << "stalled disk" << TableSuccess << "updated" << 0 << "done" << TableSuccess;
        // The firmware's success is still said after it, as the window says it; the table's failure is the end.
        QTest::newRow("table refused") << "refuse-language" << QString::fromStdString(messageText(MessageId::FirmwareSentStandardMontage))
                                       << "table not sent" << 9 << "table" << "Error by senden Language.5";
    }
    void oneLineARun()
    {
        QFETCH(QString, fault);
        QFETCH(QString, message);
        QFETCH(QString, outcome);
        QFETCH(int, exitCode);
        QFETCH(QString, reached);
        QFETCH(QString, ended);
        UpdateRig rig;
        QVERIFY(rig.connect());
        const bool stalled = fault == "stalled disk";
        rig.usePayloads(hexText(imageBytes(stalled ? 96 << 10 : 1200)), "LANG" + QByteArray(100, 'x'));
        if (!fault.isEmpty() && !stalled)
            QVERIFY(rig.device.model().setFault(fault.toStdString(), true, -1));
        Store s;
        int64_t startMs = 0;
        std::optional<StalledDisk> disk;
        if (stalled)
            disk.emplace(rig.clock);
        recordedRun(rig, s.store, &startMs, [&] {
            if (disk)
                disk->release();
        });
        QCOMPARE(rig.screen.messages.back(), message.toStdString()); // the screen saw it
        // The device's pace never waits for the record's disk: the longest it heard nothing from
        // the host is the erase's, however long the disk stalled.
        QVERIFY2(longestHostPause(rig) < 8000, qPrintable(QString::number(longestHostPause(rig))));

        const QList<QByteArray> lines = fileBytes(s.store.runsPath()).split('\n');
        QCOMPARE(lines.size(), 2); // one line, ended
        QJsonParseError error;
        const QJsonObject o = QJsonDocument::fromJson(lines[0], &error).object();
        QVERIFY2(error.error == QJsonParseError::NoError, lines[0].constData());
        QCOMPARE(o["outcome"].toString(), outcome);
        QCOMPARE(o["exit"].toInt(), exitCode);
        QCOMPARE(o["stage_reached"].toString(), reached);
        QCOMPARE(o["text"].toString(), ended);
        const QString summary = QString::fromStdString(runSummary(lines[0]));
        const QString end = QRegularExpression::escape("0042  " + QString::fromStdString(UpdateRig::DevicePath) + "  " +
                                                       outcome + "  fw " + QString::number(o["device"]["firmware_version"].toInt()) +
                                                       " -> " + (o.contains("firmware_after") ? QString::number(o["firmware_after"].toInt()) : "-"));
        // Then how long it took, and what it came to.
        QVERIFY2(QRegularExpression(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \+0100  )" + end + R"(  \d+(\.\d)? s  )" +
                                    QRegularExpression::escape(ended) + "$")
                     .match(summary)
                     .hasMatch(),
                 qPrintable(summary));
        QCOMPARE(o["port"].toString(), QString::fromStdString(UpdateRig::DevicePath));
        QCOMPARE(o["firmware"].toString(), QString::fromStdString(rig.payloads.firmware));
        // Each stage when it began on the run's clock, the last thing said, and the run's end.
        const QDateTime start = when(o["start"]);
        QStringList names;
        for (const QJsonValue &stage : o["stages"].toArray()) {
            const QString name = stage["name"].toString();
            names << name;
            QCOMPARE(start.msecsTo(when(stage["at"])), rig.screen.captionAt[name.toStdString()] - startMs);
        }
        QCOMPARE(names, (QStringList {"Reset...", "Memory prepare - clear", "Send update", "Verify update", "Connect...",
                                      "Send languages"}));
        QCOMPARE(o["messages"].toArray().last()["text"].toString(), message);
        QCOMPARE(start.msecsTo(when(o["end"])), rig.clock.nowMs() - startMs);
        // The bytes of the run beside it, though the trace is off; and off again afterwards.
        QVERIFY(!Trace::enabled() && !Trace::recording());
        checkTrace(o, s.store.folder, exitCode != 0, stalled);
        QVERIFY(s.errors.str().empty());
    }
    void aRunReachesTheJournal()
    {
        if (!QFileInfo::exists("/run/systemd/journal/socket"))
            QSKIP("no journal runs on this machine");
        JournalEntry entry;
        entry.program = "test_run_record";
        entry.port = "/dev/ttyUSB7";
        entry.identified = true;
        entry.serial = std::string("\x1b[2J", 4);
        entry.firmwareBefore = 68, entry.firmwareAfter = FirmwareAfter {69, true};
        entry.outcome = Outcome::Updated;
        entry.batch = "test-" + std::to_string(::getpid()) + "-" + std::to_string(QDateTime::currentMSecsSinceEpoch());
        QVERIFY(sendToJournal(entry));
        sd_journal *j = nullptr;
        QCOMPARE(sd_journal_open(&j, SD_JOURNAL_LOCAL_ONLY), 0);
        const std::string match = "MOVA_BATCH=" + entry.batch;
        QCOMPARE(sd_journal_add_match(j, match.data(), match.size()), 0);
        bool found = false;
        for (int tries = 0; tries < 50 && !found; ++tries) // journald files it within moments
            found = sd_journal_next(j) > 0 || (sd_journal_wait(j, 100000), sd_journal_next(j) > 0);
        std::string serial, after;
        const void *data;
        size_t length;
        if (found && sd_journal_get_data(j, "MOVA_SERIAL", &data, &length) == 0)
            serial.assign(static_cast<const char *>(data), length);
        if (found && sd_journal_get_data(j, "MOVA_FIRMWARE_AFTER", &data, &length) == 0)
            after.assign(static_cast<const char *>(data), length);
        sd_journal_flush_matches(j);
        const bool readable = sd_journal_seek_tail(j) == 0 && sd_journal_previous(j) > 0;
        sd_journal_close(j);
        if (!found && !readable)
            QSKIP("this account may not read the system journal");
        QVERIFY(found);
        QCOMPARE(serial, std::string("MOVA_SERIAL=\\x1b[2J")); // one line, shown safely
        QCOMPARE(after, std::string("MOVA_FIRMWARE_AFTER=69"));
    }
    void rotatesAtTheLimit()
    {
        Store s;
        s.store.rotateAtBytes = 24; // three lines of eight bytes
        for (int n = 1; n <= 7; ++n)
            QVERIFY(s.store.append("{\"n\":" + std::to_string(n) + "}"));
        QCOMPARE(fileBytes(s.store.runsPath() + ".1"), QByteArray("{\"n\":4}\n{\"n\":5}\n{\"n\":6}\n"));
        QCOMPARE(fileBytes(s.store.runsPath()), QByteArray("{\"n\":7}\n"));
        // A lock another writer never lets go delays the line for a while, and never loses it.
        const int holder = ::open((s.store.folder + "/runs.lock").c_str(), O_RDWR | O_CLOEXEC);
        QVERIFY(holder >= 0 && ::flock(holder, LOCK_EX) == 0);
        QVERIFY(s.store.append("{\"n\":8}"));
        ::close(holder);
        QCOMPARE(fileBytes(s.store.runsPath()), QByteArray("{\"n\":7}\n{\"n\":8}\n"));
    }
    void aRecordThatCannotBeKept_data()
    {
        QTest::addColumn<QString>("why");
        QTest::addColumn<QString>("reason");
        QTest::newRow("a file where the folder goes") << "file" << "Not a directory";
        // Put there by someone else: refused at once, never waited on, followed or emptied.
        QTest::newRow("links to another file") << "links" << "a symbolic link, not followed";
        QTest::newRow("a FIFO for the record") << "runs.jsonl" << "not a regular file";
        QTest::newRow("a FIFO for the lock") << "runs.lock" << "not a regular file";
        QTest::newRow("read-only folder") << "read-only" << "Permission denied";
    }
    void aRecordThatCannotBeKept()
    {
        QFETCH(QString, why);
        QFETCH(QString, reason);
        Store s;
        const QString folder = QString::fromStdString(s.store.folder);
        if (why == "file") {
            writeFile(s.dir.filePath("state"), {});
        } else {
            QVERIFY(QDir().mkpath(folder));
            if (why == "links") {
                QFile other(s.dir.filePath("other"));
                QVERIFY(other.open(QIODevice::WriteOnly) && other.write("kept\n") == 5);
                QVERIFY(QFile::link(other.fileName(), QString::fromStdString(s.store.runsPath())));
                QVERIFY(QFile::link(other.fileName(), folder + "/last-trace.log")); // replaced, never written through
            } else if (why.contains('.')) {
                QCOMPARE(::mkfifo((s.store.folder + "/" + why.toStdString()).c_str(), 0600), 0);
            } else {
                if (geteuid() == 0)
                    QSKIP("root writes whatever the permissions say");
                QCOMPARE(::chmod(folder.toLocal8Bit().constData(), 0500), 0);
            }
        }
        UpdateRig rig;
        QVERIFY(rig.connect());
        rig.usePayloads(hexText(imageBytes(1200)), "LANG" + QByteArray(100, 'x'));
        const RunResult result = recordedRun(rig, s.store);
        ::chmod(folder.toLocal8Bit().constData(), 0700);
        QVERIFY(result.firmwareConfirmed && result.tableSent);
        QCOMPARE(rig.screen.messages, std::vector<std::string> {TableSuccess});
        // Said once, though both the trace and the line failed; a later run says nothing more.
        RunRecord later(rig.clock, rig.session, rig.payloads, s.store);
        later.begin();
        later.result({Outcome::NotConnected, "No connection"});
        FileWriter::drain();
        const QString said = QString::fromStdString(s.errors.str());
        QVERIFY2(said.startsWith("mova-update: cannot keep the run record in " + folder + ": ") && said.count('\n') == 1 &&
                     said.trimmed().endsWith(reason),
                 qPrintable(said));
        if (why == "links")
            QCOMPARE(fileBytes(s.dir.filePath("other").toStdString()), QByteArray("kept\n"));
        if (why == "links" || why == "runs.jsonl") { // nor is the history read through them
            std::vector<QByteArray> runs;
            std::string error;
            QVERIFY(!readRuns(s.store, 9, runs, error) && QString::fromStdString(error).endsWith(reason));
        }
    }
    void theTraceLeavesTheRecordItsRoom()
    {
        // A disk with two checks' worth of room above what the record keeps: the trace stops
        // there and says why, whatever its own limit.
        Store s;
        QVERIFY(QDir().mkpath(QString::fromStdString(s.store.folder)));
        const auto systemFigure = Trace::freeSpace;
        Trace::freeSpace = [](int fd) {
            struct stat st {};
            ::fstat(fd, &st);
            return Trace::KeepFreeBytes + 2 * Trace::SpaceCheckEveryBytes - st.st_size;
        };
        const std::string path = s.store.tracePath(newRunId());
        Trace::recordTo(path, s.store.traceCapBytes, "# run", {});
        UpdateRig rig;
        const std::vector<uint8_t> block(1024, 0x55);
        for (int i = 0; i < 1000 && Trace::recording(); ++i)
            Trace::bytes(rig.clock, "tty", '>', block.data(), int(block.size()));
        FileWriter::drain();
        Trace::freeSpace = systemFigure;
        QVERIFY(!Trace::recording());
        Trace::stopRecording();
        FileWriter::drain();
        const QByteArray trace = fileBytes(path);
        QVERIFY2(trace.size() > Trace::SpaceCheckEveryBytes && trace.size() < 3 * Trace::SpaceCheckEveryBytes,
                 qPrintable(QString::number(trace.size())));
        QVERIFY(trace.endsWith(" bytes are kept for the run record; the rest of the run is not kept\n"));
    }
    void keptTracesStayInBounds_data()
    {
        addRows<BoundRow>({{"count", 2, 1 << 30, 1}, {"size", 64, 2500, 2}});
    }
    void keptTracesStayInBounds()
    {
        QFETCH(BoundRow, row);
        Store s;
        s.store.keptTracesMax = row.maxCount, s.store.keptTracesMaxBytes = row.maxBytes;
        const QString kept = QString::fromStdString(s.store.folder) + "/failed-traces/";
        QVERIFY(QDir().mkpath(kept));
        QStringList old;
        for (int i = 0; i < 4; ++i) {
            old << QString("20200101T00000%1Z-0A0B0C0D-1.log").arg(i);
            QFile file(kept + old.back());
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(QByteArray(1000, 'x')) == 1000);
        }
        QFile outside(s.dir.filePath("outside"));
        QVERIFY(outside.open(QIODevice::WriteOnly) && outside.write(QByteArray(5000, 'o')) == 5000);
        outside.close();
        QVERIFY(QFile::link(outside.fileName(), kept + "20100101T000000Z-unknown-0.log"));
        QVERIFY(QFile(kept + "notes.txt").open(QIODevice::WriteOnly));

        UpdateRig rig;
        RunRecord record(rig.clock, rig.session, rig.payloads, s.store);
        record.begin();
        record.result({Outcome::NotConnected, "No connection"});
        FileWriter::drain();
        const QJsonObject o = QJsonDocument::fromJson(fileBytes(s.store.runsPath())).object();
        const QString trace = o["trace"].toString();
        QCOMPARE(trace, "failed-traces/" + QString::fromStdString(keptTraceName(when(o["end"]), "", record.runId())));
        QVERIFY(fileBytes((s.store.folder + "/" + trace.toStdString())).startsWith("# mova-update"));
        QVERIFY(!QFile::exists(QString::fromStdString(s.store.tracePath(record.runId()))));
        QStringList left = old.mid(old.size() - row.oldLeft);
        left << "20100101T000000Z-unknown-0.log" << "notes.txt" << trace.mid(14);
        left.sort();
        QCOMPARE(QDir(kept).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name), left);
        QCOMPARE(QFileInfo(outside.fileName()).size(), 5000);
        QVERIFY(s.errors.str().empty());
    }
    void aBatchCountsOnlyWhatItsWorkerSaid_data()
    {
        using O = Outcome;
        // identified, writing, has a result, said, confirmed, table sent, exited normally, exit code
        addRows<WorkerRow>({
            {"updated", {true, true, true, O::Updated, true, true, true, 0}, O::Updated},
            {"never said who, exit 0", {false, false, false, O::Updated, false, false, true, 0}, O::Unidentified},
            {"no result, exit 0", {true, true, false, O::Updated, false, false, true, 0}, O::WorkerLost},
            {"killed", {true, true, false, O::Updated, false, false, false, 9}, O::WorkerLost},
            {"no word to go on", {true, false, true, O::Skipped, false, false, true, 14}, O::Skipped},
            {"ok without a confirmed firmware", {true, true, true, O::Updated, false, false, true, 0}, O::Internal},
            {"ok, then crashed", {true, true, true, O::Updated, true, true, false, 0}, O::Internal},
        });
    }
    void aBatchCountsOnlyWhatItsWorkerSaid()
    {
        QFETCH(WorkerRow, row);
        QCOMPARE(workerOutcome(row.end), row.outcome);
    }
    void aRunCountsOnlyWhatItConfirmed_data()
    {
        using F = RunFailure;
        using O = Outcome;
        addRows<ResultRow>({
            {"updated", F::None, true, true, F::None, O::Updated},
            {"table not sent", F::None, true, false, F::TransferFailed, O::TableNotSent},
            {"table stopped", F::None, true, false, F::Stopped, O::Stopped},
            {"neither failed nor confirmed", F::None, false, false, F::None, O::Internal},
            {"not connected", F::NotConnected, false, false, F::None, O::NotConnected},
            {"declined", F::Declined, false, false, F::None, O::Declined},
            {"battery low", F::LowBattery, false, false, F::None, O::LowBattery},
            {"payload invalid", F::PayloadInvalid, false, false, F::None, O::PayloadInvalid},
        });
    }
    void aRunCountsOnlyWhatItConfirmed()
    {
        QFETCH(ResultRow, row);
        RunResult result;
        result.failure = row.failure, result.tableFailure = row.tableFailure;
        result.firmwareConfirmed = row.confirmed, result.tableSent = row.tableSent;
        QCOMPARE(outcomeOf(result), row.outcome);
    }
    void aBatchSaysItsWorst_data()
    {
        QTest::addColumn<QList<int>>("outcomes");
        QTest::addColumn<int>("worst");
        QTest::newRow("no device") << QList<int> {} << 0;
        QTest::newRow("all updated") << QList<int> {0, 0} << 0;
        QTest::newRow("all already current") << QList<int> {18, 18} << 18;
        QTest::newRow("updated and already current") << QList<int> {18, 0} << 0;
        // Judged by what it leaves on the device: stopped halfway first, nothing sent last. Each
        // outcome against all those after it, given in the reverse order and among updated ones.
        const QList<int> worstFirst {10, 16, 17, 11, 5, 4, 3, 9, 13, 15, 14, 2, 12, 8, 7, 6, 1, 130};
        for (qsizetype i = 0; i < worstFirst.size(); ++i) {
            QList<int> rest = worstFirst.mid(i);
            std::reverse(rest.begin(), rest.end());
            rest.append(0), rest.append(18); // every failure before both successes
            QTest::addRow("%d before the rest", worstFirst[i]) << rest << worstFirst[i];
        }
    }
    void aBatchSaysItsWorst()
    {
        QFETCH(QList<int>, outcomes);
        QFETCH(int, worst);
        std::vector<Outcome> all;
        for (int o : outcomes)
            all.push_back(Outcome(o));
        QCOMPARE(int(worstOutcome(all)), worst);
    }
private:
    QTemporaryDir home;
};

QTEST_GUILESS_MAIN(TestRunRecord)
#include "test_run_record.moc"
