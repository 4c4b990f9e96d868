// mova-sim: the emulated device on a pseudo-terminal, or a bench of several.
//
//   mova-sim --link /tmp/mova-sim/ttyMOVA [--devices N] [device options] [--trace FILE]
//
// Standard input takes control lines while it runs, each for device K (default 1):
//   unplug [@K] | plug [LINK] [@K] | fault NAME on|off [COMMAND] [@K] | next [@K] | quit
#include "pty_emulator.h"
#include "standard_descriptors.h"
#include "replay_main.h"

#include <algorithm>
#include <cctype>
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

namespace {

constexpr int MaxDevices = 32;

const char *Usage = R"(usage: mova-sim [options]
  --link PATH             symlink to publish for the device (default /tmp/mova-sim/ttyMOVA)
  --devices N             serve N devices at once, 1 to 32 (default 1); with N > 1 device K
                          is published as PATH-K (and comes back after a reset as
                          --link-after-reset's PATH-K), its serial counts up from --serial,
                          which must then be digits (0042, 0043, ...)
  --hw N                  hardware version (default 24)
  --serial TEXT           serial number, 4 characters (default 0042)
  --serial-hex HEX        serial number as 4 bytes in hexadecimal, any bytes (1b5b324a, 41004243)
  --fw VV                 firmware version, 2 digits (default 68)
  --date YYMMDD           firmware date (default 211019)
  --info N                device-information byte (default 0)
  --status N|none         status byte after the identity record (default 1)
  --calibration B,..|none 8 calibration bytes (default 100,100,100,100,0,0,0,0)
  --battery W[,W..]       words of the 0x5A reply (default 2940)
  --battery-raw N         answer only 0x65, with this reading
  --no-battery            answer neither battery command
  --ftdi                  commands come doubled, as on the FTDI road
  --reset-downtime MS     how long the device is away after a reset (default 1500)
  --link-after-reset PATH where it comes back after a reset (default: the same link)
  --trace FILE            append every byte with its time to FILE: "MS in|out HEX", with
                          N > 1 devices "K MS in|out HEX" (K: the device)
  --serial-after-restart TEXT  who the device is when it comes back after the update
  --no-restart            the device does not restart after confirming a new firmware
  --erase-step MS         time between the erase's progress bytes (default 200)
  --fault NAME[:ARG][@K]  start with a fault switched on, on every device or on device K;
                          ARG narrows it to a command byte (echo faults) or a block index
                          (block and read-back faults)
control lines on standard input, for device K (default 1):
  unplug [@K]             pull the device out; answers "unplugged"
  plug [LINK] [@K]        plug it back in, under LINK if given; answers "plugged LINK -> PTY"
  fault NAME on|off [ARG] [@K]  switch a fault; answers "fault NAME on|off" (or "unknown
                          fault NAME")
  next [@K]               swap in a fresh device (blank, no faults, the other options the
                          same) whose serial is one more than the highest handed out;
                          answers "next LINK serial SSSS", or "no serial after SSSS" when
                          --serial is not digits or the count outgrows its width
  quit
  a device number that is not there answers "no device K"
faults:)";

void printUsage(std::ostream &out)
{
    out << Usage;
    for (const std::string &name : DeviceModel::faultNames())
        out << " " << name;
    out << "\n";
    printReplayUsage(out);
}

long number(const std::string &text)
{
    return std::strtol(text.c_str(), nullptr, 0);
}

std::vector<long> numbers(const std::string &text)
{
    std::vector<long> v;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ','))
        v.push_back(number(item));
    return v;
}

struct StartFault {
    std::string name;
    int argument = -1;
    int device = 0; // 0: every device
};

// A whole number made only of digits, or -1: "3x" or "-1" must not pass for a count.
long digitsOnly(const std::string &text)
{
    if (text.empty() || text.size() > 9
        || !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); }))
        return -1;
    return std::stol(text);
}

// A device chooses its serial's bytes: a test device may hold any, zero bytes included.
std::string fourBytes(const std::string &hex)
{
    if (hex.size() != 8 || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        throw std::runtime_error("--serial-hex takes 8 hexadecimal digits (not \"" + hex + "\")");
    std::string bytes;
    for (size_t i = 0; i < 8; i += 2)
        bytes += char(std::stoi(hex.substr(i, 2), nullptr, 16));
    return bytes;
}

bool parse(int argc, char **argv, PtyEmulator::Options &o, int &devices, std::string &tracePath,
           std::vector<StartFault> &faults)
{
    o.link = "/tmp/mova-sim/ttyMOVA";
    DeviceModel::Config &d = o.device;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                throw std::runtime_error(a + " needs a value");
            return argv[++i];
        };
        if (a == "--link") o.link = value();
        else if (a == "--devices") {
            devices = int(digitsOnly(value()));
            if (devices < 1 || devices > MaxDevices)
                throw std::runtime_error("--devices takes 1 to " + std::to_string(MaxDevices));
        }
        else if (a == "--hw") d.identity.hardwareVersion = uint8_t(number(value()));
        else if (a == "--serial") d.identity.serial = value();
        else if (a == "--serial-hex") d.identity.serial = fourBytes(value());
        else if (a == "--fw") d.identity.firmwareVersion = value();
        else if (a == "--date") d.identity.firmwareDate = value();
        else if (a == "--info") d.identity.deviceInfo = uint8_t(number(value()));
        else if (a == "--status") {
            const std::string v = value();
            d.identity.status = v == "none" ? std::nullopt : std::optional<uint8_t>(uint8_t(number(v)));
        } else if (a == "--calibration") {
            const std::string v = value();
            if (v == "none") {
                d.calibration.reset();
            } else {
                std::vector<uint8_t> bytes;
                for (long n : numbers(v))
                    bytes.push_back(uint8_t(n));
                d.calibration = bytes;
            }
        } else if (a == "--battery") {
            d.battery.mode = DeviceModel::BatteryMode::Extended;
            d.battery.words.clear();
            for (long n : numbers(value()))
                d.battery.words.push_back(uint16_t(n));
        } else if (a == "--battery-raw") {
            d.battery.mode = DeviceModel::BatteryMode::RawOnly;
            d.battery.raw = uint16_t(number(value()));
        } else if (a == "--no-battery") d.battery.mode = DeviceModel::BatteryMode::None;
        else if (a == "--serial-after-restart") d.serialAfterRestart = value();
        else if (a == "--no-restart") d.restartAfterUpdate = false;
        else if (a == "--erase-step") d.eraseStepMs = int(number(value()));
        else if (a == "--ftdi") d.doubledRoad = true;
        else if (a == "--reset-downtime") o.resetDowntimeMs = int(number(value()));
        else if (a == "--link-after-reset") o.linkAfterReset = value();
        else if (a == "--trace") tracePath = value();
        else if (a == "--fault") {
            std::string v = value();
            StartFault f;
            if (const auto at = v.rfind('@'); at != std::string::npos) {
                f.device = int(digitsOnly(v.substr(at + 1)));
                if (f.device < 1)
                    throw std::runtime_error("--fault " + v + ": no device " + v.substr(at + 1));
                v.erase(at);
            }
            const auto colon = v.find(':');
            f.name = v.substr(0, colon);
            f.argument = colon == std::string::npos ? -1 : int(number(v.substr(colon + 1)));
            faults.push_back(f);
        } else if (a == "--help" || a == "-h") {
            printUsage(std::cout);
            std::exit(0);
        } else {
            throw std::runtime_error("unknown option " + a);
        }
    }
    if (devices > 1 && digitsOnly(d.identity.serial) < 0)
        throw std::runtime_error("--devices " + std::to_string(devices) + " counts serials up from --serial, "
                                 "which must be 1 to 9 digits (not \"" + d.identity.serial + "\")");
    for (const StartFault &f : faults)
        if (f.device > devices)
            throw std::runtime_error("--fault " + f.name + "@" + std::to_string(f.device) + ": no device "
                                     + std::to_string(f.device));
    return true;
}

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
        const int command = c.empty() ? -1 : int(number(c));
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

} // namespace

int main(int argc, char **argv)
{
    keepStandardDescriptorsOpen();
    if (replayRequested(argc, argv))
        return replayMain(argc, argv);
    PtyEmulator::Options options;
    int devices = 1;
    std::string tracePath;
    std::vector<StartFault> faults;
    try {
        parse(argc, argv, options, devices, tracePath, faults);
    } catch (const std::exception &e) {
        std::cerr << "mova-sim: " << e.what() << "\n";
        printUsage(std::cerr);
        return 2;
    }
    // Without a trace file the devices keep no byte history: a bench runs for days.
    options.device.keepHistory = !tracePath.empty();
    // The link's folder is made if missing, as udev makes /dev/serial/by-id.
    const std::string folder = options.link.substr(0, options.link.rfind('/'));
    std::error_code made;
    if (!folder.empty())
        std::filesystem::create_directories(folder, made); // a folder it cannot make shows when the link fails

    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    const int signalFd = signalfd(-1, &signals, SFD_CLOEXEC);

    Bench bench {{}, {}, Serials(options.device.identity.serial), nullptr};
    for (int k = 1; k <= devices; ++k) {
        PtyEmulator::Options o = options;
        if (devices > 1) {
            o.link += "-" + std::to_string(k);
            if (!o.linkAfterReset.empty())
                o.linkAfterReset += "-" + std::to_string(k);
            if (k > 1) {
                const std::optional<std::string> serial = bench.serials.next();
                if (!serial) {
                    std::cerr << "mova-sim: " << devices << " serials from " << options.device.identity.serial
                              << " do not fit in its " << options.device.identity.serial.size() << " digits\n";
                    return 2;
                }
                o.device.identity.serial = *serial;
            }
        }
        bench.options.push_back(o);
        bench.devices.push_back(std::make_unique<PtyEmulator>(o));
    }
    for (const StartFault &f : faults) {
        for (int k = 1; k <= devices; ++k) {
            if (f.device != 0 && f.device != k)
                continue;
            auto setFault = [&](DeviceModel &m) { return m.setFault(f.name, true, f.argument); };
            if (!bench.devices[size_t(k - 1)]->withModel(setFault)) {
                std::cerr << "mova-sim: unknown fault " << f.name << "\n";
                return 2;
            }
        }
    }
    for (auto &emulator : bench.devices) {
        std::string why;
        if (!emulator->start(&why)) {
            std::cerr << "mova-sim: " << why << "\n";
            return 1;
        }
    }
    std::unique_ptr<TraceFile> trace;
    if (!tracePath.empty()) {
        trace = std::make_unique<TraceFile>(tracePath, devices);
        if (!trace->ok()) {
            std::cerr << "mova-sim: cannot write " << tracePath << "\n";
            return 1;
        }
        bench.trace = trace.get();
    }
    for (auto &emulator : bench.devices)
        std::cout << "mova-sim: device on " << emulator->link() << " (" << emulator->slavePath() << ")" << std::endl;

    bool stdinOpen = true;
    std::string pending;
    for (bool run = true; run;) {
        pollfd fds[2] = {{signalFd, POLLIN, 0}, {stdinOpen ? 0 : -1, POLLIN, 0}};
        ::poll(fds, 2, 50);
        if (fds[0].revents & POLLIN)
            break;
        if (fds[1].revents & (POLLIN | POLLHUP)) {
            char chunk[256];
            const ssize_t n = ::read(0, chunk, sizeof chunk);
            if (n <= 0) {
                stdinOpen = false; // no controller: run until a signal ends us
            } else {
                pending.append(chunk, size_t(n));
                for (size_t nl; run && (nl = pending.find('\n')) != std::string::npos;) {
                    run = control(bench, pending.substr(0, nl));
                    pending.erase(0, nl + 1);
                }
            }
        }
        if (trace)
            trace->flush(bench.devices);
    }
    for (auto &emulator : bench.devices)
        emulator->stop();
    if (trace)
        trace->flush(bench.devices);
    return 0;
}
