#include "cli_arguments.h"

#include <cerrno>
#include <cstdlib>

const char *const UsageText = R"(usage: mova-update [options] info|update|image-info [FILE]|list|log
commands:
  info                 find the device, greet it, and print who it is and its battery
  update               install the carried firmware and translation table
  image-info [FILE]    what the update would make of the carried firmware (or FILE)
  log [-n N] [--export FILE.tar.gz]
                       the update runs kept on this machine, newest first: the last N (20);
                       --export writes them to FILE.tar.gz instead, as a support bundle: a
                       gzip-compressed tar of mova-support/runs.jsonl (the records as kept),
                       traces/ (last-trace.log and each last-trace-K.log, byte for byte),
                       version.txt (--version and the build's settings) and list.txt (what
                       list prints), nothing else; a file FILE is replaced, a folder, link
                       or device of that name refused
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
  --yes                answer the question before an update with yes
  --allow-low-battery  update even when the battery shows less than 20 % (refused otherwise)
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
     info/image-info succeeded
  1  usage error
  2  not connected: no device found, or it cannot be opened or does not answer
  3  device refused: status, erase, transfer mode or a block refused
  4  transfer failed: a block was not taken
  5  verify failed: the read-back or the device's confirmation failed
  6  payload invalid: a firmware or table file is missing, not a regular file, unreadable,
     empty or too large, or the firmware text does not load (checked before the device
     is touched)
  7  not confirmed: the operator declined the question, or it could not be asked (no
     terminal, --json, or a batch; --yes answers it)
  8  not allowed: the device's hardware version is not the build's, or its firmware is
     older than version 7; nothing was sent to it
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
its own; 0 when every device was updated, else the code of the worst outcome among them,
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

} // namespace

bool parseArguments(int argc, char **argv, int defaultHardware, CliArguments &a, std::string &error)
{
    bool hardwareGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string &to) {
            if (i + 1 >= argc) {
                error = "option '" + arg + "' needs a value";
                return false;
            }
            to = argv[++i];
            return true;
        };
        auto number = [&](int low, int high, int &to) {
            std::string text;
            if (!value(text))
                return false;
            if (parseNumber(text, low, high, to))
                return true;
            error = arg + " takes a whole number from " + std::to_string(low) + " to " + std::to_string(high) +
                    ", not '" + text + "'";
            return false;
        };
        if (arg == "--help" || arg == "-h") { a.command = "help"; return true; }
        if (arg == "--version") { a.command = "version"; return true; }
        if (arg == "--json") a.json = true;
        else if (arg == "--yes") a.yes = true;
        else if (arg == "--trace") a.trace = true;
        else if (arg == "--allow-low-battery") a.allowLowBattery = true;
        else if (arg == "--port") {
            if (!value(a.ports.emplace_back()))
                return false;
        } else if (arg == "--all") a.all = true;
        else if (arg == "--repeat") a.repeat = true;
        else if (arg == "--count") { if (!number(1, 100000, a.devices)) return false; }
        else if (arg == "--report") { if (!value(a.report)) return false; }
        else if (arg == "--worker") { if (!value(a.worker)) return false; }
        else if (arg == "--worker-slot") { if (!number(1, 1000, a.workerSlot)) return false; }
        else if (arg == "-n") { if (!number(1, 100000, a.count)) return false; }
        else if (arg == "--export") {
            if (!value(a.exportTo))
                return false;
            if (a.exportTo.empty()) {
                error = "--export needs a file name";
                return false;
            }
        }
        else if (arg == "--firmware") { if (!value(a.firmware)) return false; }
        else if (arg == "--table") { if (!value(a.table)) return false; }
        else if (arg == "--hardware") {
            if (!number(0, 255, a.hardware))
                return false;
            hardwareGiven = true;
        } else if (arg.rfind("-", 0) == 0 && arg != "-") {
            error = "unknown option '" + arg + "'";
            return false;
        } else if (a.command.empty()) {
            if (!isCommand(arg)) {
                error = "unknown command '" + arg + "'";
                return false;
            }
            a.command = arg;
        } else if (a.command == "image-info" && a.file.empty()) {
            a.file = arg;
        } else {
            error = "unexpected argument '" + arg + "'";
            return false;
        }
    }
    if (a.command.empty()) {
        error = "no command given";
        return false;
    }
    if (a.command != "update" && (a.batch() || !a.report.empty())) {
        error = "--all, --repeat, --report and more than one --port go with update only";
        return false;
    }
    if (!a.exportTo.empty() && a.command != "log") {
        error = "--export goes with log only";
        return false;
    }
    if (a.devices != 0 && !a.repeat) {
        error = "--count goes with --repeat";
        return false;
    }
    if (a.all && !a.ports.empty()) {
        error = "--all looks for the devices itself: give it or --port, not both";
        return false;
    }
    if (!hardwareGiven)
        a.hardware = defaultHardware != 0 ? defaultHardware : DefaultHardwareVersion;
    return true;
}
