#pragma once
// mova-update run as a process against the emulator on a pseudo-terminal: what it prints,
// what it exits with, and the small firmware and table the runs put on the device.
#include "emulator_fixture.h"
#include "update_rig.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <functional>

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

// The emulator and the small payloads: a firmware of three blocks and a table of one.
struct CliFixture {
    EmulatorFixture f;
    std::string firmware, table;
    QByteArray image;

    void prepare()
    {
        f.emulator.reset();
        image = imageBytes(1200);
        auto write = [&](const char *name, const QByteArray &bytes) {
            QFile file(QString::fromStdString(f.path(name)));
            file.open(QIODevice::WriteOnly);
            file.write(bytes);
            return f.path(name);
        };
        firmware = write("small.hex", hexText(image));
        table = write("small.tra", "LANG" + QByteArray(100, 'x'));
    }
    // The image a device holds after the small firmware went on: its own serial in the header.
    Bytes updatedImage(const std::string &serial) const
    {
        Bytes expected(3 * 512, 0);
        std::copy(image.begin(), image.end(), expected.begin());
        writeServiceHeader(expected, {serial, 100, 0, 100, 0, 100, 0, 100, 0});
        return expected;
    }
};
