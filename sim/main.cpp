// mova-sim: the emulated device on a pseudo-terminal, or a bench of several.
//
//   mova-sim --link /tmp/mova-sim/ttyMOVA [--devices N] [device options] [--trace FILE]
//
// Standard input takes control lines while it runs, each for device K (default 1):
//   unplug [@K] | plug [LINK] [@K] | fault NAME on|off [COMMAND] [@K] | next [@K] | quit
// A terminal's lines are taken only while mova-sim is its foreground job: started with '&'
// from a shell it leaves the shell its input, and `fg` hands it the terminal.
#include "pty_emulator.h"
#include "standard_descriptors.h"
#include "replay_main.h"
#include "sim_options.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <poll.h>
#include <sstream>
#include <sys/signalfd.h>
#include <unistd.h>
#include <utility>

namespace {

// The serials a bench hands out: counted up in decimal from the first, at its width, so
// the tool sees the same kind of number on every unit.
class Serials {
public:
    explicit Serials(std::string first) : last_(std::move(first)), number_(digitsOnly(last_)) {}
    // The one after the highest handed out; none when the first is not a number or the
    // count would outgrow its width (the device sends only so many characters).
    std::optional<std::string> next()
    {
        if (number_ < 0)
            return std::nullopt;
        const std::string digits = std::to_string(number_ + 1);
        if (digits.size() > last_.size())
            return std::nullopt;
        ++number_;
        last_ = std::string(last_.size() - digits.size(), '0') + digits;
        return last_;
    }
    const std::string &last() const { return last_; }

private:
    std::string last_;
    long number_;
};

class TraceFile {
public:
    TraceFile(const std::string &path, int devices) : out_(path, std::ios::app), numbered_(devices > 1) {}
    bool ok() const { return bool(out_); }
    // Writes what the devices saw and said since the last call: "<ms> <in|out> <hex>", led
    // by the device's number on a bench. What the devices did since the last call is merged
    // by time, so a reader follows the bench as it happened, not one device after another.
    // The devices forget what was written: a long bench holds only what came since.
    void flush(const std::vector<std::unique_ptr<PtyEmulator>> &devices)
    {
        struct Line {
            int64_t ms;
            std::string text;
        };
        std::vector<Line> lines;
        for (size_t k = 0; k < devices.size(); ++k) {
            for (const DeviceModel::TraceEntry &e : devices[k]->takeTrace()) {
                char line[64];
                std::snprintf(line, sizeof line, "%lld %s %02X\n", static_cast<long long>(e.ms),
                              e.direction == '<' ? "in" : "out", e.byte);
                lines.push_back({e.ms, (numbered_ ? std::to_string(k + 1) + " " : std::string()) + line});
            }
        }
        std::stable_sort(lines.begin(), lines.end(), [](const Line &a, const Line &b) { return a.ms < b.ms; });
        for (const Line &l : lines)
            out_ << l.text;
        out_.flush();
    }

private:
    std::ofstream out_;
    bool numbered_;
};

struct Bench {
    std::vector<std::unique_ptr<PtyEmulator>> devices;
    std::vector<PtyEmulator::Options> options; // what each was started with
    Serials serials;
    TraceFile *trace = nullptr;
};

// One control line; false for quit.
bool control(Bench &bench, const std::string &line)
{
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;)
        words.push_back(w);
    if (words.empty())
        return true;
    const std::string verb = words[0];
    if (verb == "quit")
        return false;
    if (verb != "unplug" && verb != "plug" && verb != "fault" && verb != "next") {
        std::cout << "unknown control line: " << line << std::endl;
        return true;
    }
    std::string which = "1";
    if (words.size() > 1 && words.back().front() == '@') {
        which = words.back().substr(1);
        words.pop_back();
    }
    const long k = digitsOnly(which);
    if (k < 1 || size_t(k) > bench.devices.size()) {
        std::cout << "no device " << which << std::endl;
        return true;
    }
    words.resize(std::max<size_t>(words.size(), 4));
    const std::string &a = words[1], &b = words[2], &c = words[3];
    PtyEmulator &emulator = *bench.devices[size_t(k - 1)];
    if (verb == "unplug") {
        emulator.unplug();
        std::cout << "unplugged" << std::endl;
    } else if (verb == "plug") {
        emulator.plug(a);
        std::cout << "plugged " << emulator.link() << " -> " << emulator.slavePath() << std::endl;
    } else if (verb == "fault") {
        const int command = c.empty() ? -1 : int(simNumber(c));
        const bool ok = emulator.withModel([&](DeviceModel &m) { return m.setFault(a, b == "on", command); });
        std::cout << (ok ? "fault " + a + " " + b : "unknown fault " + a) << std::endl;
    } else if (verb == "next") {
        const std::optional<std::string> serial = bench.serials.next();
        if (!serial) {
            std::cout << "no serial after " << bench.serials.last() << std::endl;
            return true;
        }
        DeviceModel::Config config = bench.options[size_t(k - 1)].device;
        config.identity.serial = *serial;
        // Out first, and its last bytes written, before the new model takes its place.
        emulator.unplug();
        if (bench.trace)
            bench.trace->flush(bench.devices);
        const bool ok = emulator.replaceDevice(config);
        if (ok)
            std::cout << "next " << emulator.link() << " serial " << *serial << std::endl;
        else
            std::cout << "next " << emulator.link() << " not plugged in" << std::endl;
    }
    return true;
}

// Signals end the program through a descriptor the loop polls, not at any point of it.
int blockEndingSignals()
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    return signalfd(-1, &signals, SFD_CLOEXEC);
}

// Device 2 takes device 1's link when device 1 restarts (once), and device 1 comes back
// elsewhere: the tool finds another device where the one it reset was.
void takePlaceAtReset(Bench &bench, PtyEmulator::Options &first)
{
    if (first.linkAfterReset.empty())
        first.linkAfterReset = first.link + "-after-reset";
    first.onReset = [&bench, link = first.link, taken = false]() mutable {
        if (std::exchange(taken, true))
            return;
        PtyEmulator &neighbour = *bench.devices[1];
        neighbour.unplug();
        neighbour.plug(link);
        std::cout << "neighbour " << neighbour.link() << " took the place of device 1" << std::endl;
    };
}

// The devices, each under its own link and serial on a bench; false when the serials run out.
bool makeDevices(const SimOptions &o, Bench &bench)
{
    const PtyEmulator::Options &options = o.emulator;
    for (int k = 1; k <= o.devices; ++k) {
        PtyEmulator::Options each = options;
        if (o.devices > 1) {
            each.link += "-" + std::to_string(k);
            if (!each.linkAfterReset.empty())
                each.linkAfterReset += "-" + std::to_string(k);
            if (k > 1) {
                const std::optional<std::string> serial = bench.serials.next();
                if (!serial) {
                    std::cerr << "mova-sim: " << o.devices << " serials from " << options.device.identity.serial
                              << " do not fit in its " << options.device.identity.serial.size() << " digits\n";
                    return false;
                }
                each.device.identity.serial = *serial;
            }
        }
        if (k == 1 && o.neighbourAtReset)
            takePlaceAtReset(bench, each);
        bench.options.push_back(each);
        bench.devices.push_back(std::make_unique<PtyEmulator>(each));
    }
    return true;
}

bool switchStartFaults(const std::vector<StartFault> &faults, Bench &bench)
{
    for (const StartFault &f : faults) {
        for (size_t k = 1; k <= bench.devices.size(); ++k) {
            if (f.device != 0 && size_t(f.device) != k)
                continue;
            auto setFault = [&](DeviceModel &m) { return m.setFault(f.name, true, f.argument); };
            if (!bench.devices[k - 1]->withModel(setFault)) {
                std::cerr << "mova-sim: unknown fault " << f.name << "\n";
                return false;
            }
        }
    }
    return true;
}

bool startDevices(Bench &bench)
{
    for (auto &emulator : bench.devices) {
        std::string why;
        if (!emulator->start(&why)) {
            std::cerr << "mova-sim: " << why << "\n";
            return false;
        }
    }
    return true;
}

// Whether standard input is ours to read: a pipe or a file always, a terminal only while our
// process group is in its foreground. A background job that reads its terminal is stopped,
// and its shell's next command would find no device.
bool ownsStandardInput()
{
    return !::isatty(0) || ::tcgetpgrp(0) == ::getpgrp();
}

// Serves the devices and takes control lines from standard input until quit or a signal.
void serve(Bench &bench, int signalFd)
{
    // Sent to the background between the look and the read, the read fails instead of stopping us.
    std::signal(SIGTTIN, SIG_IGN);
    bool stdinOpen = true;
    std::string pending;
    for (bool run = true; run;) {
        pollfd fds[2] = {{signalFd, POLLIN, 0}, {stdinOpen && ownsStandardInput() ? 0 : -1, POLLIN, 0}};
        ::poll(fds, 2, 50);
        if (fds[0].revents & POLLIN)
            break;
        if (fds[1].revents & (POLLIN | POLLHUP)) {
            char chunk[256];
            const ssize_t n = ::read(0, chunk, sizeof chunk);
            if (n < 0 && (errno == EIO || errno == EINTR || errno == EAGAIN) && ::isatty(0)) {
                continue; // the terminal is another job's for now
            } else if (n <= 0) {
                stdinOpen = false; // no controller: run until a signal ends us
            } else {
                pending.append(chunk, size_t(n));
                for (size_t nl; run && (nl = pending.find('\n')) != std::string::npos;) {
                    run = control(bench, pending.substr(0, nl));
                    pending.erase(0, nl + 1);
                }
            }
        }
        if (bench.trace)
            bench.trace->flush(bench.devices);
    }
}

} // namespace

int main(int argc, char **argv)
{
    keepStandardDescriptorsOpen();
    if (replayRequested(argc, argv))
        return replayMain(argc, argv);
    SimOptions o;
    try {
        o = parseSimOptions(argc, argv);
    } catch (const std::exception &e) {
        std::cerr << "mova-sim: " << e.what() << "\n";
        printUsage(std::cerr);
        return 2;
    }
    // Without a trace file the devices keep no byte history: a bench runs for days.
    o.emulator.device.keepHistory = !o.tracePath.empty();
    // The link's folder is made if missing, as udev makes /dev/serial/by-id.
    const std::string folder = o.emulator.link.substr(0, o.emulator.link.rfind('/'));
    std::error_code made;
    if (!folder.empty())
        std::filesystem::create_directories(folder, made); // a folder it cannot make shows when the link fails
    const int signalFd = blockEndingSignals();

    Bench bench {{}, {}, Serials(o.emulator.device.identity.serial), nullptr};
    if (!makeDevices(o, bench) || !switchStartFaults(o.faults, bench))
        return 2;
    if (!startDevices(bench))
        return 1;
    std::unique_ptr<TraceFile> trace;
    if (!o.tracePath.empty()) {
        trace = std::make_unique<TraceFile>(o.tracePath, o.devices);
        if (!trace->ok()) {
            std::cerr << "mova-sim: cannot write " << o.tracePath << "\n";
            return 1;
        }
        bench.trace = trace.get();
    }
    for (auto &emulator : bench.devices)
        std::cout << "mova-sim: device on " << emulator->link() << " (" << emulator->slavePath() << ")" << std::endl;

    serve(bench, signalFd);
    for (auto &emulator : bench.devices)
        emulator->stop();
    if (trace)
        trace->flush(bench.devices);
    return 0;
}
