#include "cli_batch.h"
#include "batch_ports.h"
#include "batch_report.h"
#include "batch_view.h"
#include "batch_worker.h"
#include "build_settings.h"
#include "cli_signals.h"
#include "discovery.h"
#include "outcome.h"
#include "run_record.h"
#include "safe_text.h"
#include "session.h"
#include "stop_signals.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTimer>
#include <algorithm>
#include <csignal>
#include <deque>
#include <dirent.h>
#include <iostream>
#include <memory>
#include <set>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

// The batch's supervision: it starts a worker process per device, reads what each says,
// sends each the word its decision gives, ends a worker that stays silent, and keeps what
// became of each device. Which ports have a device, what each worker is told and how the
// batch is shown are each a part of their own.

namespace {

constexpr int WatchMs = 250;            // how often the ports are looked at between devices
constexpr int WorkerSilentMs = 180'000; // a worker that never says who its device is is ended
// What a running worker holds of the batch's descriptors: its three pipes and its process's
// own, and for a moment while it starts, the other ends and the start's own pipe.
constexpr int DescriptorsPerWorker = 8;
// Kept for the batch's own: the report, the record, the journal, udev, the event loop.
constexpr int DescriptorsKept = 16;

int openDescriptors()
{
    int n = 0;
    if (DIR *d = ::opendir("/proc/self/fd")) {
        while (const dirent *e = ::readdir(d))
            n += e->d_name[0] != '.';
        ::closedir(d);
    }
    return n;
}

// How many workers may run at once within this process's descriptor limit, its soft limit
// raised to the hard one first: a worker that cannot get its pipes would refuse its device.
int workersAtOnce()
{
    rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 1;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    const rlim_t room = std::min<rlim_t>(limit.rlim_cur, 1 << 20);
    const long spare = long(room) - openDescriptors() - DescriptorsKept;
    return int(std::max(1L, spare / DescriptorsPerWorker));
}

class Batch {
public:
    Batch(const CliArguments &a, bool json, bool live)
        : a_(a), ports_(a.ports), view_(makeBatchView(json, live, [this] { return board(); }))
    {
    }
    int run();

private:
    void look();
    void queue(const std::string &port);
    void startWaiting();
    int running() const;
    void spawn(const std::string &port);
    void readOutput(BatchWorker &w);
    void readErrors(BatchWorker &w);
    void event(BatchWorker &w, const QByteArray &line);
    void decide();
    void say(BatchWorker &w, BatchWord word);
    void finished(BatchWorker &w, int exitCode, QProcess::ExitStatus status);
    void recordLost(const BatchWorker &w, Outcome outcome);
    void onSignal(int number);
    bool active() const;
    int counted() const;
    bool enough() const { return a_.devices > 0 && counted() >= a_.devices; }
    bool over() const;
    BatchBoard board() const;

    const CliArguments &a_;
    PortWatch ports_;
    const std::unique_ptr<BatchView> view_;
    std::string id_;
    QEventLoop loop_;
    QElapsedTimer clock_;
    std::vector<std::unique_ptr<BatchWorker>> workers_;
    std::vector<ReportRow> rows_; // each device's last row, in the order they were first updated
    std::set<size_t> retried_;    // of rows_, the devices updated more than once
    BatchReport report_;
    RunStore store_ = RunStore::standard("mova-update", {}); // for the record of a worker that could not keep its own
    bool stopping_ = false, reportFailed_ = false;
    bool waitingSaid_ = false; // the view was told that the batch waits for the next device
    int atOnce_ = 1;           // workers that may run at once, as the descriptor limit allows
    std::deque<std::string> turn_; // ports whose worker waits for a place
    bool turnSaid_ = false;        // the view was told that devices wait their turn
};

bool Batch::active() const
{
    return running() > 0 || !turn_.empty();
}

int Batch::running() const
{
    return int(std::count_if(workers_.begin(), workers_.end(),
                             [](const auto &w) { return w->state != WorkerState::Done; }));
}

int Batch::counted() const
{
    int n = 0;
    for (const auto &w : workers_) // a device back for another update is counted once
        n += w->word != BatchWord::Skip && !w->again;
    return n;
}

bool Batch::over() const
{
    if (active())
        return false;
    return stopping_ || !a_.repeat || enough();
}

BatchBoard Batch::board() const
{
    BatchBoard b;
    b.nowMs = clock_.elapsed();
    for (const auto &w : workers_)
        if (w->state != WorkerState::Done)
            b.running.push_back(w->shown());
    b.waitingForNext = a_.repeat && !stopping_ && !active();
    return b;
}

void Batch::look()
{
    auto busy = [this](const std::string &port) {
        for (const auto &w : workers_)
            if (w->port == port && w->state != WorkerState::Done)
                return true;
        return std::find(turn_.begin(), turn_.end(), port) != turn_.end();
    };
    for (const std::string &port : ports_.look(clock_.elapsed(), busy))
        if (!stopping_ && !enough())
            queue(port);
}

void Batch::queue(const std::string &port)
{
    turn_.push_back(port);
    startWaiting();
    if (!turn_.empty() && !turnSaid_) {
        turnSaid_ = true;
        view_->error("mova-update: this system lets the batch update " + std::to_string(atOnce_) +
                     " devices at once (its limit of open files); the others wait their turn");
    }
}

// Starts the workers that wait, as places become free.
void Batch::startWaiting()
{
    while (!turn_.empty() && running() < atOnce_) {
        const std::string port = turn_.front();
        turn_.pop_front();
        if (stopping_ || enough())
            continue;
        spawn(port);
    }
}

void Batch::spawn(const std::string &port)
{
    auto w = std::make_unique<BatchWorker>();
    w->number = int(workers_.size());
    w->port = port;
    for (w->slot = 1;; ++w->slot) { // the lowest place no running worker holds
        bool taken = false;
        for (const auto &other : workers_)
            taken = taken || (other->state != WorkerState::Done && other->slot == w->slot);
        if (!taken)
            break;
    }
    w->since.start();
    w->process = std::make_unique<QProcess>();
    QProcess &p = *w->process;
    QStringList arguments {"--json", "--worker", QString::fromStdString(id_), "--worker-slot",
                           QString::number(w->slot), "--port", QString::fromStdString(port)};
    if (a_.yes)
        arguments << "--yes";
    if (a_.allowLowBattery)
        arguments << "--allow-low-battery";
    if (a_.trace)
        arguments << "--trace";
    arguments << "--firmware" << QString::fromStdString(a_.firmware) << "--table" << QString::fromStdString(a_.table)
              << "update";
    // A process group of its own: the terminal's Ctrl-C reaches the batch only, which hands
    // each worker exactly one, so a single Ctrl-C never counts twice for a device.
    p.setChildProcessModifier([] { ::setpgid(0, 0); });
    BatchWorker *raw = w.get();
    QObject::connect(&p, &QProcess::readyReadStandardOutput, [this, raw] { readOutput(*raw); });
    QObject::connect(&p, &QProcess::readyReadStandardError, [this, raw] { readErrors(*raw); });
    QObject::connect(&p, &QProcess::finished,
                     [this, raw](int code, QProcess::ExitStatus status) { finished(*raw, code, status); });
    workers_.push_back(std::move(w));
    waitingSaid_ = false;
    p.start(QCoreApplication::applicationFilePath(), arguments);
    if (!p.waitForStarted()) {
        // Nothing was written; its row and the summary say why, not only standard error.
        const std::string why = p.errorString().toStdString();
        view_->error("mova-update: cannot start the update of " + shownText(port) + ": " + why);
        raw->end.hasResult = true;
        raw->end.said = Outcome::Internal;
        raw->message = "the update of this device could not start (" + why + "); nothing was written";
        finished(*raw, int(Outcome::Internal), QProcess::NormalExit);
    }
}

void Batch::readOutput(BatchWorker &w)
{
    w.out += w.process->readAllStandardOutput();
    for (qsizetype nl; (nl = w.out.indexOf('\n')) >= 0;) {
        const QByteArray line = w.out.left(nl);
        w.out.remove(0, nl + 1);
        event(w, line);
    }
}

void Batch::readErrors(BatchWorker &w)
{
    w.err += w.process->readAllStandardError();
    for (qsizetype nl; (nl = w.err.indexOf('\n')) >= 0;) {
        const std::string line = w.err.left(nl).toStdString();
        w.err.remove(0, nl + 1);
        view_->workerError(w.port, line);
    }
}

// What the worker says is taken in first, then shown: the view shows the worker as it is now.
void Batch::event(BatchWorker &w, const QByteArray &line)
{
    const WorkerEvent e = readWorkerEvent(line);
    w.take(e);
    view_->said(w.shown(), e, clock_.elapsed());
    if (e.kind == WorkerSays::Plan)
        decide();
    view_->refresh();
}

// Sends the word each waiting worker needs.
void Batch::decide()
{
    BatchFacts facts {{}, ports_.held(), clock_.elapsed(), stopping_};
    for (const auto &w : workers_)
        facts.workers.push_back(w->facts());
    const std::vector<std::optional<BatchWord>> words = batchWords(facts);
    for (size_t i = 0; i < words.size(); ++i)
        if (words[i])
            say(*workers_[i], *words[i]);
}

void Batch::say(BatchWorker &w, BatchWord word)
{
    // A device told to go has no twin present (that would be refused), so an earlier row with
    // its serial is its own: it failed and was plugged in again, or came back long after.
    if (word == BatchWord::Go && !w.serialHex.empty())
        for (size_t i = 0; i < rows_.size(); ++i)
            if (rows_[i].serialHex == w.serialHex)
                w.again = i;
    w.word = word;
    w.state = WorkerState::Running;
    w.process->write(batchWordLine(word));
}

void Batch::finished(BatchWorker &w, int exitCode, QProcess::ExitStatus status)
{
    if (w.state == WorkerState::Done)
        return;
    readOutput(w);
    readErrors(w);
    const Outcome outcome = w.ended(status == QProcess::NormalExit, exitCode, w.process->errorString().toStdString());
    if (outcome == Outcome::WorkerLost || outcome == Outcome::Unidentified)
        recordLost(w, outcome); // its own record went with it
    // Left alone until it is unplugged; back within its restart, only a device updated is skipped.
    ports_.hold(w.port, w.serialHex, outcome == Outcome::Updated || w.word == BatchWord::Skip);
    if (w.word == BatchWord::Skip) {
        view_->skipped(w.shown());
        decide();
        startWaiting();
        return;
    }
    const ReportRow row = w.row(outcome); // the report keeps every update's row
    if (w.again)
        rows_[*w.again] = row, retried_.insert(*w.again);
    else
        rows_.push_back(row);
    std::string error;
    if (!report_.append(row, error) && !reportFailed_) {
        reportFailed_ = true;
        view_->error("mova-update: cannot write the report: " + error);
    }
    view_->reported(row);
    decide(); // a worker that waited for this one's serial may go on now
    startWaiting();
    view_->refresh();
}

// A worker that ended without its result took its run record with it: the batch keeps one
// for it, so that the log still shows what became of the device.
void Batch::recordLost(const BatchWorker &w, Outcome outcome)
{
    Session where; // a device never identified is named by its port
    where.portPathOverride = w.port;
    RunRecord record(realClock(), where, {a_.firmware, a_.table}, store_);
    record.begin(w.since.elapsed());
    record.noteBatch(id_);
    if (w.end.identified)
        record.device(w.device());
    record.writing(w.end.writing);
    record.result({outcome, w.message});
}

void Batch::onSignal(int number)
{
    // A lost terminal ends the batch as Ctrl-C between two devices does: nobody watches what
    // it would start next. The devices being written are finished; the report is still written.
    const bool hangUp = number == SIGHUP;
    if (hangUp)
        CliSignalPolicy::dropOutput();
    else if (!stopping_ && active()) // said once for the batch: its workers do not say it
        view_->error("mova-update: no further device is started; the devices being written go on (Ctrl-C twice "
                     "within 5 s stops them too)");
    stopping_ = true;
    turn_.clear(); // a device that waits its turn is not started
    // Each worker follows its own rules: one that has not written its device leaves at once,
    // one that writes it needs a second signal within a few seconds. One told to go has its
    // device written or about to be, and no hang-up reaches it: it would only drop the pipe
    // its result comes back on.
    for (const auto &w : workers_)
        if (w->state != WorkerState::Done && w->process->processId() > 0 &&
            !(hangUp && w->state == WorkerState::Running))
            ::kill(pid_t(w->process->processId()), number);
    if (!active())
        loop_.quit();
}

int Batch::run()
{
    clock_.start();
    id_ = QDateTime::currentDateTime().toString("yyyyMMdd'T'HHmmss").toStdString() + "-" +
          std::to_string(::getpid());
    Session road;
    road.expectedHardwareVersion = BuildSettings::compiled().expectedHardwareVersion();
    if (!road.ttyRoad()) {
        std::cerr << "mova-update: this build reaches its device through the docking station, one device at a "
                     "time: several devices need a build for the USB serial road"
                  << std::endl;
        return int(Outcome::Usage);
    }
    if (!a_.report.empty()) {
        std::string error;
        if (!report_.open(a_.report, error)) {
            std::cerr << "mova-update: cannot write the report: " << error << std::endl;
            return int(Outcome::Usage);
        }
    }
    std::signal(SIGPIPE, SIG_IGN);
    atOnce_ = workersAtOnce();
    StopSignals stops({SIGINT, SIGTERM, SIGHUP}, [this](int number) { onSignal(number); });
    view_->started(id_, a_.repeat);
    if (a_.repeat) {
        look();
    } else {
        for (const std::string &port : ports_.present())
            queue(port);
        if (workers_.empty() && turn_.empty()) {
            const std::string text = "no device found with the USB id " + usbIdText(deviceUsbId());
            view_->error(messageText(MessageId::NoDevice) + "\n" + text);
            return int(Outcome::NotConnected);
        }
    }
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [this] {
        if (a_.repeat)
            look();
        if (a_.repeat && !active() && !over() && !waitingSaid_) {
            waitingSaid_ = true;
            view_->waiting();
        }
        for (const auto &w : workers_) // a worker that never says who its device is
            if (w->state == WorkerState::Identifying && w->since.elapsed() > WorkerSilentMs)
                w->process->kill();
        view_->refresh();
        if (over())
            loop_.quit();
    });
    watch.start(WatchMs);
    if (!over())
        loop_.exec();
    watch.stop();
    std::vector<DeviceOutcome> devices;
    for (const ReportRow &row : rows_)
        devices.push_back({row.port, row.serial, row.serialHex, row.outcome});
    const BatchSummary s = batchSummary(devices, int(retried_.size()), stopping_);
    view_->summary(s);
    return int(s.worst);
}

} // namespace

int runBatch(const CliArguments &a, bool json, bool liveLines)
{
    return Batch(a, json, liveLines).run();
}
