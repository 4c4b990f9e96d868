#pragma once
// mova-update run as a process against the emulator on a pseudo-terminal: what it prints,
// what it exits with, and the small firmware and table the runs put on the device.
#include "emulator_fixture.h"
#include "update_rig.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <algorithm>
#include <functional>
#include <memory>

using Bytes = std::vector<uint8_t>;

struct Run {
    int exitCode = -1;
    QByteArray out, err;
};

// Runs mova-update; `during` is called once it has started, with its process id.
inline Run run(const QStringList &arguments, int timeoutMs = 60'000, const std::function<void(qint64)> &during = {})
{
    QProcess p;
    p.start(MOVA_UPDATE, arguments);
    p.closeWriteChannel(); // standard input is no terminal, and says nothing
    if (during && p.waitForStarted())
        during(p.processId());
    Run r;
    QByteArray stuck;
    if (!p.waitForFinished(timeoutMs)) {
        // Where it waits, for the failure's report: a hang must be found, not guessed.
        const QString task = QString("/proc/%1/task").arg(p.processId());
        for (const QString &t : QDir(task).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            QFile wchan(task + "/" + t + "/wchan"), stack(task + "/" + t + "/stack");
            stuck += "\ntask " + t.toUtf8() + " waits in " + (wchan.open(QIODevice::ReadOnly) ? wchan.readAll() : "?");
            if (stack.open(QIODevice::ReadOnly))
                stuck += "\n" + stack.readAll();
        }
        p.kill();
        p.waitForFinished();
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    if (!stuck.isEmpty())
        r.err += "\n(killed after " + QByteArray::number(timeoutMs) + " ms)" + stuck;
    return r;
}

// One process to run: the program, its words, and the environment it gets on top of ours.
struct Job {
    QString program;
    QStringList arguments;
    QStringList environment; // NAME=VALUE
};

// Runs the jobs all at once: rows that only wait on their own emulator take the time of the
// longest, not of them all.
inline std::vector<Run> runJobs(const std::vector<Job> &jobs, int timeoutMs = 120'000)
{
    std::vector<std::unique_ptr<QProcess>> processes;
    for (const Job &job : jobs) {
        auto p = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const QString &e : job.environment)
            env.insert(e.section('=', 0, 0), e.section('=', 1));
        p->setProcessEnvironment(env);
        p->start(job.program, job.arguments);
        p->closeWriteChannel();
        processes.push_back(std::move(p));
    }
    QElapsedTimer since;
    since.start();
    // Each is waited for in short turns, so that no other one's pipe fills while it waits.
    auto running = [&] {
        return std::any_of(processes.begin(), processes.end(),
                           [](const auto &p) { return p->state() != QProcess::NotRunning; });
    };
    while (running() && since.elapsed() < timeoutMs)
        for (auto &p : processes)
            p->waitForFinished(20);
    std::vector<Run> runs;
    for (auto &p : processes) {
        Run r;
        if (p->state() != QProcess::NotRunning) {
            p->kill();
            p->waitForFinished();
            r.err = "(killed after " + QByteArray::number(timeoutMs) + " ms)\n";
        }
        r.exitCode = p->exitStatus() == QProcess::NormalExit ? p->exitCode() : -1;
        r.out = p->readAllStandardOutput();
        r.err = p->readAllStandardError() + r.err;
        runs.push_back(r);
    }
    return runs;
}

// Runs mova-update once per argument list, all at once.
inline std::vector<Run> runSideBySide(const std::vector<QStringList> &argumentLists, int timeoutMs = 120'000)
{
    std::vector<Job> jobs;
    for (const QStringList &arguments : argumentLists)
        jobs.push_back({MOVA_UPDATE, arguments, {}});
    return runJobs(jobs, timeoutMs);
}

// A device that erases in a tenth of its usual time and is back 500 ms after a reset: the
// process rows prove what the program says and ends with, not the device's pace.
inline DeviceModel::Config quickDevice()
{
    DeviceModel::Config config;
    config.eraseStepMs = 20;
    return config;
}
constexpr int QuickDowntimeMs = 500;

// The emulator and the small payloads: a firmware of three blocks and a table of one.
struct CliFixture {
    EmulatorFixture f;
    std::string firmware, table;
    QByteArray image;

    void prepare()
    {
        f.emulator.reset();
        image = imageBytes(1200);
        firmware = writeFile(QString::fromStdString(f.path("small.hex")), hexText(image));
        table = writeFile(QString::fromStdString(f.path("small.tra")), "LANG" + QByteArray(100, 'x'));
    }
    // The image a device holds after the small firmware went on: its own serial in the header,
    // as its text (up to a zero byte) right-aligned behind '0's.
    Bytes updatedImage(const std::string &serial) const
    {
        Bytes expected(3 * 512, 0);
        std::copy(image.begin(), image.end(), expected.begin());
        const std::string text = serial.substr(0, serial.find('\0'));
        const std::string header = std::string(4 - std::min<size_t>(text.size(), 4), '0') + text.substr(text.size() > 4 ? text.size() - 4 : 0);
        std::copy(header.begin(), header.end(), expected.begin() + 0x200);
        for (int i = 0; i < 8; ++i)
            expected[0x204 + i] = i % 2 ? 0 : 100; // the calibration as the emulator reports it, info 0
        return expected;
    }
};
