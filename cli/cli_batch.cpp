#include "cli_batch.h"
#include "batch_report.h"
#include "build_settings.h"
#include "cli_signals.h"
#include "console_progress.h"
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
    return shownText(slash == std::string::npos ? port : port.substr(slash + 1));
}

// A worker's texts are shown safely again: a line that reaches the operator's terminal
// never carries a byte that moves the cursor, whoever put it there. The tool's own texts
// that run over two lines become one, led by the port like every other.
std::string str(const QJsonValue &v)
{
    return shownText(v.toString().replace(QLatin1Char('\n'), QLatin1Char(' ')).toStdString());
}

// At most `width` characters of a shown text, never half of one, padded with blanks.
std::string fitted(const std::string &text, size_t width)
{
    std::string out;
    size_t shown = 0;
    for (size_t i = 0; i < text.size() && shown < width; ++shown) {
        size_t n = 1;
        while (i + n < text.size() && (static_cast<unsigned char>(text[i + n]) & 0xC0) == 0x80)
            ++n;
        out.append(text, i, n);
        i += n;
    }
    return out + std::string(width - shown, ' ');
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
        std::string serial, serialHex; // shown safely; the four bytes exactly, which tell devices apart
        std::string battery, stage, message, word;
        WorkerEnd end;                 // what it said as data, for its outcome
        std::optional<int> hardware, before, after;
        int slot = 0; // its place among the workers that run at once
        int percent = 0;
        std::optional<double> left;
        QElapsedTimer since;
        qint64 lastPlainMs = -PlainEveryMs;
    };
    struct Held { // a port whose device was just updated
        std::string serialHex;
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
    void recordLost(const Worker &w);
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
    RunStore store_ = RunStore::standard("mova-update"); // for the record of a worker that could not keep its own
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
        print("mova-update: cannot start the update of " + shownText(port) + ": " + p.errorString().toStdString(), true);
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
        const std::string line = shownText(w.err.left(nl).toStdString());
        w.err.remove(0, nl + 1);
        print(shortPort(w.port) + ": " + line, true);
    }
}

void Batch::event(Worker &w, const QByteArray &line)
{
    QJsonObject o = QJsonDocument::fromJson(line).object();
    const std::string name = o["event"].toString().toStdString();
    if (json_) {
        // The worker's own event, told whose it is; anything else it printed stays one object
        // a line, so that a reader of the batch never meets a line it cannot parse.
        QJsonObject shown = name.empty() ? QJsonObject {{"event", "output"}, {"text", QString::fromStdString(shownText(line.toStdString()))}} : o;
        if (!shown.contains("port"))
            shown["port"] = QString::fromStdString(shownText(w.port));
        std::cout << QJsonDocument(shown).toJson(QJsonDocument::Compact).toStdString() << std::endl;
    }
    const std::string tag = shortPort(w.port) + ": ";
    if (name == "plan") {
        w.serial = str(o["serial"]);
        w.serialHex = o["serial_hex"].toString().toStdString();
        w.end.identified = true;
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
    } else if (name == "writing") {
        w.end.writing = true;
    } else if (name == "after") {
        w.after = o["firmware_version"].toInt();
    } else if (name == "result") {
        w.end.hasResult = true;
        w.end.said = Outcome(o["exit"].toInt());
        w.end.firmwareConfirmed = o["firmware_confirmed"].toBool();
        w.end.tableSent = o["table_sent"].toBool();
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
    // Serials are compared as the device's four bytes: two that differ only after a zero
    // byte, or only in bytes a terminal cannot show, are two devices.
    std::map<std::string, int> bySerial;
    for (const auto &w : workers_)
        if (w->state == State::Waiting || (w->state == State::Running && w->word == "go"))
            ++bySerial[w->serialHex];
    std::map<std::string, std::string> stayed; // the serials of updated devices still in their sockets
    for (const auto &[port, held] : held_)
        if (held.awayAtMs < 0 && !held.serialHex.empty())
            stayed[held.serialHex] = port;
    const int64_t now = clock_.elapsed();
    for (const auto &w : workers_) {
        if (w->state != State::Waiting)
            continue;
        const auto held = held_.find(w->port);
        const auto twin = stayed.find(w->serialHex);
        if (bySerial[w->serialHex] > 1 || (twin != stayed.end() && twin->second != w->port)) {
            say(*w, "refuse");
        } else if (held != held_.end() && held->second.serialHex == w->serialHex && held->second.awayAtMs >= 0 &&
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
    w.end.exitedNormally = status == QProcess::NormalExit;
    w.end.exitCode = exitCode;
    const Outcome outcome = workerOutcome(w.end);
    if (outcome == Outcome::WorkerLost || outcome == Outcome::Unidentified) {
        const std::string how = w.end.exitedNormally ? "ended without its result"
                                                     : "ended abnormally (" + w.process->errorString().toStdString() + ")";
        w.message = outcome == Outcome::Unidentified ? "the update of this device " + how + " before it said which device it found; nothing was written"
                    : w.end.writing ? "the update of this device " + how + " while the device was written: the device may be "
                                      "without working firmware; plug it in again and update it once more"
                                    : "the update of this device " + how + " before the device was written";
        recordLost(w); // its own record went with it
    } else if (outcome == Outcome::Internal && w.end.hasResult && w.end.said == Outcome::Updated) {
        w.message = "the update of this device said it succeeded, but not that the device confirmed its firmware and "
                    "took its table";
    }
    held_[w.port] = Held {w.serialHex, identify(w.port), -1}; // left alone until it is unplugged
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
    row.serialHex = w.serialHex;
    row.hardwareVersion = w.hardware;
    row.firmwareBefore = w.before;
    row.firmwareAfter = w.after;
    row.battery = w.battery;
    row.outcome = outcome;
    row.message = w.message;
    row.durationS = double(w.since.elapsed()) / 1000.0;
    rows_.push_back(row);
    std::string error;
    if (!report_.append(row, error) && !reportFailed_) {
        reportFailed_ = true;
        print("mova-update: cannot write the report: " + error, true);
    }
    if (json_) {
        QJsonObject event = row.object();
        event["event"] = "report";
        std::cout << QJsonDocument(event).toJson(QJsonDocument::Compact).toStdString() << std::endl;
    } else {
        char duration[32];
        std::snprintf(duration, sizeof duration, "%.0f s", row.durationS);
        print(shortPort(w.port) + ": " + (w.serial.empty() ? "-" : w.serial) + "  " + outcomeName(row.outcome) + "  " +
                  shownText(row.message) + "  (" + duration + ")",
              row.outcome != Outcome::Updated);
    }
    decide(); // a worker that waited for this one's serial may go on now
    redraw();
}

// A worker that ended without its result took its run record with it: the batch keeps one
// for it, so that the log still shows what became of the device.
void Batch::recordLost(const Worker &w)
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    QJsonObject o {{"start", now.addMSecs(-w.since.elapsed()).toString(Qt::ISODateWithMs)},
                   {"end", now.toString(Qt::ISODateWithMs)},
                   {"version", QTX_APP_VERSION},
                   {"program", "mova-update"},
                   {"port", QString::fromStdString(shownText(w.port))},
                   {"batch", QString::fromStdString(id_)},
                   {"writing", w.end.writing},
                   {"outcome", outcomeName(workerOutcome(w.end))},
                   {"exit", int(workerOutcome(w.end))},
                   {"text", QString::fromStdString(w.message)}};
    if (w.end.identified)
        o["device"] = QJsonObject {{"serial", QString::fromStdString(w.serial)},
                                   {"serial_hex", QString::fromStdString(w.serialHex)},
                                   {"hardware_version", w.hardware.value_or(0)},
                                   {"firmware_version", w.before.value_or(0)}};
    store_.append(QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString());
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
    const std::string left = w.left ? "~" + std::to_string(std::lround(*w.left)) + "s left" : "";
    const std::string stage = w.state == State::Identifying ? "Connect..."
                              : w.state == State::Waiting   ? "waiting for the others"
                                                            : w.stage;
    char percent[16];
    std::snprintf(percent, sizeof percent, "%3d %%  ", w.percent);
    return fitted(shortPort(w.port), 28) + " " + fitted(w.serial, 6) + " " + fitted(stage, 22) + " " + percent + left;
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
        std::cout << QJsonDocument(QJsonObject {{"event", "batch"}, {"id", QString::fromStdString(id_)}, {"repeat", a_.repeat}})
                         .toJson(QJsonDocument::Compact)
                         .toStdString()
                  << std::endl;
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
    std::map<std::string, int> failures; // how many devices came to each outcome but "updated"
    int updated = 0;
    for (const ReportRow &row : rows_) {
        outcomes.push_back(row.outcome);
        updated += row.outcome == Outcome::Updated;
        if (row.outcome != Outcome::Updated)
            ++failures[outcomeName(row.outcome)];
    }
    const int failed = int(rows_.size()) - updated;
    Outcome worst = worstOutcome(outcomes);
    if (rows_.empty() && stopping_)
        worst = Outcome::Interrupted;
    const std::string summary = std::to_string(rows_.size()) + " device" + (rows_.size() == 1 ? "" : "s") + ": " +
                                std::to_string(updated) + " updated, " + std::to_string(failed) + " failed";
    std::string failedBy; // "1 ended abnormally, 1 transfer failed"
    QJsonObject byOutcome;
    for (const auto &[name, count] : failures) {
        failedBy += (failedBy.empty() ? "" : ", ") + std::to_string(count) + " " + name;
        byOutcome[QString::fromStdString(name)] = count;
    }
    if (json_) {
        const QJsonObject summaryEvent {{"event", "summary"}, {"devices", int(rows_.size())}, {"updated", updated},
                                        {"failed", failed}, {"failed_by_outcome", byOutcome}};
        const QJsonObject result {{"event", "result"}, {"ok", worst == Outcome::Updated}, {"exit", int(worst)},
                                  {"outcome", outcomeName(worst)}, {"text", QString::fromStdString(summary)}};
        std::cout << QJsonDocument(summaryEvent).toJson(QJsonDocument::Compact).toStdString() << "\n"
                  << QJsonDocument(result).toJson(QJsonDocument::Compact).toStdString() << std::endl;
    } else {
        (worst == Outcome::Updated ? std::cout : std::cerr)
            << summary << (failedBy.empty() ? "" : "\nfailed: " + failedBy)
            << (worst == Outcome::Updated ? "" : std::string("\nmova-update: ") + outcomeName(worst)) << std::endl;
    }
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
