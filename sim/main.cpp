// mova-sim: the emulated device on a pseudo-terminal.
//
//   mova-sim --link /tmp/mova-sim/ttyMOVA [device options] [--trace FILE]
//
// Standard input takes control lines while it runs:
//   unplug | plug [LINK] | fault NAME on|off [COMMAND] | quit
#include "pty_emulator.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <poll.h>
#include <sstream>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

const char *Usage = R"(usage: mova-sim [options]
  --link PATH             symlink to publish for the device (default /tmp/mova-sim/ttyMOVA)
  --hw N                  hardware version (default 24)
  --serial TEXT           serial number, 4 characters (default 0042)
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
  --trace FILE            append every byte with its time to FILE
  --serial-after-restart TEXT  who the device is when it comes back after the update
  --no-restart            the device does not restart after confirming a new firmware
  --erase-step MS         time between the erase's progress bytes (default 200)
  --fault NAME[:ARG]      start with a fault switched on; ARG narrows it to a command byte
                          (echo faults) or a block index (block and read-back faults)
control lines on standard input: unplug | plug [LINK] | fault NAME on|off [ARG] | quit
faults:)";

void printUsage(std::ostream &out)
{
    out << Usage;
    for (const std::string &name : DeviceModel::faultNames())
        out << " " << name;
    out << "\n";
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

bool parse(int argc, char **argv, PtyEmulator::Options &o, std::string &tracePath,
           std::vector<std::pair<std::string, int>> &faults)
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
        else if (a == "--hw") d.identity.hardwareVersion = uint8_t(number(value()));
        else if (a == "--serial") d.identity.serial = value();
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
            const std::string v = value();
            const auto colon = v.find(':');
            faults.emplace_back(v.substr(0, colon), colon == std::string::npos ? -1 : int(number(v.substr(colon + 1))));
        } else if (a == "--help" || a == "-h") {
            printUsage(std::cout);
            std::exit(0);
        } else {
            throw std::runtime_error("unknown option " + a);
        }
    }
    return true;
}

class TraceFile {
public:
    explicit TraceFile(const std::string &path) : out_(path, std::ios::app) {}
    bool ok() const { return bool(out_); }
    // Writes what the device saw and said since the last call: "<ms> <in|out> <hex>".
    void flush(PtyEmulator &emulator)
    {
        const auto entries = emulator.trace();
        for (; written_ < entries.size(); ++written_) {
            const auto &e = entries[written_];
            char line[64];
            std::snprintf(line, sizeof line, "%lld %s %02X\n", static_cast<long long>(e.ms),
                          e.direction == '<' ? "in" : "out", e.byte);
            out_ << line;
        }
        out_.flush();
    }

private:
    std::ofstream out_;
    size_t written_ = 0;
};

// One control line; false for quit.
bool control(PtyEmulator &emulator, const std::string &line)
{
    std::istringstream in(line);
    std::string verb, a, b, c;
    in >> verb >> a >> b >> c;
    if (verb == "quit")
        return false;
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
    } else if (!verb.empty()) {
        std::cout << "unknown control line: " << line << std::endl;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    PtyEmulator::Options options;
    std::string tracePath;
    std::vector<std::pair<std::string, int>> faults;
    try {
        parse(argc, argv, options, tracePath, faults);
    } catch (const std::exception &e) {
        std::cerr << "mova-sim: " << e.what() << "\n";
        printUsage(std::cerr);
        return 2;
    }
    // The link's folder is made if missing, as udev makes /dev/serial/by-id.
    const std::string folder = options.link.substr(0, options.link.rfind('/'));
    if (!folder.empty())
        std::system(("mkdir -p '" + folder + "'").c_str());

    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    const int signalFd = signalfd(-1, &signals, SFD_CLOEXEC);

    PtyEmulator emulator(options);
    for (const auto &[name, command] : faults) {
        if (!emulator.withModel([&](DeviceModel &m) { return m.setFault(name, true, command); })) {
            std::cerr << "mova-sim: unknown fault " << name << "\n";
            return 2;
        }
    }
    std::string why;
    if (!emulator.start(&why)) {
        std::cerr << "mova-sim: " << why << "\n";
        return 1;
    }
    std::unique_ptr<TraceFile> trace;
    if (!tracePath.empty()) {
        trace = std::make_unique<TraceFile>(tracePath);
        if (!trace->ok()) {
            std::cerr << "mova-sim: cannot write " << tracePath << "\n";
            return 1;
        }
    }
    std::cout << "mova-sim: device on " << emulator.link() << " (" << emulator.slavePath() << ")" << std::endl;

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
                    run = control(emulator, pending.substr(0, nl));
                    pending.erase(0, nl + 1);
                }
            }
        }
        if (trace)
            trace->flush(emulator);
    }
    emulator.stop();
    if (trace)
        trace->flush(emulator);
    return 0;
}
