// mova-update: the updater without a window, for scripts and headless machines. The same
// link, readout, loader and update run as the window, with the same operator texts.
#include "build_settings.h"
#include "clock.h"
#include "console_screen.h"
#include "monitor.h"
#include "outcome.h"
#include "session.h"
#include "trace.h"
#include "update_run.h"
#include "usb_connection.h"

#include <QCoreApplication>
#include <QFile>
#include <cstdio>
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
    if (session.link->permissionDenied())
        screen.event("hint", {{"text", ConsoleScreen::quoted(permissionHint(session.portPath))}},
                     permissionHint(session.link->lastError()));
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
    UpdateButtonClick(session, screen, realClock(), payloads);
    if (screen.finished) {
        const bool table = !screen.messages.empty() && screen.messages.back() == "Update and Language sended success!";
        screen.event("table", {{"sent", table ? "true" : "false"}}, {});
        return finish(screen, Outcome::Updated, screen.messages.empty() ? std::string() : screen.messages.back());
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
    UsbConnection link(realClock());
    Session session;
    session.link = &link;
    session.expectedHardwareVersion = BuildSettings::compiled().expectedHardwareVersion();
    session.portPathOverride = a.port;
    if (a.command == "info")
        return info(session, screen);
    return update(session, screen, {a.firmware, a.table});
}
