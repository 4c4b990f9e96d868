// `mova-update log --export`: the support bundle as the system's tar reads it, from a record
// folder that holds more than the bundle may take (a link and a FIFO in traces' places, a
// file of another name), and the files it must not leave behind when it cannot be written.
#include "run_journal.h"
#include "table_rows.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Said {
    int exitCode = -1;
    QByteArray out, err;
};

// Runs a program with `environment` (NAME=VALUE) on top of ours and `input` on its standard input.
Said run(const QString &program, const QStringList &arguments, const QStringList &environment = {},
         const QByteArray &input = {})
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString &e : environment)
        env.insert(e.section('=', 0, 0), e.section('=', 1));
    p.setProcessEnvironment(env);
    p.start(program, arguments);
    p.write(input);
    p.closeWriteChannel();
    if (!p.waitForFinished(20'000)) {
        p.kill();
        p.waitForFinished();
    }
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput(),
            p.readAllStandardError()};
}

// The fourth run failed and its record names its kept trace; the second names a file that is
// no kept trace.
const QByteArray KeptTrace = "failed-traces/20261208T052014Z-30333033-2.log";
QByteArray record(int n)
{
    const QByteArray trace = n == 4 ? KeptTrace : n == 2 ? QByteArray("failed-traces/../notes.txt") : QByteArray();
    return QByteArrayLiteral("{\"end\":\"2026-12-08T05:20:1") + QByteArray::number(n) + "Z\",\"n\":" +
           QByteArray::number(n) + (trace.isEmpty() ? "" : ",\"trace\":\"" + trace + "\"") + "}\n";
}

// A run of the record as `log` reads it: its number, end (UTC), serial and outcome.
QByteArray fullRecord(int n, const char *end, const char *serial, const char *hex, const char *outcome)
{
    return QByteArray("{\"n\":") + QByteArray::number(n) + ",\"start\":\"" + end + "\",\"end\":\"" + end +
           "\",\"device\":{\"serial\":\"" + serial + "\",\"serial_hex\":\"" + hex + "\",\"firmware_version\":68}," +
           "\"port\":\"/dev/ttyUSB0\",\"outcome\":\"" + outcome + "\"}\n";
}
const QByteArray Filtered[] = {
    fullRecord(1, "2026-12-08T10:00:00.000Z", "0042", "30303432", "updated"),
    fullRecord(2, "2026-12-09T08:00:00.000Z", "\\\\x1b7", "1B37", "device refused"),
    fullRecord(3, "2026-12-09T15:30:00.000Z", "0042", "30303432", "already current"),
    fullRecord(4, "2026-12-09T23:30:00.000Z", "0099", "30303939", "battery low"),
};

// `log`'s filters over the runs above, this machine one hour east of UTC: the runs shown (by
// their numbers, newest first), or with --export those the bundle holds (oldest first).
struct FilterRow { const char *name; QStringList options; QList<int> runs; };

// A station's runs as systemd-journal-remote takes them on its standard input, in the journal's
// export format: each run at `atMinute` minutes past a time, from the host, with the outcome
// and serial; several stations' runs as a collector gets them, one station after another.
QByteArray exported(const char *host, int atMinute, const std::string &serial, Outcome outcome)
{
    JournalEntry e;
    e.program = "mova-update", e.port = "/dev/ttyUSB1", e.identified = true, e.serial = serial;
    e.firmwareBefore = 68, e.firmwareAfter = FirmwareAfter {69, true}, e.outcome = outcome, e.durationMs = 83250;
    e.mayBeWithoutFirmware = outcome == Outcome::DeviceRefused; // a block refused halfway
    QByteArray entry = "__REALTIME_TIMESTAMP=" + QByteArray::number(1796821200000000LL + atMinute * 60000000LL) +
                       "\n__MONOTONIC_TIMESTAMP=" + QByteArray::number(atMinute + 1) +
                       "\n_BOOT_ID=7d0a1cfe2b6a4c4f9a2d6f0c0c1e5b11\n_HOSTNAME=" + host + "\n";
    for (const std::string &field : e.fields())
        entry += QByteArray::fromStdString(field) + "\n";
    return entry + "\n";
}

// `log --journal-dir` options, the hosts of the runs shown in order, the exit status, and what
// standard error says (or the output holds).
struct JournalRow { const char *name; QStringList options; QStringList hosts; int exitCode; QByteArray says; };

// Options of the export, where it goes (FILE in a fresh folder, or what is there already), its
// exit status, and mova-support/runs.jsonl in the bundle (or what standard error says).
struct BundleRow { const char *name; QStringList options; QString target; int exitCode; QByteArray runs; };

} // namespace

class TestSupportBundle : public QObject {
    Q_OBJECT
    QTemporaryDir state_;
    QString folder_;
    QByteArray trace_, batchTrace_;

    void write(const QString &name, const QByteArray &bytes)
    {
        QFile file(folder_ + "/" + name);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    }

private slots:
    void initTestCase()
    {
        // Runs 1..3 were moved aside (with a line cut short), 4 and 5 are in the current file.
        folder_ = state_.path() + "/mova-update";
        QVERIFY(QDir().mkpath(folder_));
        // A line far longer than a run's is left out unkept, and said.
        const QByteArray tooLong = "{\"n\":0,\"text\":\"" + QByteArray(1 << 20, 'x') + "\"}\n";
        write("runs.jsonl.1", record(1) + tooLong + record(2) + record(3) + "{\"cut\":");
        write("runs.jsonl", "\n" + record(4) + record(5));
        trace_ = QByteArray("# mova-update\n< 0x71\0\xff\r\n", 24);
        batchTrace_.resize(70'000);
        QRandomGenerator(7).fillRange(reinterpret_cast<quint32 *>(batchTrace_.data()), batchTrace_.size() / 4);
        write("last-trace.log", trace_);
        write("trace-0123456789abcdef.log", batchTrace_);
        write("notes.txt", "not for the bundle");
        QVERIFY(QDir().mkpath(folder_ + "/failed-traces"));
        write(KeptTrace, "# mova-update, a failed run\n");
        write("failed-traces/20261208T052013Z-30333033-2.log", "of a run no record names");
        // Neither is read: a link is not followed, a FIFO would hold the open.
        QVERIFY(QFile::link(folder_ + "/notes.txt", folder_ + "/trace-0123456789abcde3.log"));
        QCOMPARE(::mkfifo(QFile::encodeName(folder_ + "/trace-0123456789abcde4.log").constData(), 0600), 0);
        qputenv("XDG_STATE_HOME", state_.path().toLocal8Bit());
        qunsetenv("QTX_MOVA_NO_RECORD");
    }
    void exportsExactlyTheBundle_data()
    {
        addRows<BundleRow>({
            {"the last runs across both files", {}, "fresh", 0, record(1) + record(2) + record(3) + record(4) + record(5)},
            {"-n 4", {"-n", "4"}, "fresh", 0, record(2) + record(3) + record(4) + record(5)},
            {"-n 1 replaces an earlier bundle", {"-n", "1"}, "file", 0, record(5)},
            // The temporary file beside it is named within the folder's limit of 255 bytes.
            {"a name of 250 bytes", {"-n", "1"}, "long name", 0, record(5)},
            {"a .zip name: written all the same, and said", {"-n", "1"}, "zip name", 0, record(5)},
            {"a folder of that name is not", {}, "folder", 11, "not a regular file, not replaced"},
            {"a folder that does not exist: a usage error", {}, "missing folder", 1, "cannot write the support bundle: %1: no such folder\n"},
            {"a folder not writable", {}, "read-only folder", 11, "cannot make a file in %1: Permission denied"},
        });
    }
    void exportsExactlyTheBundle()
    {
        QFETCH(BundleRow, row);
        const QString &target = row.target;
        if (target == "read-only folder" && ::geteuid() == 0)
            QSKIP("root writes whatever the permissions say");
        QTemporaryDir out;
        const QString into = target == "missing folder" ? out.path() + "/gone" : out.path();
        const QString name = target == "long name" ? QString(243, 'b') + ".tar.gz"
                             : target == "zip name" ? "bundle.ZIP"
                                                    : "bundle.tar.gz";
        const QString file = into + "/" + name;
        if (target == "file")
            QVERIFY(QFile(file).open(QIODevice::WriteOnly));
        if (target == "folder")
            QVERIFY(QDir().mkpath(file));
        if (target == "read-only folder")
            QFile::setPermissions(into, QFile::ReadOwner | QFile::ExeOwner);

        const Said said = run(MOVA_UPDATE, QStringList {"log", "--export", file} + row.options);
        QFile::setPermissions(out.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QCOMPARE(said.exitCode, row.exitCode);
        if (row.exitCode != 0) {
            // Why, on standard error, and nothing left in the folder (no half-written bundle).
            const QString why = QString::fromUtf8(row.runs);
            QVERIFY2(said.err.contains((why.contains("%1") ? why.arg(into) : why).toUtf8()), said.err.constData());
            QVERIFY(said.out.isEmpty());
            QCOMPARE(QDir(out.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                     target == "folder" ? QStringList {"bundle.tar.gz"} : QStringList {});
            return;
        }
        QVERIFY2(said.out.startsWith("wrote " + file.toUtf8() + ": "), said.out.constData());
        QVERIFY2(said.err.contains("trace-0123456789abcde3.log: a symbolic link, not followed"), said.err.constData());
        QVERIFY2(said.err.contains("1 line of the record over 1 MiB left out"), said.err.constData());
        QCOMPARE(said.err.contains(": the bundle is a gzip tar (.tar.gz), not a zip archive\n"), target == "zip name");
        QCOMPARE(QDir(out.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList {name});
        // A real gzip-compressed tar, with exactly these members and bytes.
        const Said members = run("tar", {"-tzf", file});
        QCOMPARE(members.exitCode, 0);
        // A kept trace goes with its run only.
        const bool kept = row.runs.contains(record(4));
        QCOMPARE(members.out, "mova-support/runs.jsonl\nmova-support/traces/last-trace.log\n"
                              "mova-support/traces/trace-0123456789abcdef.log\n" +
                                  (kept ? "mova-support/traces/" + KeptTrace + "\n" : QByteArray()) +
                                  "mova-support/version.txt\nmova-support/list.txt\n");
        QVERIFY2(said.out.contains(kept ? "3 traces (last-trace.log, trace-0123456789abcdef.log and 1 of a failed run)"
                                        : "2 traces (last-trace.log and trace-0123456789abcdef.log)"),
                 said.out.constData());
        QVERIFY(members.err.isEmpty());
        for (const QByteArray &line : run("tar", {"-tvzf", file}).out.trimmed().split('\n'))
            QVERIFY2(line.startsWith("-rw-r--r-- root/root "), line.constData());
        auto member = [&](const char *name) { return run("tar", {"-xzOf", file, QString("mova-support/") + name}).out; };
        QCOMPARE(member("runs.jsonl"), row.runs);
        QCOMPARE(member("traces/last-trace.log"), trace_);
        QCOMPARE(member("traces/trace-0123456789abcdef.log"), batchTrace_);
        if (kept)
            QCOMPARE(member("traces/" + KeptTrace), QByteArray("# mova-update, a failed run\n"));
        QVERIFY(member("version.txt").startsWith(run(MOVA_UPDATE, {"--version"}).out + "\nbuild settings\n"));
        QCOMPARE(member("list.txt"), run(MOVA_UPDATE, {"list"}).out);
    }
    void logFilters_data()
    {
        addRows<FilterRow>({
            {"serial as shown", {"--serial", "0042"}, {3, 1}},
            {"serial's bytes in hex, any case", {"--serial", "1b37"}, {2}},
            {"since a local day", {"--since", "2026-12-09"}, {4, 3, 2}},
            {"until a local day, all of it", {"--until", "2026-12-09"}, {3, 2, 1}},
            {"since and until with offsets, to the minute", {"--since", "2026-12-09T08:00Z", "--until", "2026-12-09 16:30+01:00"}, {3, 2}},
            {"failed", {"--failed"}, {4, 2}},
            {"outcome with _ for its space", {"--outcome", "device_refused"}, {2}},
            {"filters together", {"--failed", "--since", "2026-12-09T10:00"}, {4}},
            {"-n counts what passes", {"--serial", "0042", "-n", "1"}, {3}},
            {"none passes", {"--outcome", "stopped"}, {}},
            {"export with a filter", {"--export", "bundle.tar.gz", "--failed"}, {2, 4}},
            // Something the record never writes in the moved-aside file's place hides no run.
            {"a link at runs.jsonl.1: left out, said", {"LINK"}, {4, 3, 2, 1}},
            {"a FIFO at runs.jsonl.1: left out, said", {"FIFO"}, {4, 3, 2, 1}},
        });
    }
    void logFilters()
    {
        QFETCH(FilterRow, row);
        QTemporaryDir state;
        QVERIFY(QDir().mkpath(state.path() + "/mova-update"));
        QFile runs(state.path() + "/mova-update/runs.jsonl");
        QVERIFY(runs.open(QIODevice::WriteOnly));
        for (const QByteArray &line : Filtered)
            runs.write(line);
        runs.close();
        QStringList options = row.options;
        const QString aside = state.path() + "/mova-update/runs.jsonl.1";
        const bool odd = options.removeOne("LINK") ? QFile::link(runs.fileName(), aside)
                         : options.removeOne("FIFO") && ::mkfifo(QFile::encodeName(aside).constData(), 0600) == 0;
        if (const qsizetype at = options.indexOf("bundle.tar.gz"); at >= 0)
            options[at] = state.filePath("bundle.tar.gz");
        const Said said = run(MOVA_UPDATE, QStringList {"log", "--json"} + options,
                              {"XDG_STATE_HOME=" + state.path(), "TZ=XYZ-1"});
        QCOMPARE(said.exitCode, 0);
        const QByteArray shown = options.contains("--export")
                                     ? run("tar", {"-xzOf", state.filePath("bundle.tar.gz"), "mova-support/runs.jsonl"}).out
                                     : said.out;
        QList<int> numbers;
        for (const QByteArray &line : shown.split('\n'))
            if (!line.isEmpty())
                numbers << QJsonDocument::fromJson(line).object()["n"].toInt();
        QCOMPARE(numbers, row.runs);
        QCOMPARE(said.err.contains("warning: " + aside.toUtf8() + ": "), odd);
        if (row.runs.isEmpty())
            QVERIFY2(said.err.contains("no runs that match recorded in"), said.err.constData());
    }
    // Three stations' runs gathered by the system's own collector into one journal file, read
    // back newest first whichever station each came from.
    void journalShowsEachStation_data()
    {
        addRows<JournalRow>({
            {"all, newest first", {}, {"beta", "gamma", "gamma", "alpha", "beta", "alpha"}, 0, ""},
            {"-n", {"-n", "2"}, {"beta", "gamma"}, 0, ""},
            {"a serial of unsafe bytes, by its hex", {"--serial", "1b5b324a"}, {"gamma"}, 0,
             "  gamma  \\x1b[2J  /dev/ttyUSB1  device refused, may be without working firmware  fw 68 -> 69  83 s\n"},
            {"failed, as JSON", {"--failed", "--json"}, {"gamma", "beta"}, 0,
             "\"serial_hex\":\"1B5B324A\",\"port\":\"/dev/ttyUSB1\",\"outcome\":\"device refused\",\"exit\":3,"
             "\"firmware_before\":68,\"firmware_after\":69,\"duration_s\":83.250,\"may_be_without_firmware\":true"},
            {"since", {"--since", "2026-12-09T13:36Z"}, {"beta", "gamma", "gamma"}, 0, ""},
            {"none passes", {"--outcome", "stopped"}, {}, 0, "no runs that match in"},
            {"a folder not there", {"DIR/gone"}, {}, 1, "/gone: No such file or directory"},
            {"a folder without a journal", {"EMPTY"}, {}, 1, ": no journal file in it"},
            // A file the journal cannot open is named, not read as no runs.
            {"a journal file cut short", {"CUT"}, {}, 11, "/cut.journal: not a journal that can be read"},
            {"a journal file of noise", {"NOISE"}, {}, 11, "/noise.journal: not a journal that can be read"},
        });
    }
    void journalShowsEachStation()
    {
        QFETCH(JournalRow, row);
        QTemporaryDir dir, empty;
        const QByteArray stations = exported("alpha", 20, "0042", Outcome::Updated) +
                                    exported("alpha", 35, "0043", Outcome::Updated) +
                                    exported("beta", 31, "0050", Outcome::NotConnected) +
                                    exported("beta", 50, "0051", Outcome::Updated) +
                                    exported("gamma", 40, "0060", Outcome::Updated) +
                                    exported("gamma", 45, std::string("\x1b[2J", 4), Outcome::DeviceRefused);
        const Said remote = run("/lib/systemd/systemd-journal-remote",
                                {"--split-mode=none", "-o", dir.filePath("remote.journal"), "-"}, {}, stations);
        QVERIFY2(remote.exitCode == 0, remote.err.constData());
        QStringList options = row.options;
        QString folder = dir.path();
        if (!options.isEmpty() && (options[0] == "EMPTY" || options[0].startsWith("DIR")))
            folder = options.takeFirst() == "EMPTY" ? empty.path() : dir.filePath("gone");
        if (const bool cut = options.removeOne("CUT"); cut || options.removeOne("NOISE")) { // alone in its folder
            QFile whole(dir.filePath("remote.journal"));
            QVERIFY(whole.open(QIODevice::ReadOnly));
            const QByteArray bytes = cut ? whole.read(4096) : QByteArray(4096, 'Z');
            whole.close();
            QVERIFY(whole.remove());
            QFile broken(dir.filePath(cut ? "cut.journal" : "noise.journal"));
            QVERIFY(broken.open(QIODevice::WriteOnly) && broken.write(bytes) == bytes.size());
        }
        const Said said = run(MOVA_UPDATE, QStringList {"log", "--journal-dir", folder} + options);
        QCOMPARE(said.exitCode, row.exitCode);
        QVERIFY2((row.exitCode == 0 && !row.hosts.isEmpty() ? said.out : said.err).contains(row.says), said.err.constData());
        QVERIFY(!said.out.contains('\x1b'));
        QStringList hosts;
        for (const QByteArray &line : said.out.split('\n'))
            if (!line.isEmpty())
                hosts << (options.contains("--json") ? QJsonDocument::fromJson(line).object()["host"].toString()
                                                     : QString::fromUtf8(line).section("  ", 1, 1));
        QCOMPARE(hosts, row.hosts);
    }
    // SIGTERM or SIGINT while the archive is written: the program ends as the signal says, and
    // its unfinished archive goes with it. A trace of 16 MiB that does not compress keeps it
    // writing for long enough to be caught at it.
    void aStoppedExportLeavesNothing()
    {
        QTemporaryDir state, out;
        QVERIFY(QDir().mkpath(state.path() + "/mova-update"));
        QFile trace(state.path() + "/mova-update/last-trace.log");
        QByteArray noise(16 << 20, '\0');
        QRandomGenerator(9).fillRange(reinterpret_cast<quint32 *>(noise.data()), noise.size() / 4);
        QVERIFY(trace.open(QIODevice::WriteOnly) && trace.write(noise) == noise.size());
        trace.close();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_STATE_HOME", state.path());
        for (const int signal : {SIGTERM, SIGINT}) {
            QProcess p;
            p.setProcessEnvironment(env);
            p.start(MOVA_UPDATE, {"log", "--export", out.filePath("bundle.tar.gz")});
            QVERIFY(p.waitForStarted());
            QDir folder(out.path());
            QElapsedTimer waited;
            waited.start();
            while (folder.entryList(QDir::Files | QDir::Hidden).isEmpty() && waited.elapsed() < 10'000)
                QThread::usleep(500);
            QCOMPARE(folder.entryList(QDir::Files | QDir::Hidden).value(0).left(15), QString(".bundle.tar.gz."));
            ::kill(pid_t(p.processId()), signal);
            QVERIFY(p.waitForFinished(10'000));
            QCOMPARE(p.exitStatus(), QProcess::CrashExit); // ended by the signal, as without the export
            QCOMPARE(p.exitCode(), signal);
            QCOMPARE(folder.entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList {});
        }
    }
};

QTEST_MAIN(TestSupportBundle)
#include "test_support_bundle.moc"
