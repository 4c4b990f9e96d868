#include "cli_arguments.h"
#include "argument_reader.h"

#include <cerrno>
#include <cstdlib>
#include <string_view>

const char *const UsageText = R"(usage: mova-update [options] info|update|image-info [FILE]|list|log
commands:
  info                 find the device, greet it, and print who it is and its battery
  update               install the carried firmware and translation table
  image-info [FILE]    what the update would make of the carried firmware (or FILE)
  log [-n N] [filters] [--export FILE.tar.gz | --journal | --journal-dir DIR]
                       the update runs kept on this machine, newest first: the last N (20)
                       that pass every filter given;
                       --export writes them to FILE.tar.gz instead, as a support bundle: a
                       gzip-compressed tar of mova-support/runs.jsonl (the records as kept),
                       traces/ (last-trace.log and each trace-RUN.log, byte for byte),
                       version.txt (--version and the build's settings) and list.txt (what
                       list prints), nothing else; a file FILE is replaced, a folder, link
                       or device of that name refused; --journal reads the runs from the
                       system journal instead, --journal-dir from the journal files in DIR
                       (as a collector gathers them from many stations), each with its host
log filters:
  --serial S           the device whose serial is S, as shown or as its bytes in hex
  --since T, --until T ended at or after T, or before T is over; T is YYYY-MM-DD or
                       YYYY-MM-DDTHH:MM[:SS] (a space for the T), local time unless followed
                       by Z or an offset (+01:00)
  --failed             runs that did not succeed (anything but updated, already current, ok)
  --outcome NAME       runs that came to NAME, as log shows it (_ for a space: not_connected)
  list                 the USB serial devices and converters present, and the one it would use
options:
  --port PATH          the device's terminal, instead of looking for it; update: give it
                       once for each device to update side by side
  --all                update: every matching device present, side by side
  --repeat             update: the device present, then each next one plugged in, until
                       Ctrl-C between two devices (or --count N devices)
  --count N            with --repeat: stop after N devices
  --report FILE        update: one row per device appended to FILE, as CSV, or as JSON
                       lines when FILE ends in .jsonl
  --on-result PROGRAM  update: run PROGRAM (a path, or a name looked up in PATH; no
                       arguments, no shell) after each device's update ends, the device's
                       facts in its environment (MOVA_SERIAL, MOVA_OUTCOME, ...: see
                       mova-update(1)); at most 10 s each; its failure is said and kept in
                       hooks.jsonl, and never changes the device's outcome
  --label NAME=PATH    update: the socket at PATH (/dev/serial/by-path/..., or an emulated
                       device's link) is called NAME in the live lines, the report, the
                       record and the journal, for this run; as often as needed (the
                       station's names are kept in ~/.config/qtx-mova-update/sockets.conf)
  --yes                answer the question before an update with yes
  --allow-low-battery  update even when the battery shows less than 20 % (refused otherwise)
  --reinstall          update: write the carried firmware to a device that has it already
                       (left as it is otherwise: "already current")
  --allow-older        update: install the carried firmware on a device whose firmware is
                       newer (refused otherwise: a downgrade)
  --json               one JSON object per line for every event
  --trace              every byte to and from the device on standard error
  --hardware N         image-info: the hardware version to size the image for (0..255;
                       default: the build's, or 24 when the build names none)
  --firmware FILE.hex  update from this Intel HEX text instead of the carried one
  --table FILE         update with this translation table instead of the carried one
  --version            the program's version, the carried firmware and the build's hardware
  --help               this text
results go to standard output, errors and warnings to standard error
exit status:
  0  updated (the device confirmed the new firmware and took the translation table), or
     already current (the device has the carried firmware: nothing was written, unless
     --reinstall), or info/image-info succeeded
  1  usage error
  2  not connected: no device found, or it cannot be opened or does not answer
  3  device refused: status, erase, transfer mode or a block refused
  4  transfer failed: a block was not taken
  5  verify failed: the read-back or the device's confirmation failed
  6  payload invalid: a firmware or table file is missing, not a regular file, unreadable,
     empty or too large, the firmware text does not load, or the table is not a
     translation table (it does not begin with "LANG"); checked before the device is
     touched
  7  not confirmed: the operator declined the question, or it could not be asked (no
     terminal, --json, or a batch; --yes answers it)
  8  not allowed: the device's hardware version is not the build's, or its firmware is
     older than version 7, or newer than the carried one (--allow-older installs the
     older one), or its firmware version is not two digits; nothing was sent to it
  9  firmware installed and confirmed, but the translation table was not sent
 10  stopped by the operator (Ctrl-C twice within 5 s) while the device was being written:
     update it again before using it
 11  internal error of the program (out of memory, a system failure)
 12  battery low: below 20 %, and --allow-low-battery was not given; nothing was sent
 13  the device has the same serial number as another device present: not updated
 14  several devices: this device's process got no word to go on; not updated
 15  several devices: this device's process ended without saying which device it found
 16  several devices: this device's process ended abnormally (crashed, killed); if it was
     writing the device, the device may be without working firmware: update it again
 17  device lost: the device went away (unplugged, cable or power failed) while it was
     written; it may be without working firmware (or, lost during its table, it has its
     new firmware and lacks its menu texts): plug it in again and update it again
130  interrupted by a signal (Ctrl-C) before anything was written to the device
several devices (--all, --repeat, --port more than once): each is updated by a process of
its own; 0 when every device was updated or already current, else the code of the worst outcome among them,
worst first: 10 16 17 11 5 4 3 9 13 15 14 2 12 8 7 6 130
)";

std::string usageLine()
{
    return "usage: mova-update [options] info|update|image-info [FILE]|list|log  (mova-update --help for more)";
}

namespace {

bool isCommand(const std::string &word)
{
    return word == "info" || word == "update" || word == "image-info" || word == "log" || word == "list";
}

// A whole decimal number in [low, high], nothing around it.
bool parseNumber(const std::string &text, int low, int high, int &value)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 6)
        return false;
    const long v = std::strtol(text.c_str(), nullptr, 10);
    if (v < low || v > high)
        return false;
    value = int(v);
    return true;
}

// The options that only switch something on, besides the batch's (BatchSwitches).
struct Switch {
    std::string_view name;
    bool CliArguments::*flag;
};
constexpr Switch Switches[] = {
    {"--json", &CliArguments::json},
    {"--all", &CliArguments::all},
    {"--repeat", &CliArguments::repeat},
};

// The options whose value is taken as it is, besides the batch's (BatchValues).
struct TextOption {
    std::string_view name;
    std::string CliArguments::*to;
};
constexpr TextOption TextOptions[] = {
    {"--worker", &CliArguments::worker},
    {"--run-id", &CliArguments::runId},
    {"--socket", &CliArguments::socket},
};

// The options whose value is a whole number in [low, high].
struct NumberOption {
    std::string_view name;
    int low, high;
    int CliArguments::*to;
};
constexpr NumberOption NumberOptions[] = {
    {"--count", 1, 100000, &CliArguments::devices},
    {"-n", 1, 100000, &CliArguments::count},
    {"--hardware", 0, 255, &CliArguments::hardware},
};

// argv, one argument at a time (see ArgumentReader for why by hand), its failure said in
// mova-update's words.
class CliReader : public ArgumentReader {
public:
    CliReader(int argc, char **argv, std::string &error) : ArgumentReader(argc, argv), error_(error) {}
    bool fail(std::string message)
    {
        error_ = std::move(message);
        return false;
    }
    bool value(std::string &to)
    {
        std::optional<std::string> given = ArgumentReader::value();
        if (!given)
            return fail("option '" + arg() + "' needs a value");
        to = std::move(*given);
        return true;
    }
    bool number(int low, int high, int &to)
    {
        std::string text;
        if (!value(text))
            return false;
        if (parseNumber(text, low, high, to))
            return true;
        return fail(arg() + " takes a whole number from " + std::to_string(low) + " to " + std::to_string(high) +
                    ", not '" + text + "'");
    }

private:
    std::string &error_;
};

enum class Option { Read, Failed, NoOption };

Option outcome(bool read)
{
    return read ? Option::Read : Option::Failed;
}

// The filters of `log` and where it reads.
Option readLogOption(CliReader &r, CliArguments &a)
{
    const std::string &arg = r.arg();
    std::string value;
    if (arg == "--failed" || arg == "--journal") {
        (arg == "--failed" ? a.filter.failed : a.journal) = true;
        return Option::Read;
    }
    if (arg != "--serial" && arg != "--since" && arg != "--until" && arg != "--outcome" && arg != "--journal-dir")
        return Option::NoOption;
    if (!r.value(value))
        return Option::Failed;
    if (value.empty())
        return outcome(r.fail(arg + " needs a value"));
    if (arg == "--serial" || arg == "--journal-dir") {
        (arg == "--serial" ? a.filter.serial : a.journalDir) = value;
        return Option::Read;
    }
    if (arg == "--outcome") {
        a.filter.outcome = outcomeNamed(value);
        std::string names;
        for (const std::string &name : outcomeNames())
            names += (names.empty() ? "" : ", ") + name;
        return outcome(!a.filter.outcome.empty() || r.fail("--outcome takes one of " + names + "; not '" + value + "'"));
    }
    QDateTime bound;
    if (!parseTimeBound(value, arg == "--until", bound))
        return outcome(r.fail(arg + " takes " + TimeBoundForms + ", not '" + value + "'"));
    (arg == "--since" ? a.filter.since : a.filter.until) = bound;
    return Option::Read;
}

// The option the reader is at, with its value, when it is one.
Option readOption(CliReader &r, CliArguments &a, bool &hardwareGiven)
{
    const std::string &arg = r.arg();
    if (const Switch *s = optionNamed(Switches, arg))
        return a.*s->flag = true, Option::Read;
    for (const BatchOption<bool> &o : BatchSwitches)
        if (arg == o.option)
            return a.*o.field = true, Option::Read;
    if (const TextOption *o = optionNamed(TextOptions, arg))
        return outcome(r.value(a.*o->to));
    for (const BatchOption<std::string> &o : BatchValues)
        if (arg == o.option)
            return outcome(r.value(a.*o.field));
    if (const NumberOption *o = optionNamed(NumberOptions, arg)) {
        hardwareGiven = hardwareGiven || o->to == &CliArguments::hardware;
        return outcome(r.number(o->low, o->high, a.*o->to));
    }
    if (arg == "--port")
        return outcome(r.value(a.ports.emplace_back()));
    if (arg == "--label") {
        std::string label, why;
        if (!r.value(label))
            return Option::Failed;
        return outcome(SocketNames().add(label, why) ? (a.labels.push_back(label), true) : r.fail("--label: " + why));
    }
    if (arg == "--export") {
        if (!r.value(a.exportTo))
            return Option::Failed;
        return outcome(!a.exportTo.empty() || r.fail("--export needs a file name"));
    }
    return readLogOption(r, a);
}

// An argument that is none of the options: the command, or image-info's FILE.
bool readWord(CliReader &r, CliArguments &a)
{
    const std::string &arg = r.arg();
    if (arg.rfind("-", 0) == 0 && arg != "-")
        return r.fail("unknown option '" + arg + "'");
    if (a.command.empty()) {
        if (!isCommand(arg))
            return r.fail("unknown command '" + arg + "'");
        a.command = arg;
    } else if (a.command == "image-info" && a.file.empty()) {
        a.file = arg;
    } else {
        return r.fail("unexpected argument '" + arg + "'");
    }
    return true;
}

// The options that go with some commands or options only, once all are read.
bool checkCombinations(CliReader &r, const CliArguments &a)
{
    if (a.command.empty())
        return r.fail("no command given");
    if (a.command != "update" && (a.batch() || !a.report.empty() || !a.onResult.empty()))
        return r.fail("--all, --repeat, --report, --on-result and more than one --port go with update only");
    if (!a.exportTo.empty() && a.command != "log")
        return r.fail("--export goes with log only");
    if ((a.filter.any() || a.journal || !a.journalDir.empty()) && a.command != "log")
        return r.fail("--journal, --journal-dir and the log filters go with log only");
    if (!a.exportTo.empty() && (a.journal || !a.journalDir.empty()))
        return r.fail("--export bundles this machine's record: not with --journal or --journal-dir");
    if (a.journal && !a.journalDir.empty())
        return r.fail("--journal reads this machine's journal, --journal-dir a folder's: give one");
    if (a.devices != 0 && !a.repeat)
        return r.fail("--count goes with --repeat");
    if (a.all && !a.ports.empty())
        return r.fail("--all looks for the devices itself: give it or --port, not both");
    return true;
}

} // namespace

bool socketNames(const CliArguments &a, SocketNames &names, std::string &error)
{
    if (!names.load(SocketNames::standardFile(), error))
        return false;
    for (const std::string &label : a.labels)
        names.add(label, error); // each was read once already
    return true;
}

bool parseArguments(int argc, char **argv, int defaultHardware, CliArguments &a, std::string &error)
{
    CliReader r(argc, argv, error);
    bool hardwareGiven = false;
    while (r.next()) {
        if (r.asksHelp()) {
            a.command = "help";
            return true;
        }
        if (r.arg() == "--version") {
            a.command = "version";
            return true;
        }
        const Option option = readOption(r, a, hardwareGiven);
        if (option == Option::Failed || (option == Option::NoOption && !readWord(r, a)))
            return false;
    }
    if (!checkCombinations(r, a))
        return false;
    if (!hardwareGiven)
        a.hardware = defaultHardware != 0 ? defaultHardware : DefaultHardwareVersion;
    return true;
}
