#pragma once
// Recorded runs played back: runs of mova-update (or of the FTDI road's update in a process
// of its own) side by side, each with its own record folder, and mova-sim --replay.
#include "cli_run.h"

#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QThread>
#include <csignal>

inline QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// What a run of mova-update ended with: its exit status and its last words (on standard
// output for a success, else on standard error).
inline QByteArray ending(const Run &r)
{
    return "exit " + QByteArray::number(r.exitCode) + " | " +
           (r.exitCode == 0 ? r.out : r.err).trimmed().split('\n').last();
}

// mova-sim --replay on `link`, started and waited for until the link is there.
struct Replay {
    std::unique_ptr<QProcess> process = std::make_unique<QProcess>();
    Replay() = default;
    Replay(Replay &&) = default;
    ~Replay()
    {
        if (process && process->state() != QProcess::NotRunning)
            finish(0); // a test that failed halfway leaves no replay behind
    }

    bool start(const QString &trace, const QString &link, const QStringList &more = {})
    {
        process->start(MOVA_SIM, QStringList {"--replay", trace, "--link", link} + more);
        for (int i = 0; i < 200 && process->state() != QProcess::NotRunning && !QFile::exists(link); ++i)
            QThread::msleep(10);
        return QFile::exists(link);
    }
    // Waits for the replay to end by itself (as it must once the tool let go of the line), or
    // ends it after `timeoutMs`; its exit status.
    int finish(int timeoutMs = 10'000)
    {
        if (!process->waitForFinished(timeoutMs)) {
            ::kill(pid_t(process->processId()), SIGTERM);
            process->waitForFinished();
            err_ = "(ended by SIGTERM)\n";
        }
        err_ += process->readAllStandardError();
        return process->exitStatus() == QProcess::NormalExit ? process->exitCode() : -1;
    }
    const QByteArray &err() const { return err_; }

private:
    QByteArray err_;
};

constexpr int ReplayMatched = 0, ReplayDiverged = 3, ReplayUnreadable = 4;
