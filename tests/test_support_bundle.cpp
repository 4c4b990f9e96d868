// `mova-update log --export`: the support bundle as the system's tar reads it, from a record
// folder that holds more than the bundle may take (a link and a FIFO in traces' places, a
// file of another name), and the files it must not leave behind when it cannot be written.
#include "table_rows.h"

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

Said run(const QString &program, const QStringList &arguments)
{
    QProcess p;
    p.start(program, arguments);
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
        write("last-trace-2.log", batchTrace_);
        write("notes.txt", "not for the bundle");
        QVERIFY(QDir().mkpath(folder_ + "/failed-traces"));
        write(KeptTrace, "# mova-update, a failed run\n");
        write("failed-traces/20261208T052013Z-30333033-2.log", "of a run no record names");
        // Neither is read: a link is not followed, a FIFO would hold the open.
        QVERIFY(QFile::link(folder_ + "/notes.txt", folder_ + "/last-trace-3.log"));
        QCOMPARE(::mkfifo(QFile::encodeName(folder_ + "/last-trace-4.log").constData(), 0600), 0);
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
            {"a folder of that name is not", {}, "folder", 11, "not a regular file, not replaced"},
            {"a folder that does not exist", {}, "missing folder", 11, "cannot make a file in %1: No such file or directory"},
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
        const QString name = target == "long name" ? QString(243, 'b') + ".tar.gz" : "bundle.tar.gz";
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
        QVERIFY2(said.err.contains("last-trace-3.log: a symbolic link, not followed"), said.err.constData());
        QVERIFY2(said.err.contains("1 line of the record over 1 MiB left out"), said.err.constData());
        QCOMPARE(QDir(out.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList {name});
        // A real gzip-compressed tar, with exactly these members and bytes.
        const Said members = run("tar", {"-tzf", file});
        QCOMPARE(members.exitCode, 0);
        // A kept trace goes with its run only.
        const bool kept = row.runs.contains(record(4));
        QCOMPARE(members.out, "mova-support/runs.jsonl\nmova-support/traces/last-trace.log\n"
                              "mova-support/traces/last-trace-2.log\n" +
                                  (kept ? "mova-support/traces/" + KeptTrace + "\n" : QByteArray()) +
                                  "mova-support/version.txt\nmova-support/list.txt\n");
        QVERIFY2(said.out.contains(kept ? "3 traces (last-trace.log, last-trace-2.log and 1 of a failed run)"
                                        : "2 traces (last-trace.log and last-trace-2.log)"),
                 said.out.constData());
        QVERIFY(members.err.isEmpty());
        for (const QByteArray &line : run("tar", {"-tvzf", file}).out.trimmed().split('\n'))
            QVERIFY2(line.startsWith("-rw-r--r-- root/root "), line.constData());
        auto member = [&](const char *name) { return run("tar", {"-xzOf", file, QString("mova-support/") + name}).out; };
        QCOMPARE(member("runs.jsonl"), row.runs);
        QCOMPARE(member("traces/last-trace.log"), trace_);
        QCOMPARE(member("traces/last-trace-2.log"), batchTrace_);
        if (kept)
            QCOMPARE(member("traces/" + KeptTrace), QByteArray("# mova-update, a failed run\n"));
        QVERIFY(member("version.txt").startsWith(run(MOVA_UPDATE, {"--version"}).out + "\nbuild settings\n"));
        QCOMPARE(member("list.txt"), run(MOVA_UPDATE, {"list"}).out);
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
