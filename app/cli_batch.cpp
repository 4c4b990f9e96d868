#include "cli_batch.h"
#include "batch_report.h"
#include "build_settings.h"
#include "cli_signals.h"
#include "console_progress.h"
#include "discovery.h"
#include "outcome.h"
#include "session.h"
#include "stop_signals.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTimer>
#include <algorithm>
#include <climits>
#include <cmath>
#include <csignal>
#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int WatchMs = 250;           // how often the ports are looked at between devices
constexpr int RedrawMs = 200;          // the live lines at most this often
constexpr int PlainEveryMs = 10'000;   // a log hears how far each device is this often
constexpr int WorkerSilentMs = 180'000; // a worker that never says who its device is is ended
// A device that comes back on its port with the serial just updated within this time has
// restarted by itself; one unplugged for longer is the operator's, to be updated again.
constexpr int64_t RestartGraceMs = 10'000;

// What a port is right now: present or not, and which node and link; a device unplugged and
// plugged in between two looks gets a new node or link, so a change shows it was away. A link
// is also known by when it was made: a file system may hand a removed link's inode number to
// the next one at once, and the next pseudo-terminal may take the freed number, so a swap
// quicker than one look can leave every number as it was.
struct PortIdentity {
    bool present = false;
    dev_t device = 0, rdev = 0;
    ino_t link = 0, node = 0;
    timespec linkMade {};
    bool operator==(const PortIdentity &o) const
    {
        return present == o.present && device == o.device && rdev == o.rdev && link == o.link && node == o.node &&
               linkMade.tv_sec == o.linkMade.tv_sec && linkMade.tv_nsec == o.linkMade.tv_nsec;
    }
};

PortIdentity identify(const std::string &path)
{
    PortIdentity id;
    struct stat linkSt, nodeSt;
    if (::lstat(path.c_str(), &linkSt) != 0 || ::stat(path.c_str(), &nodeSt) != 0)
        return id;
    id.present = true;
    id.device = nodeSt.st_dev;
    id.rdev = nodeSt.st_rdev;
    id.link = linkSt.st_ino;
    id.node = nodeSt.st_ino;
    if (S_ISLNK(linkSt.st_mode)) // a node's own change time moves with its permissions, a link's does not
        id.linkMade = linkSt.st_ctim;
    return id;
}

// The ports once each: a device given twice, or as a link and its target, is one device.
std::vector<std::string> oneEach(const std::vector<std::string> &ports)
{
    std::vector<std::string> unique;
    std::set<std::string> seen;
    for (const std::string &port : ports) {
        char resolved[PATH_MAX];
        if (seen.insert(::realpath(port.c_str(), resolved) ? resolved : port).second)
            unique.push_back(port);
    }
    return unique;
}

std::string shortPort(const std::string &port)
{
    const auto slash = port.rfind('/');
    return slash == std::string::npos ? port : port.substr(slash + 1);
}

std::string str(const QJsonValue &v)
{
    return v.toString().toStdString();
}

class Batch {
public:
    Batch(const CliArguments &a, bool json, bool live) : a_(a), json_(json), live_(live), ports_(oneEach(a.ports)) {}
    int run();

private:
    enum class State { Identifying, Waiting, Running, Done };
    struct Worker {
        std::string port;
        std::unique_ptr<QProcess> process;
        QByteArray out, err; // what came after the last whole line
        State state = State::Identifying;
        std::string serial, battery, stage, message, word;
        std::optional<int> hardware, before, after;
        int slot = 0; // its place among the workers that run at once
        int percent = 0;
        std::optional<double> left;
        std::optional<Outcome> outcome;
        QElapsedTimer since;
        qint64 lastPlainMs = -PlainEveryMs;
    };
    struct Held { // a port whose device was just updated
        std::string serial;
        PortIdentity identity;
        int64_t awayAtMs = -1; // when it was seen gone or changed
    };

    std::vector<std::string> watchedPorts() const;
    void look();
    void spawn(const std::string &port);
    void readOutput(Worker &w);
    void readErrors(Worker &w);
    void event(Worker &w, const QByteArray &line);
    void decide();
    void say(Worker &w, const char *word);
    void finished(Worker &w, int exitCode, QProcess::ExitStatus status);
    void onSignal(int number);
    bool active() const;
    int counted() const;
    bool enough() const { return a_.devices > 0 && counted() >= a_.devices; }
    bool over() const;
    void print(const std::string &text, bool error = false);
    void redraw();
    void erase();
    std::string statusLine(const Worker &w) const;

    const CliArguments &a_;
    const bool json_, live_;
    const std::vector<std::string> ports_; // the --port paths, once each
    std::string id_;
    QEventLoop loop_;
    QElapsedTimer clock_;
    std::vector<std::unique_ptr<Worker>> workers_;
    std::map<std::string, Held> held_;
    std::vector<ReportRow> rows_;
    BatchReport report_;
    bool stopping_ = false, reportFailed_ = false;
    bool waitingSaid_ = false; // a log was told that the batch waits for the next device
    int drawn_ = 0;
    qint64 lastDrawMs_ = 0;
};

std::vector<std::string> Batch::watchedPorts() const
{
    if (!ports_.empty())
        return ports_;
    std::vector<std::string> ports = findInterfacePaths(deviceUsbId());
    for (const auto &[port, held] : held_) // a held port that went away must be seen gone
        if (std::find(ports.begin(), ports.end(), port) == ports.end())
            ports.push_back(port);
    return ports;
}

bool Batch::active() const
{
    for (const auto &w : workers_)
        if (w->state != State::Done)
            return true;
    return false;
}

int Batch::counted() const
{
    int n = 0;
    for (const auto &w : workers_)
        n += w->word != "skip";
    return n;
}

bool Batch::over() const
{
    if (active())
        return false;
    return stopping_ || !a_.repeat || enough();
}

void Batch::look()
{
    const int64_t now = clock_.elapsed();
    for (const std::string &port : watchedPorts()) {
        bool busy = false;
        for (const auto &w : workers_)
            busy = busy || (w->port == port && w->state != State::Done);
        if (busy)
            continue;
        const PortIdentity identity = identify(port);
        const auto held = held_.find(port);
        if (held != held_.end() && held->second.awayAtMs < 0 && !(held->second.identity == identity))
            held->second.awayAtMs = now;
        if (!identity.present)
            continue;
        if (held != held_.end() && held->second.awayAtMs < 0)
            continue; // still the device just updated
        if (stopping_ || enough())
            continue;
        spawn(port);
    }
}

void Batch::spawn(const std::string &port)
{
    auto w = std::make_unique<Worker>();
    w->port = port;
    for (w->slot = 1;; ++w->slot) { // the lowest place no running worker holds
        bool taken = false;
        for (const auto &other : workers_)
            taken = taken || (other->state != State::Done && other->slot == w->slot);
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
    Worker *raw = w.get();
    QObject::connect(&p, &QProcess::readyReadStandardOutput, [this, raw] { readOutput(*raw); });
    QObject::connect(&p, &QProcess::readyReadStandardError, [this, raw] { readErrors(*raw); });
    QObject::connect(&p, &QProcess::finished,
                     [this, raw](int code, QProcess::ExitStatus status) { finished(*raw, code, status); });
    workers_.push_back(std::move(w));
    waitingSaid_ = false;
    p.start(QCoreApplication::applicationFilePath(), arguments);
    if (!p.waitForStarted()) {
        print("mova-update: cannot start the update of " + port + ": " + p.errorString().toStdString(), true);
        raw->message = "the worker process did not start";
        finished(*raw, int(Outcome::Internal), QProcess::NormalExit);
    }
}

void Batch::readOutput(Worker &w)
{
    w.out += w.process->readAllStandardOutput();
    for (qsizetype nl; (nl = w.out.indexOf('\n')) >= 0;) {
        const QByteArray line = w.out.left(nl);
        w.out.remove(0, nl + 1);
        event(w, line);
    }
}

void Batch::readErrors(Worker &w)
{
    w.err += w.process->readAllStandardError();
    for (qsizetype nl; (nl = w.err.indexOf('\n')) >= 0;) {
        const std::string line = w.err.left(nl).toStdString();
        w.err.remove(0, nl + 1);
        print(shortPort(w.port) + ": " + line, true);
    }
}

void Batch::event(Worker &w, const QByteArray &line)
{
    const QJsonObject o = QJsonDocument::fromJson(line).object();
    const std::string name = str(o["event"]);
    if (json_) {
        // The worker's own event, told whose it is; anything else it printed stays one object
        // a line, so that a reader of the batch never meets a line it cannot parse.
        const std::string port = jsonQuoted(w.port);
        if (name.empty())
            std::cout << "{\"event\":\"output\",\"port\":" << port << ",\"text\":" << jsonQuoted(line.toStdString())
                      << "}" << std::endl;
        else if (o.contains("port"))
            std::cout << line.toStdString() << std::endl;
        else // after the event's name, which is always first
            std::cout << "{\"event\":" << jsonQuoted(name) << ",\"port\":" << port
                      << line.mid(line.indexOf(',') > 0 ? line.indexOf(',') : line.size() - 1).toStdString() << std::endl;
    }
    const std::string tag = shortPort(w.port) + ": ";
    if (name == "plan") {
        w.serial = str(o["serial"]);
        w.battery = str(o["battery"]);
        w.hardware = o["hardware_version"].toInt();
        w.before = o["firmware_version"].toInt();
        w.state = State::Waiting;
        if (!json_)
            print(tag + "serial " + w.serial + ", hardware " + std::to_string(*w.hardware) + ", " +
                  str(o["firmware_now"]) + ", " + w.battery);
        decide();
    } else if (name == "stage") {
        w.stage = str(o["name"]);
        w.percent = 0;
        w.left.reset();
        if (!json_ && !live_)
            print(tag + w.stage);
    } else if (name == "progress") {
        w.percent = o["percent"].toInt();
        if (o.contains("run_left_s"))
            w.left = o["run_left_s"].toDouble();
        if (!json_ && !live_ && clock_.elapsed() - w.lastPlainMs >= PlainEveryMs) {
            w.lastPlainMs = clock_.elapsed();
            print(tag + w.stage + " " + std::to_string(w.percent) + " %" +
                  (w.left ? "  total left ~" + std::to_string(std::lround(*w.left)) + "s" : ""));
        }
    } else if (name == "message" || name == "hint" || name == "note" || name == "warning") {
        const std::string text = str(o["text"]);
        const bool failure = o["failure"].toBool() || name != "message";
        if (name == "message")
            w.message = text;
        if (!json_) {
            print(tag + text, failure);
            if (const std::string explanation = str(o["explanation"]); !explanation.empty())
                print(std::string(tag.size() + 2, ' ') + explanation, true);
        }
    } else if (name == "diagnostic" && !json_) {
        print(tag + str(o["line"]));
    } else if (name == "after") {
        w.after = o["firmware_version"].toInt();
    } else if (name == "result") {
        w.outcome = Outcome(o["exit"].toInt());
        if (const std::string text = str(o["text"]); !text.empty())
            w.message = text;
    }
    redraw();
}

// Sends the word each waiting worker needs, once no worker is still finding out who its
// device is: the serials of all of them are known then.
void Batch::decide()
{
    for (const auto &w : workers_)
        if (w->state == State::Identifying)
            return;
    std::map<std::string, int> bySerial;
    for (const auto &w : workers_)
        if (w->state == State::Waiting || (w->state == State::Running && w->word == "go"))
            ++bySerial[w->serial];
    std::map<std::string, std::string> stayed; // the serials of updated devices still in their sockets
    for (const auto &[port, held] : held_)
        if (held.awayAtMs < 0 && !held.serial.empty())
            stayed[held.serial] = port;
    const int64_t now = clock_.elapsed();
    for (const auto &w : workers_) {
        if (w->state != State::Waiting)
            continue;
        const auto held = held_.find(w->port);
        const auto twin = stayed.find(w->serial);
        if (bySerial[w->serial] > 1 || (twin != stayed.end() && twin->second != w->port)) {
            say(*w, "refuse");
        } else if (held != held_.end() && held->second.serial == w->serial && held->second.awayAtMs >= 0 &&
                   now - held->second.awayAtMs < RestartGraceMs) {
            say(*w, "skip"); // it restarted after its update: the same device, not the next
        } else if (stopping_) {
            say(*w, "skip");
        } else {
            say(*w, "go");
        }
    }
}

void Batch::say(Worker &w, const char *word)
{
    w.word = word;
    w.state = State::Running;
    w.process->write(QByteArray(word) + "\n");
}

void Batch::finished(Worker &w, int exitCode, QProcess::ExitStatus status)
{
    if (w.state == State::Done)
        return;
    readOutput(w);
    readErrors(w);
    w.state = State::Done;
    if (!w.outcome) {
        // No result said (a crash, a lost output): the exit status is all there is.
        w.outcome = status == QProcess::NormalExit ? Outcome(exitCode) : Outcome::Internal;
        if (status != QProcess::NormalExit)
            w.message = "the update of this device ended abnormally (" + w.process->errorString().toStdString() + ")";
    }
    held_[w.port] = Held {w.serial, identify(w.port), -1}; // left alone until it is unplugged
    if (w.word == "skip") {
        if (!json_)
            print(shortPort(w.port) + ": device " + w.serial + " is the one just updated, back after its restart");
        decide();
        return;
    }
    ReportRow row;
    const QDateTime now = QDateTime::currentDateTime();
    row.time = now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODate).toStdString(); // with its offset
    row.port = w.port;
    row.serial = w.serial;
    row.hardwareVersion = w.hardware;
    row.firmwareBefore = w.before;
    row.firmwareAfter = w.after;
    row.battery = w.battery;
    row.outcome = *w.outcome;
    row.message = w.message;
    row.durationS = double(w.since.elapsed()) / 1000.0;
    rows_.push_back(row);
    std::string error;
    if (!report_.append(row, error) && !reportFailed_) {
        reportFailed_ = true;
        print("mova-update: cannot write the report: " + error, true);
    }
    if (json_) {
        std::cout << "{\"event\":\"report\"," << row.json().substr(1) << std::endl;
    } else {
        char duration[32];
        std::snprintf(duration, sizeof duration, "%.0f s", row.durationS);
        print(shortPort(w.port) + ": " + (w.serial.empty() ? "-" : w.serial) + "  " + outcomeName(row.outcome) + "  " +
                  row.message + "  (" + duration + ")",
              row.outcome != Outcome::Updated);
    }
    decide(); // a worker that waited for this one's serial may go on now
    redraw();
}

void Batch::onSignal(int number)
{
    if (number == SIGHUP) {
        CliSignalPolicy::dropOutput(); // the workers go on; the report is still written
        return;
    }
    if (!stopping_ && active())
        print("mova-update: no further device is started; the devices being written go on (Ctrl-C twice "
              "within 5 s stops them too)",
              true);
    stopping_ = true;
    // Each worker follows its own rules: one that has not written its device leaves at once,
    // one that writes it needs a second signal within a few seconds.
    for (const auto &w : workers_)
        if (w->state != State::Done && w->process->processId() > 0)
            ::kill(pid_t(w->process->processId()), number);
    if (!active())
        loop_.quit();
}

std::string Batch::statusLine(const Worker &w) const
{
    char line[160];
    const std::string left = w.left ? "~" + std::to_string(std::lround(*w.left)) + "s left" : "";
    const std::string stage = w.state == State::Identifying ? "Connect..."
                              : w.state == State::Waiting   ? "waiting for the others"
                                                            : w.stage;
    std::snprintf(line, sizeof line, "%-28.28s %-6.6s %-22.22s %3d %%  %s", shortPort(w.port).c_str(),
                  w.serial.c_str(), stage.c_str(), w.percent, left.c_str());
    return line;
}

void Batch::erase()
{
    if (drawn_ > 0)
        std::cout << "\x1b[" << drawn_ << "F\x1b[J";
    drawn_ = 0;
}

void Batch::print(const std::string &text, bool error)
{
    if (live_)
        erase();
    (error ? std::cerr : std::cout) << text << std::endl;
    if (live_)
        redraw();
}

void Batch::redraw()
{
    if (!live_)
        return;
    const qint64 now = clock_.elapsed();
    if (drawn_ > 0 && now - lastDrawMs_ < RedrawMs)
        return;
    lastDrawMs_ = now;
    erase();
    for (const auto &w : workers_)
        if (w->state != State::Done) {
            std::cout << statusLine(*w) << "\x1b[K\n";
            ++drawn_;
        }
    if (a_.repeat && !stopping_ && !active()) {
        std::cout << "waiting for the next device (Ctrl-C ends the batch)\x1b[K\n";
        ++drawn_;
    }
    std::cout << std::flush;
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
    StopSignals stops({SIGINT, SIGTERM, SIGHUP}, [this](int number) { onSignal(number); });
    if (json_)
        std::cout << "{\"event\":\"batch\",\"id\":" << jsonQuoted(id_) << ",\"repeat\":" << (a_.repeat ? "true" : "false")
                  << "}" << std::endl;
    if (a_.repeat) {
        look();
    } else {
        for (const std::string &port : ports_.empty() ? findInterfacePaths(deviceUsbId()) : ports_)
            spawn(port);
        if (workers_.empty()) {
            const std::string text = "no device found with the USB id " + usbIdText(deviceUsbId());
            print("No connection - Corvane not connected\n" + text, true);
            return int(Outcome::NotConnected);
        }
    }
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [this] {
        if (a_.repeat)
            look();
        if (a_.repeat && !active() && !over() && !waitingSaid_ && !live_) {
            waitingSaid_ = true;
            if (json_)
                std::cout << "{\"event\":\"waiting\"}" << std::endl;
            else
                print("waiting for the next device (Ctrl-C ends the batch)");
        }
        for (const auto &w : workers_) // a worker that never says who its device is
            if (w->state == State::Identifying && w->since.elapsed() > WorkerSilentMs)
                w->process->kill();
        redraw();
        if (over())
            loop_.quit();
    });
    watch.start(WatchMs);
    if (!over())
        loop_.exec();
    watch.stop();
    erase();

    std::vector<Outcome> outcomes;
    int updated = 0;
    for (const ReportRow &row : rows_) {
        outcomes.push_back(row.outcome);
        updated += row.outcome == Outcome::Updated;
    }
    const int failed = int(rows_.size()) - updated;
    Outcome worst = worstOutcome(outcomes);
    if (rows_.empty() && stopping_)
        worst = Outcome::Interrupted;
    const std::string summary = std::to_string(rows_.size()) + " device" + (rows_.size() == 1 ? "" : "s") + ": " +
                                std::to_string(updated) + " updated, " + std::to_string(failed) + " failed";
    if (json_)
        std::cout << "{\"event\":\"summary\",\"devices\":" << rows_.size() << ",\"updated\":" << updated
                  << ",\"failed\":" << failed << "}\n{\"event\":\"result\",\"ok\":"
                  << (worst == Outcome::Updated ? "true" : "false") << ",\"exit\":" << int(worst)
                  << ",\"outcome\":" << jsonQuoted(outcomeName(worst)) << ",\"text\":" << jsonQuoted(summary) << "}"
                  << std::endl;
    else
        (worst == Outcome::Updated ? std::cout : std::cerr)
            << summary << (worst == Outcome::Updated ? "" : std::string("\nmova-update: ") + outcomeName(worst))
            << std::endl;
    return int(worst);
}

} // namespace

int runBatch(const CliArguments &a, bool json, bool liveLines)
{
    return Batch(a, json, liveLines).run();
}

std::string batchTraceName(int slot)
{
    return slot > 0 ? "last-trace-" + std::to_string(slot) + ".log" : "last-trace.log";
}
