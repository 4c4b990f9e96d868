// mova-update: the updater without a window, for scripts and headless machines. The same
// link, readout, loader and update run as the window, with the same operator texts.
#include "build_settings.h"
#include "clock.h"
#include "console_screen.h"
#include "monitor.h"
#include "outcome.h"
#include "protocol.h"
#include "readout.h"
#include "session.h"
#include "stop_signals.h"
#include "trace.h"
#include "update_run.h"
#include "usb_connection.h"

#include <QCoreApplication>
#include <QFile>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <cstring>
#include <iostream>
#include <unistd.h>

namespace {

const char *const Usage = R"(usage: mova-update [options] COMMAND
commands:
  info                 find the device, greet it, and print who it is and its battery
  update               install the carried firmware and translation table
  image-info [FILE]    what the update would make of the carried firmware (or FILE)
options:
  --port PATH          the device's terminal, instead of looking for it
  --yes                answer the question before an update with yes
  --json               one JSON object per line for every event
  --trace              every byte to and from the device on standard error
  --hardware N         image-info: the hardware version to size the image for (default 24)
  --firmware FILE.hex  update from this Intel HEX text instead of the carried one
  --table FILE         update with this translation table instead of the carried one
exit status:
  0  updated (the device confirmed the new firmware), or info/image-info succeeded
  1  usage error
  2  not connected: no device found, or it cannot be opened or does not answer
  3  device refused: status, erase or transfer mode refused
  4  transfer failed: a block was not taken
  5  verify failed: the read-back or the device's confirmation failed
  6  payload invalid: the firmware text does not load
  7  operator declined the question (or it could not be asked: no terminal, no --yes)
  8  not allowed: the device's hardware version is not the build's, or its firmware is
     older than version 7; nothing was sent to it
  9  firmware installed and confirmed, but the translation table was not sent
 10  stopped by the operator (Ctrl-C twice within 5 s) while the device was being written:
     update it again before using it
130  interrupted by a signal (Ctrl-C) before anything was written to the device
)";

struct Arguments {
    std::string command, file, port, firmware = ":/FIRMWARE_HEX", table = ":/LANGUAGE_TRA";
    bool json = false, yes = false, trace = false;
    int hardware = 24;
};

bool parse(int argc, char **argv, Arguments &a)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string &to) {
            if (i + 1 >= argc)
                return false;
            to = argv[++i];
            return true;
        };
        std::string number;
        if (arg == "--json") a.json = true;
        else if (arg == "--yes") a.yes = true;
        else if (arg == "--trace") a.trace = true;
        else if (arg == "--port") { if (!value(a.port)) return false; }
        else if (arg == "--firmware") { if (!value(a.firmware)) return false; }
        else if (arg == "--table") { if (!value(a.table)) return false; }
        else if (arg == "--hardware") {
            if (!value(number)) return false;
            a.hardware = std::atoi(number.c_str());
        } else if (arg.rfind("--", 0) == 0) return false;
        else if (a.command.empty()) a.command = arg;
        else if (a.command == "image-info" && a.file.empty()) a.file = arg;
        else return false;
    }
    return a.command == "info" || a.command == "update" || a.command == "image-info";
}

int finish(ConsoleScreen &screen, Outcome outcome, const std::string &text)
{
    screen.event("result",
                 {{"ok", outcome == Outcome::Updated ? "true" : "false"},
                  {"exit", std::to_string(int(outcome))},
                  {"outcome", ConsoleScreen::quoted(outcomeName(outcome))},
                  {"text", ConsoleScreen::quoted(text)}},
                 outcome == Outcome::Updated ? std::string() : "mova-update: " + std::string(outcomeName(outcome)));
    return int(outcome);
}

// Finds and identifies the device as the window's first tick does; false when it is not there.
bool connect(Session &session, ConsoleScreen &screen)
{
    pollDevice(session, screen, realClock());
    if (session.link->isOpen())
        return true;
    screen.message(screen.deviceLine);
    if (const std::string hint = openFailureHint(*session.link); !hint.empty())
        screen.event("hint", {{"text", ConsoleScreen::quoted(hint)}}, hint);
    return false;
}

int info(Session &session, ConsoleScreen &screen)
{
    if (!connect(session, screen))
        return finish(screen, Outcome::NotConnected, screen.deviceLine);
    const DeviceRecord &r = session.record;
    const Calibration &c = screen.calibration;
    char calibration[128], infoText[16];
    std::snprintf(calibration, sizeof calibration, "Koef X %d Y %d Z %d Mag %d, Offset X %d Y %d Z %d", c.koefX,
                  c.koefY, c.koefZ, c.koefM, c.offsX, c.offsY, c.offsZ);
    std::snprintf(infoText, sizeof infoText, "0x%X", unsigned(screen.info));
    const std::string status = r.deviceStatus == DeviceRecord::NoStatus ? "none" : std::to_string(r.deviceStatus);
    const std::string plain = screen.deviceLine + "\nserial number     " + screen.serial +
                              "\nhardware version  " + std::to_string(r.hardwareVersion) + "\nstatus            " +
                              status + "\ndevice info       " + infoText + "\ncalibration       " + calibration +
                              "\nbattery           " + screen.battery + "\nupdate            " +
                              (screen.updateAllowed ? "allowed" : "not allowed by this build");
    using Q = ConsoleScreen;
    screen.event("device",
                 {{"line", Q::quoted(screen.deviceLine)}, {"serial", Q::quoted(screen.serial)},
                  {"hardware_version", std::to_string(r.hardwareVersion)},
                  {"firmware_version", std::to_string(r.firmwareVersion)}, {"status", Q::quoted(status)},
                  {"device_info", Q::quoted(infoText)}, {"calibration", Q::quoted(calibration)},
                  {"battery", Q::quoted(screen.battery)}, {"update_allowed", screen.updateAllowed ? "true" : "false"},
                  {"port", Q::quoted(session.portPath)}},
                 plain);
    return finish(screen, Outcome::Updated, screen.deviceLine);
}

int update(Session &session, ConsoleScreen &screen, const Payloads &payloads)
{
    if (!connect(session, screen))
        return finish(screen, Outcome::NotConnected, screen.deviceLine);
    // The window's button stays disabled for such a device; nothing may be sent to it here
    // either, or a build for another hardware would overwrite its firmware.
    if (const std::string refusal = updateRefusal(session.expectedHardwareVersion, session.record); !refusal.empty()) {
        screen.message("Not updated: " + refusal + ".");
        return finish(screen, Outcome::NotAllowed, refusal);
    }
    realClock().pump(); // a stop asked for while the device was read is heard before it is written
    const RunResult result = UpdateButtonClick(session, screen, realClock(), payloads);
    if (result.stopped)
        return finish(screen, Outcome::Stopped, StoppedByOperator);
    if (result.firmwareConfirmed) {
        screen.event("table", {{"sent", result.tableSent ? "true" : "false"}}, {});
        const std::string last = screen.messages.empty() ? std::string() : screen.messages.back();
        return finish(screen, result.tableSent ? Outcome::Updated : Outcome::TableNotSent, last);
    }
    if (screen.declined)
        return finish(screen, Outcome::Declined, "the operator declined");
    if (screen.messages.empty()) // a firmware text without its end record stops without a word
        return finish(screen, Outcome::PayloadInvalid, "the firmware text has no end-of-file record");
    return finish(screen, classify(screen.messages.back()), screen.messages.back());
}

int imageInfo(const Arguments &a, ConsoleScreen &screen)
{
    const ImageLoad load = loadFirmwareImage(a.hardware, a.file.empty() ? a.firmware : a.file);
    const FirmwareImage &image = load.image;
    if (!load.ok || !image.endOfFile) {
        const std::string text = !load.ok ? load.message : "no end-of-file record: the update would stop without a word";
        screen.message(text);
        return finish(screen, Outcome::PayloadInvalid, text);
    }
    char plain[512];
    std::snprintf(plain, sizeof plain,
                  "hardware version  %d\nrecords           %d\nlinear base       0x%08X\nimage length      %u\n"
                  "imageTop          0x%X\ncapacity          0x%X\nblocks of 1024    %u\nblocks of 512     %u",
                  a.hardware, image.records + 1, image.linearBase, image.length(), image.imageTop, image.capacity(),
                  (image.length() + 1023) / 1024, (image.length() + 511) / 512);
    screen.event("image",
                 {{"hardware_version", std::to_string(a.hardware)}, {"records", std::to_string(image.records + 1)},
                  {"linear_base", std::to_string(image.linearBase)}, {"length", std::to_string(image.length())},
                  {"image_top", std::to_string(image.imageTop)}, {"capacity", std::to_string(image.capacity())},
                  {"blocks_1024", std::to_string((image.length() + 1023) / 1024)},
                  {"blocks_512", std::to_string((image.length() + 511) / 512)}},
                 plain);
    return finish(screen, Outcome::Updated, {});
}

constexpr int SecondSignalWithinMs = 5000; // a second Ctrl-C this soon stops a running update

// What a signal does to the command line. Before the device is written to, the program ends
// at once and politely; while it is written to, stopping would leave it without working
// firmware, so it takes a second Ctrl-C (or SIGTERM) to stop, and a lost terminal (SIGHUP)
// does not stop it at all.
class SignalPolicy {
public:
    SignalPolicy(Session &session, ConsoleScreen &screen) : session_(session), screen_(screen) {}

    void operator()(int signalNumber)
    {
        if (!session_.updateRunning)
            leaveNow(signalNumber);
        if (signalNumber == SIGHUP) {
            dropOutput();
            return;
        }
        const int64_t now = realClock().nowMs();
        if (firstAt_ >= 0 && now - firstAt_ <= SecondSignalWithinMs) {
            session_.stopRequested = true;
            return;
        }
        firstAt_ = now;
        std::cout << std::endl;
        std::cerr << "mova-update: an update is running; stopping now leaves the device without working "
                     "firmware. Press Ctrl-C again within 5 s to stop anyway."
                  << std::endl;
    }

private:
    [[noreturn]] void leaveNow(int signalNumber)
    {
        UsbConnection &link = *session_.link;
        if (link.isOpen()) {
            // The goodbye the window's close sends: the device leaves its session with us.
            uint8_t byte = 0;
            link.read(&byte, 1);
            if (link.sendCommand(Cmd::Leave, link.doubled()))
                link.read(&byte, 1);
        }
        link.close();
        finish(screen_, Outcome::Interrupted, std::string("stopped by signal ") + ::strsignal(signalNumber));
        std::cout.flush();
        std::_Exit(int(Outcome::Interrupted));
    }

    // The terminal is gone: what the run still has to say goes nowhere, without an error.
    static void dropOutput()
    {
        const int nowhere = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        if (nowhere < 0)
            return;
        ::dup2(nowhere, STDIN_FILENO);
        ::dup2(nowhere, STDOUT_FILENO);
        ::dup2(nowhere, STDERR_FILENO);
        ::close(nowhere);
    }

    Session &session_;
    ConsoleScreen &screen_;
    int64_t firstAt_ = -1;
};

} // namespace

int main(int argc, char **argv)
{
    Arguments a;
    if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::cout << Usage;
        return 0;
    }
    if (!parse(argc, argv, a)) {
        std::cerr << Usage;
        return int(Outcome::Usage);
    }
    if (a.trace)
        Trace::setEnabled(true);
    ConsoleScreen screen({a.json, a.yes, isatty(0) == 1, isatty(1) == 1 && !a.json});
    if (a.command == "image-info")
        return imageInfo(a, screen);
    QCoreApplication application(argc, argv); // the device's waits let an event loop run
    // Output to a reader that went away fails quietly instead of killing a running update.
    std::signal(SIGPIPE, SIG_IGN);
    UsbConnection link(realClock());
    Session session;
    session.link = &link;
    SignalPolicy policy(session, screen);
    StopSignals stopSignals({SIGINT, SIGTERM, SIGHUP}, [&policy](int number) { policy(number); });
    screen.whileAsking = [] { QCoreApplication::processEvents(); };
    session.expectedHardwareVersion = BuildSettings::compiled().expectedHardwareVersion();
    session.portPathOverride = a.port;
    if (a.command == "info")
        return info(session, screen);
    return update(session, screen, {a.firmware, a.table});
}
