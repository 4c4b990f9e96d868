#include "batch.h"
#include "batch_ports.h"
#include "batch_report.h"
#include "batch_worker.h"
#include "build_settings.h"
#include "discovery.h"
#include "result_hook.h"
#include "run_record.h"
#include "safe_text.h"
#include "session.h"
#include "worker_limit.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QProcess>
#include <QTimer>
#include <algorithm>
#include <csignal>
#include <deque>
#include <set>
#include <unistd.h>

// The batch's supervision: it starts a worker process per device, reads what each says,
// sends each the word its decision gives, ends a worker that stays silent, and keeps what
// became of each device. Which ports have a device, what each worker is told and how the
// batch is shown are each a part of their own.

namespace {

constexpr int WatchMs = 250;            // how often the ports are looked at (see watchNeeded)
constexpr int WorkerSilentMs = 180'000; // a worker that never says who its device is is ended

} // namespace

class Batch::Supervision {
public:
    Supervision(BatchOptions options, BatchView &view) : a_(std::move(options)), ports_(a_.ports), view_(&view)
    {
        ports_.takeOver(a_.held);
        watch_.setInterval(WatchMs);
        QObject::connect(&watch_, &QTimer::timeout, [this] { watch(); });
        hooks_.idle = [this] { checkOver(); };
    }
    std::optional<int> start(std::function<void()> over);
    void onSignal(int number);
    void stopAfterWriting();
    bool writing() const;
    int finish();
    bool over() const;
    BatchBoard board() const;
    std::map<std::string, PortHold> stillHeld() const { return ports_.stillHeld(); }
    bool stopping_ = false;
    const BatchOptions a_;

private:
    void look();
    bool busy(const std::string &port) const;
    bool watchNeeded() const;
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
    void watch();
    void stop(int number);
    void checkOver();
    bool active() const;
    int counted() const;
    bool enough() const { return a_.devices > 0 && counted() >= a_.devices; }

    PortWatch ports_;
    BatchView *const view_;
    std::string id_;
    std::function<void()> over_; // told once, when the batch has ended
    bool overSaid_ = false;
    QTimer watch_;
    QElapsedTimer clock_;
    std::vector<std::unique_ptr<BatchWorker>> workers_;
    std::vector<ReportRow> rows_; // each device's last row, in the order they were first updated
    std::set<size_t> retried_;    // of rows_, the devices updated more than once
    BatchReport report_;
    RunStore store_ = RunStore::standard("mova-update", {}); // for the record of a worker that could not keep its own
    ResultHooks hooks_ {a_.onResult, store_.folder, [this](const std::string &text) { view_->error(text); }};
    bool reportFailed_ = false;
    bool waitingSaid_ = false; // the view was told that the batch waits for the next device
    int atOnce_ = 1;           // workers that may run at once, as the descriptor limit allows
    std::deque<std::string> turn_; // ports whose worker waits for a place
    bool turnSaid_ = false;        // the view was told that devices wait their turn
};

bool Batch::Supervision::active() const
{
    return running() > 0 || !turn_.empty();
}

int Batch::Supervision::running() const
{
    return int(std::count_if(workers_.begin(), workers_.end(),
                             [](const auto &w) { return w->state != WorkerState::Done; }));
}

int Batch::Supervision::counted() const
{
    int n = 0;
    for (const auto &w : workers_) // a device back for another update is counted once
        n += w->word != BatchWord::Skip && !w->again;
    return n;
}

bool Batch::Supervision::over() const
{
    if (active() || hooks_.running() > 0) // a hook ends within its limit
        return false;
    return stopping_ || !a_.repeat || enough();
}

BatchBoard Batch::Supervision::board() const
{
    BatchBoard b;
    b.nowMs = clock_.elapsed();
    for (const auto &w : workers_)
        if (w->state != WorkerState::Done)
            b.running.push_back(w->shown());
    b.waitingForNext = a_.repeat && !stopping_ && !active();
    return b;
}

void Batch::Supervision::look()
{
    for (const std::string &port : ports_.look(clock_.elapsed(), [this](const std::string &p) { return busy(p); }))
        if (!stopping_ && !enough())
            queue(port);
}

bool Batch::Supervision::busy(const std::string &port) const
{
    for (const auto &w : workers_)
        if (w->port == port && w->state != WorkerState::Done)
            return true;
    return std::find(turn_.begin(), turn_.end(), port) != turn_.end();
}

// Something to see: a port without its worker (a device to come, or one held until it is seen
// gone), or a worker that has not said who its device is (ended when silent too long). Else
// the batch sleeps until a worker speaks or ends: four looks a second at nothing would cost a
// batch of one device a tenth of its update.
bool Batch::Supervision::watchNeeded() const
{
    const auto silent = [](const auto &w) { return w->state == WorkerState::Identifying; };
    return std::any_of(workers_.begin(), workers_.end(), silent) ||
           (a_.repeat && !ports_.allBusy([this](const std::string &port) { return busy(port); }));
}

void Batch::Supervision::queue(const std::string &port)
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
void Batch::Supervision::startWaiting()
{
    while (!turn_.empty() && running() < atOnce_) {
        const std::string port = turn_.front();
        turn_.pop_front();
        if (stopping_ || enough())
            continue;
        spawn(port);
    }
}

void Batch::Supervision::spawn(const std::string &port)
{
    auto w = std::make_unique<BatchWorker>();
    w->number = int(workers_.size());
    w->port = port;
    w->socket = a_.sockets.nameOf(port);
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
    // A process group of its own: the terminal's Ctrl-C reaches the batch only, which hands
    // each worker exactly one, so a single Ctrl-C never counts twice for a device.
    p.setChildProcessModifier([] { ::setpgid(0, 0); });
    w->view = view_->worker();
    BatchWorker *raw = w.get();
    QObject::connect(&p, &QProcess::readyReadStandardOutput, [this, raw] { readOutput(*raw); });
    QObject::connect(&p, &QProcess::readyReadStandardError, [this, raw] { readErrors(*raw); });
    QObject::connect(&p, &QProcess::finished,
                     [this, raw](int code, QProcess::ExitStatus status) { finished(*raw, code, status); });
    workers_.push_back(std::move(w));
    waitingSaid_ = false;
    if (!watch_.isActive()) // until it says who its device is
        watch_.start();
    p.start(a_.workerProgram.empty() ? QCoreApplication::applicationFilePath()
                                     : QString::fromStdString(a_.workerProgram),
            raw->arguments(a_, id_));
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

void Batch::Supervision::readOutput(BatchWorker &w)
{
    w.out += w.process->readAllStandardOutput();
    for (qsizetype nl; (nl = w.out.indexOf('\n')) >= 0;) {
        const QByteArray line = w.out.left(nl);
        w.out.remove(0, nl + 1);
        event(w, line);
    }
}

void Batch::Supervision::readErrors(BatchWorker &w)
{
    w.err += w.process->readAllStandardError();
    for (qsizetype nl; (nl = w.err.indexOf('\n')) >= 0;) {
        const std::string line = w.err.left(nl).toStdString();
        w.err.remove(0, nl + 1);
        view_->workerError(w.port, line);
    }
}

// What the worker says is taken in first, then shown: the view shows the worker as it is now.
void Batch::Supervision::event(BatchWorker &w, const QByteArray &line)
{
    if (w.hear(line, clock_.elapsed()))
        decide();
    view_->refresh();
}

// Sends the word each waiting worker needs.
void Batch::Supervision::decide()
{
    BatchFacts facts {{}, ports_.held(), clock_.elapsed(), stopping_};
    for (const auto &w : workers_)
        facts.workers.push_back(w->facts());
    const std::vector<std::optional<BatchWord>> words = batchWords(facts);
    for (size_t i = 0; i < words.size(); ++i)
        if (words[i])
            say(*workers_[i], *words[i]);
}

void Batch::Supervision::say(BatchWorker &w, BatchWord word)
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

void Batch::Supervision::finished(BatchWorker &w, int exitCode, QProcess::ExitStatus status)
{
    if (w.state == WorkerState::Done)
        return;
    if (!overSaid_ && !watch_.isActive()) // its port is free: a device may come
        watch_.start();
    readOutput(w);
    readErrors(w);
    const Outcome heard = w.ended(status == QProcess::NormalExit, exitCode, w.process->errorString().toStdString());
    if (heard == Outcome::WorkerLost || heard == Outcome::Unidentified)
        w.recordLost(heard, {a_.firmware, a_.table}, id_, store_); // its own record went with it
    const Outcome outcome = w.reported ? w.reported->outcome : heard; // the row it wrote is its device's book
    // Left alone until it is unplugged; back within its restart, only a device updated is skipped.
    ports_.hold(w.port, w.serialHex, succeeded(outcome) || w.word == BatchWord::Skip);
    if (w.word == BatchWord::Skip) {
        view_->skipped(w.shown());
        decide();
        startWaiting();
        checkOver();
        return;
    }
    // Every update's row: a worker that got to its result wrote its own and ran its hook.
    const ReportRow row = w.reported ? *w.reported : w.row(outcome);
    if (w.again)
        rows_[*w.again] = row, retried_.insert(*w.again);
    else
        rows_.push_back(row);
    std::string error;
    if (!w.reported && !report_.append(row, error) && !reportFailed_) {
        reportFailed_ = true;
        view_->error("mova-update: cannot write the report: " + error);
    }
    view_->reported(row);
    if (!w.reported)
        hooks_.run(row);
    decide(); // a worker that waited for this one's serial may go on now
    startWaiting();
    view_->refresh();
    checkOver();
}

void Batch::Supervision::onSignal(int number)
{
    // A lost terminal ends the batch as Ctrl-C between two devices does: nobody watches what
    // it would start next. The devices being written are finished; the report is still written.
    if (number == SIGHUP)
        view_->hangUp();
    else if (!stopping_ && active()) // said once for the batch: its workers do not say it
        view_->error("mova-update: no further device is started; the devices being written go on (Ctrl-C twice "
                     "within 5 s stops them too)");
    stop(number);
}

void Batch::Supervision::stopAfterWriting()
{
    if (!stopping_) // a second word to a worker that writes its device would stop it
        stop(SIGINT);
}

void Batch::Supervision::stop(int number)
{
    stopping_ = true;
    turn_.clear(); // a device that waits its turn is not started
    // Each worker follows its own rules: one that has not written its device leaves at once,
    // one that writes it needs a second signal within a few seconds. One told to go has its
    // device written or about to be, and no hang-up reaches it: it would only drop the pipe
    // its result comes back on.
    for (const auto &w : workers_)
        if (w->state != WorkerState::Done && w->process->processId() > 0 &&
            !(number == SIGHUP && w->state == WorkerState::Running))
            ::kill(pid_t(w->process->processId()), number);
    checkOver();
}

bool Batch::Supervision::writing() const
{
    return std::any_of(workers_.begin(), workers_.end(), [](const auto &w) {
        return w->state == WorkerState::Running && w->word == BatchWord::Go;
    });
}

void Batch::Supervision::checkOver()
{
    if (!over() || overSaid_)
        return;
    overSaid_ = true;
    watch_.stop();
    if (over_)
        QTimer::singleShot(0, &watch_, over_); // never from within a worker's own signal
}

void Batch::Supervision::watch()
{
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
    checkOver();
    if (!watchNeeded())
        watch_.stop();
}

std::optional<int> Batch::Supervision::start(std::function<void()> over)
{
    over_ = std::move(over);
    clock_.start();
    id_ = QDateTime::currentDateTime().toString("yyyyMMdd'T'HHmmss").toStdString() + "-" +
          std::to_string(::getpid());
    Session road;
    road.expectedHardwareVersion = BuildSettings::compiled().expectedHardwareVersion();
    if (!road.ttyRoad()) {
        view_->error("mova-update: this build reaches its device through the docking station, one device at a "
                     "time: several devices need a build for the USB serial road");
        return int(Outcome::Usage);
    }
    if (!a_.report.empty()) {
        std::string error;
        if (!report_.open(a_.report, error)) {
            view_->error("mova-update: cannot write the report: " + error);
            return int(Outcome::Usage);
        }
    }
    std::signal(SIGPIPE, SIG_IGN);
    atOnce_ = workersAtOnce();
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
    watch_.start();
    checkOver();
    return std::nullopt;
}

int Batch::Supervision::finish()
{
    watch_.stop();
    std::vector<DeviceOutcome> devices;
    for (const ReportRow &row : rows_)
        devices.push_back({row.port, row.serial, row.serialHex, row.outcome, row.socket, row.mayBeWithoutFirmware,
                           row.firmwareNewer});
    const BatchSummary s = batchSummary(devices, int(retried_.size()), stopping_, clock_.elapsed());
    view_->summary(s);
    return exitStatus(s.worst);
}

Batch::Batch(BatchOptions options, BatchView &view) : s_(std::make_unique<Supervision>(std::move(options), view)) {}
Batch::~Batch() = default;
std::optional<int> Batch::start(std::function<void()> over) { return s_->start(std::move(over)); }
void Batch::signal(int number) { s_->onSignal(number); }
void Batch::stopAfterWriting() { s_->stopAfterWriting(); }
bool Batch::stopping() const { return s_->stopping_; }
bool Batch::writing() const { return s_->writing(); }
bool Batch::over() const { return s_->over(); }
int Batch::finish() { return s_->finish(); }
BatchBoard Batch::board() const { return s_->board(); }
std::map<std::string, PortHold> Batch::stillHeld() const { return s_->stillHeld(); }
const SocketNames &Batch::sockets() const { return s_->a_.sockets; }
