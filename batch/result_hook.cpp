#include "result_hook.h"
#include "batch_report.h"
#include "file_writer.h"
#include "json_line.h"
#include "run_record.h"
#include "safe_text.h"

#include <QCoreApplication>
#include <QProcess>
#include <QStandardPaths>
#include <QTimer>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <utility>

struct ResultHooks::Hook {
    QProcess process;
    QTimer limit; // SIGTERM when it fires first, SIGKILL the second time
    std::string who, serialHex, socket, outcome;
    QByteArray pending[2]; // a line begun on standard output, on standard error
    int shown = 0;
    bool timedOut = false, done = false;
};

namespace {

// The inherited environment and the device's facts on top: the values as the report row
// has them, the serial shown safely and exactly.
QProcessEnvironment hookEnvironment(const ReportRow &row)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const auto put = [&env](const char *name, const std::string &value) {
        env.insert(QLatin1String(name), QString::fromStdString(value));
    };
    const auto number = [](const std::optional<int> &v) { return v ? std::to_string(*v) : std::string(); };
    put("MOVA_SERIAL", row.serial);
    put("MOVA_SERIAL_HEX", row.serialHex);
    put("MOVA_SOCKET", shownText(row.socket));
    put("MOVA_PORT", shownText(row.port));
    put("MOVA_OUTCOME", outcomeName(row.outcome));
    put("MOVA_EXIT", std::to_string(exitStatus(row.outcome)));
    put("MOVA_FIRMWARE_BEFORE", number(row.firmwareBefore));
    put("MOVA_FIRMWARE_AFTER", number(row.firmwareAfter));
    put("MOVA_MAY_BE_WITHOUT_FIRMWARE", row.mayBeWithoutFirmware ? "1" : "0");
    put("MOVA_RUN", row.run);
    put("MOVA_REPORT_ROW", row.json());
    return env;
}

// The hook and whatever it started: it leads a process group of its own.
void signalHook(const QProcess &p, int number)
{
    if (const pid_t pid = pid_t(p.processId()); pid > 0 && ::kill(-pid, number) != 0)
        ::kill(pid, number);
}

} // namespace

ResultHooks::ResultHooks(std::string program, std::string folder, std::function<void(const std::string &)> say)
    : program_(std::move(program)), folder_(std::move(folder)), say_(std::move(say))
{
    if (const char *ms = std::getenv("QTX_MOVA_HOOK_LIMIT_MS"); ms && std::atoi(ms) > 0)
        limitMs_ = std::atoi(ms);
}

ResultHooks::~ResultHooks()
{
    {
        const std::lock_guard lock(guard_->m);
        guard_->alive = false; // a record still being written says nothing to hooks gone
    }
    for (const auto &h : hooks_)
        if (!h->done)
            signalHook(h->process, SIGKILL);
}

int ResultHooks::running() const
{
    return int(std::count_if(hooks_.begin(), hooks_.end(), [](const auto &h) { return !h->done; }));
}

void ResultHooks::waitAll()
{
    while (running() > 0)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    // Their failures' records are written, and one that could not be is said, before the end.
    FileWriter::drain();
    QCoreApplication::sendPostedEvents(&context_);
}

void ResultHooks::run(const ReportRow &row)
{
    if (program_.empty())
        return;
    Hook &h = *hooks_.emplace_back(std::make_unique<Hook>());
    h.who = row.serial.empty() ? "on " + shownText(row.port) : row.serial;
    h.serialHex = row.serialHex, h.socket = shownText(row.socket), h.outcome = outcomeName(row.outcome);
    // Looked up here, so that nothing but the program itself is ever started.
    const QString name = QString::fromStdString(program_);
    const QString path = name.contains(QLatin1Char('/')) ? name : QStandardPaths::findExecutable(name);
    if (path.isEmpty())
        return ended(h, "not found in PATH");
    QProcess &p = h.process;
    p.setProcessEnvironment(hookEnvironment(row));
    p.setStandardInputFile(QProcess::nullDevice());
    // Its own group: the terminal's Ctrl-C is the batch's, and its limit ends what it started.
    p.setChildProcessModifier([] { ::setpgid(0, 0); });
    QObject::connect(&p, &QProcess::readyReadStandardOutput, &context_,
                     [this, &h] { take(h, h.process.readAllStandardOutput(), 0); });
    QObject::connect(&p, &QProcess::readyReadStandardError, &context_,
                     [this, &h] { take(h, h.process.readAllStandardError(), 1); });
    QObject::connect(&p, &QProcess::errorOccurred, &context_, [this, &h](QProcess::ProcessError e) {
        if (e == QProcess::FailedToStart)
            ended(h, "cannot be started: " + h.process.errorString().toStdString());
    });
    QObject::connect(&p, &QProcess::finished, &context_, [this, &h](int code, QProcess::ExitStatus status) {
        take(h, h.process.readAllStandardOutput(), 0);
        take(h, h.process.readAllStandardError(), 1);
        for (QByteArray &rest : h.pending)
            if (!rest.isEmpty())
                show(h, rest), rest.clear();
        char limit[32];
        std::snprintf(limit, sizeof limit, "%g s", limitMs_ / 1000.0);
        ended(h, h.timedOut                          ? std::string("stopped at its time limit of ") + limit
                 : status == QProcess::CrashExit ? "ended by signal " + std::to_string(code)
                 : code != 0                     ? "exit status " + std::to_string(code)
                                                 : std::string());
    });
    h.limit.setSingleShot(true);
    QObject::connect(&h.limit, &QTimer::timeout, &context_, [&h] {
        signalHook(h.process, h.timedOut ? SIGKILL : SIGTERM);
        if (!std::exchange(h.timedOut, true))
            h.limit.start(KillAfterMs);
    });
    h.limit.start(limitMs_); // before the start, which may say at once that it failed
    p.start(path, {}, QIODevice::ReadOnly);
}

// What it printed, line by line, a few lines at most and each cut short: its output never
// piles up, whatever it writes.
void ResultHooks::take(Hook &h, QByteArray bytes, int channel)
{
    QByteArray &line = h.pending[channel];
    line += bytes;
    for (qsizetype nl; (nl = line.indexOf('\n')) >= 0; line.remove(0, nl + 1))
        show(h, line.left(nl));
    if (line.size() > MaxLineBytes)
        show(h, line), line.clear();
}

void ResultHooks::show(Hook &h, const QByteArray &line)
{
    const std::string lead = "result hook for device " + h.who + ": ";
    if (++h.shown <= MaxLines)
        say_(lead + shownText(line.left(MaxLineBytes).toStdString()));
    else if (h.shown == MaxLines + 1)
        say_(lead + "(its further output is not shown)");
}

void ResultHooks::ended(Hook &h, const std::string &why)
{
    if (h.done)
        return;
    h.done = true;
    h.limit.stop();
    if (!why.empty()) {
        say_("mova-update: the result hook " + shownText(program_) + " for device " + h.who + ": " + why);
        record(h, why);
    }
    // Out of the process's own signal: it is let go, and whoever waits for the last is told.
    QTimer::singleShot(0, &context_, [this] {
        std::erase_if(hooks_, [](const auto &hook) { return hook->done; });
        if (hooks_.empty() && idle)
            idle();
    });
}

void ResultHooks::record(const Hook &h, const std::string &why)
{
    if (folder_.empty())
        return;
    const std::string line = JsonLine()
                                 .text("time", reportTime())
                                 .text("program", shownText(program_))
                                 .text("serial_hex", h.serialHex)
                                 .text("socket", h.socket)
                                 .text("outcome", h.outcome)
                                 .text("why", why)
                                 .str();
    // On the file writer's thread: the thread that times a device never waits for this disk.
    // A failure comes back to this one to be said, once.
    FileWriter::post([this, folder = folder_, line, guard = guard_] {
        std::string error;
        if (makeFolder(folder, error) && appendWhole(folder + "/hooks.jsonl", line + "\n", error))
            return;
        const std::lock_guard lock(guard->m);
        if (guard->alive)
            QMetaObject::invokeMethod(&context_, [this, error] {
                if (!std::exchange(recordFailed_, true))
                    say_("mova-update: cannot keep the result hook's failures: " + error);
            }, Qt::QueuedConnection);
    });
}
