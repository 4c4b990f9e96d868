// mova-sim's command line: one handler for each option, in a table.
#include "sim_options.h"
#include "argument_reader.h"
#include "battery.h"
#include "replay_main.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string_view>

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
  --fw VV                 firmware version, 2 digits (default 67, one before the carried
                          firmware; --fw 68 gives a device that has it already)
  --date YYMMDD           firmware date (default 211019)
  --fw-after VV           the firmware it runs after an update it confirmed (default: the
                          carried firmware's version and date; "" keeps --fw)
  --info N                device-information byte (default 0)
  --status N|none         status byte after the identity record (default 1)
  --calibration B,..|none 8 calibration bytes (default 100,100,100,100,0,0,0,0)
  --battery W[,W..]       words of the 0x5A reply, as the protocol has them (default 2940:
                          76 %; with two words or more the last is the device's own percent)
  --battery-percent P     a 0x5A reply the tool shows as P % (0 to 100)
  --battery-raw N         answer only 0x65, with this reading
  --no-battery            answer neither battery command
  --ftdi                  commands come doubled, as on the FTDI road
  --reset-downtime MS     how long the device is away after a reset (default 1500)
  --link-after-reset PATH where it comes back after a reset (default: the same link)
  --neighbour-at-reset    with --devices 2 or more: when device 1 restarts, device 2 leaves
                          its own link and takes device 1's, while device 1 comes back
                          under --link-after-reset's PATH-1 (default: LINK-1-after-reset);
                          answers "neighbour LINK took the place of device 1"
  --trace FILE            append every byte with its time to FILE: "MS in|out HEX", with
                          N > 1 devices "K MS in|out HEX" (K: the device)
  --serial-after-restart TEXT  who the device is when it comes back after the update
  --no-restart            the device does not restart after confirming a new firmware
  --erase-step MS         time between the erase's progress bytes (default 200)
  --fault NAME[:ARG][@K]  start with a fault switched on, on every device or on device K;
                          ARG narrows it to a command byte (echo faults) or a block index
                          (block and read-back faults)
control lines on standard input, for device K (default 1); from a terminal only while
mova-sim is its foreground job (started with '&' it leaves the terminal to the shell until
"fg"; or give them through a FIFO: "mkfifo ctl; mova-sim ... <>ctl &", then "echo unplug >ctl"):
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
faults (CMD or BLOCK: ARG narrows the fault to that command byte or block index, from 0;
without ARG it strikes every time; a BLOCK read-back fault strikes its first sending only):
)";

std::vector<long> numbers(const std::string &text)
{
    std::vector<long> v;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ','))
        v.push_back(simNumber(item));
    return v;
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

// The command line, one argument at a time (see ArgumentReader for why by hand), a missing
// value said in mova-sim's words.
class Arguments : public ArgumentReader {
public:
    using ArgumentReader::ArgumentReader;
    std::string value()
    {
        std::optional<std::string> given = ArgumentReader::value();
        if (!given)
            throw std::runtime_error(arg() + " needs a value");
        return std::move(*given);
    }
};

DeviceModel::Config &device(SimOptions &o)
{
    return o.emulator.device;
}

DeviceModel::Identity &identity(SimOptions &o)
{
    return o.emulator.device.identity;
}

void readDevices(Arguments &in, SimOptions &o)
{
    o.devices = int(digitsOnly(in.value()));
    if (o.devices < 1 || o.devices > MaxDevices)
        throw std::runtime_error("--devices takes 1 to " + std::to_string(MaxDevices));
}

void readStatus(Arguments &in, SimOptions &o)
{
    const std::string v = in.value();
    identity(o).status = v == "none" ? std::nullopt : std::optional<uint8_t>(uint8_t(simNumber(v)));
}

void readCalibration(Arguments &in, SimOptions &o)
{
    const std::string v = in.value();
    if (v == "none") {
        device(o).calibration.reset();
        return;
    }
    std::vector<uint8_t> bytes;
    for (long n : numbers(v))
        bytes.push_back(uint8_t(n));
    device(o).calibration = bytes;
}

void readBattery(Arguments &in, SimOptions &o)
{
    DeviceModel::Battery &battery = device(o).battery;
    battery.mode = DeviceModel::BatteryMode::Extended;
    battery.words.clear();
    for (long n : numbers(in.value()))
        battery.words.push_back(uint16_t(n));
}

// What the tool is to show, rather than the words it reads it from: the tool's own formula
// turned round, so that the two cannot disagree.
void readBatteryPercent(Arguments &in, SimOptions &o)
{
    const std::string v = in.value();
    const long percent = digitsOnly(v);
    if (percent < 0 || percent > 100)
        throw std::runtime_error("--battery-percent takes 0 to 100 (not \"" + v + "\")");
    DeviceModel::Battery &battery = device(o).battery;
    battery.mode = DeviceModel::BatteryMode::Extended;
    battery.words = batteryWordsShowing(int(percent));
}

void readBatteryRaw(Arguments &in, SimOptions &o)
{
    device(o).battery.mode = DeviceModel::BatteryMode::RawOnly;
    device(o).battery.raw = uint16_t(simNumber(in.value()));
}

// NAME[:ARG][@K]
void readFault(Arguments &in, SimOptions &o)
{
    std::string v = in.value();
    StartFault f;
    if (const auto at = v.rfind('@'); at != std::string::npos) {
        f.device = int(digitsOnly(v.substr(at + 1)));
        if (f.device < 1)
            throw std::runtime_error("--fault " + v + ": no device " + v.substr(at + 1));
        v.erase(at);
    }
    const auto colon = v.find(':');
    f.name = v.substr(0, colon);
    f.argument = colon == std::string::npos ? -1 : int(simNumber(v.substr(colon + 1)));
    o.faults.push_back(f);
}

struct Option {
    std::string_view name;
    void (*read)(Arguments &in, SimOptions &o);
};

const Option Options[] = {
    // The bench: how many devices, where they are published, what is written down.
    {"--link", [](Arguments &in, SimOptions &o) { o.emulator.link = in.value(); }},
    {"--devices", readDevices},
    {"--reset-downtime",
     [](Arguments &in, SimOptions &o) { o.emulator.resetDowntimeMs = int(simNumber(in.value())); }},
    {"--link-after-reset", [](Arguments &in, SimOptions &o) { o.emulator.linkAfterReset = in.value(); }},
    {"--neighbour-at-reset", [](Arguments &, SimOptions &o) { o.neighbourAtReset = true; }},
    {"--trace", [](Arguments &in, SimOptions &o) { o.tracePath = in.value(); }},
    {"--fault", readFault},
    // Who the device is.
    {"--hw", [](Arguments &in, SimOptions &o) { identity(o).hardwareVersion = uint8_t(simNumber(in.value())); }},
    {"--serial", [](Arguments &in, SimOptions &o) { identity(o).serial = in.value(); }},
    {"--serial-hex", [](Arguments &in, SimOptions &o) { identity(o).serial = fourBytes(in.value()); }},
    {"--fw", [](Arguments &in, SimOptions &o) { identity(o).firmwareVersion = in.value(); }},
    {"--date", [](Arguments &in, SimOptions &o) { identity(o).firmwareDate = in.value(); }},
    {"--info", [](Arguments &in, SimOptions &o) { identity(o).deviceInfo = uint8_t(simNumber(in.value())); }},
    {"--status", readStatus},
    {"--calibration", readCalibration},
    // Its battery.
    {"--battery", readBattery},
    {"--battery-percent", readBatteryPercent},
    {"--battery-raw", readBatteryRaw},
    {"--no-battery", [](Arguments &, SimOptions &o) { device(o).battery.mode = DeviceModel::BatteryMode::None; }},
    // How it behaves.
    {"--serial-after-restart", [](Arguments &in, SimOptions &o) { device(o).serialAfterRestart = in.value(); }},
    {"--fw-after",
     [](Arguments &in, SimOptions &o) {
         device(o).firmwareAfterUpdate = in.value();
         device(o).firmwareDateAfterUpdate.clear(); // a version of the operator's: its date unknown, kept
     }},
    {"--no-restart", [](Arguments &, SimOptions &o) { device(o).restartAfterUpdate = false; }},
    {"--erase-step", [](Arguments &in, SimOptions &o) { device(o).eraseStepMs = int(simNumber(in.value())); }},
    {"--ftdi", [](Arguments &, SimOptions &o) { device(o).doubledRoad = true; }},
};

// What the options say together, once all are read.
void check(const SimOptions &o)
{
    const std::string &serial = o.emulator.device.identity.serial;
    if (o.devices > 1 && digitsOnly(serial) < 0)
        throw std::runtime_error("--devices " + std::to_string(o.devices) + " counts serials up from --serial, "
                                 "which must be 1 to 9 digits (not \"" + serial + "\")");
    if (o.neighbourAtReset && o.devices < 2)
        throw std::runtime_error("--neighbour-at-reset needs a neighbour: --devices 2 or more");
    for (const StartFault &f : o.faults)
        if (f.device > o.devices)
            throw std::runtime_error("--fault " + f.name + "@" + std::to_string(f.device) + ": no device "
                                     + std::to_string(f.device));
}

} // namespace

void printUsage(std::ostream &out)
{
    out << Usage;
    for (const DeviceModel::Fault &f : DeviceModel::faults()) {
        const std::string name = f.name;
        out << "  " << name << std::string(name.size() < 28 ? 28 - name.size() : 1, ' ') << f.what << "\n";
    }
    printReplayUsage(out);
}

long simNumber(const std::string &text)
{
    return std::strtol(text.c_str(), nullptr, 0);
}

long digitsOnly(const std::string &text)
{
    if (text.empty() || text.size() > 9
        || !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); }))
        return -1;
    return std::stol(text);
}

SimOptions parseSimOptions(int argc, char **argv)
{
    SimOptions o;
    o.emulator.link = "/tmp/mova-sim/ttyMOVA";
    Arguments in(argc, argv);
    while (in.next()) {
        if (in.asksHelp()) {
            printUsage(std::cout);
            std::exit(0);
        }
        const Option *option = optionNamed(Options, in.arg());
        if (!option)
            throw std::runtime_error("unknown option " + in.arg());
        option->read(in, o);
    }
    check(o);
    return o;
}
