// mova-update: the updater without a window, for scripts and headless machines. The same
// link, readout, loader and update run as the window, with the same operator texts.
#include "batch_report.h"
#include "build_settings.h"
#include "cli_arguments.h"
#include "cli_batch.h"
#include "cli_log.h"
#include "cli_list.h"
#include "live_columns.h"
#include "cli_signals.h"
#include "clock.h"
#include "console_progress.h"
#include "console_screen.h"
#include "device_listing.h"
#include "discovery.h"
#include "failure_guide.h"
#include "firmware_image.h"
#include "monitor.h"
#include "operator_messages.h"
#include "outcome.h"
#include "file_writer.h"
#include "output_writer.h"
#include "payload_file.h"
#include "handshake.h"
#include "readout.h"
#include "run_record.h"
#include "safe_text.h"
#include "session.h"
#include "standard_descriptors.h"
#include "stop_signals.h"
#include "support_bundle.h"
#include "trace.h"
#include "transfer_plan.h"
#include "update_run.h"
#include "cli_info.h"
#include "cli_update.h"
#include "usb_connection.h"

#include <QCoreApplication>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <poll.h>
#include <unistd.h>

namespace {

int imageInfo(const CliArguments &a, ConsoleScreen &screen)
{
    const std::string path = a.file.empty() ? a.firmware : a.file;
    const ImageLoad load = loadFirmwareImage(a.hardware, path);
    const FirmwareImage &image = load.image;
    if (!load.ok || !image.endOfFile) {
        // A file that cannot be read is said as update says it, with the same reason.
        const MessageId id = !load.reason.empty() ? MessageId::PayloadInvalid : load.messageId;
        const std::string text = !load.reason.empty() ? messageText(MessageId::PayloadInvalid, load.reason)
                                 : !load.ok           ? load.message
                                                      : "no end-of-file record: the update would stop without a word";
        const QByteArray hex = !load.ok && load.reason.empty() ? readPayloadFile(path, PayloadKind::Firmware).bytes
                                                                : QByteArray();
        const std::string name = isCarried(path) ? BuildSettings::compiled().firmwareName + " (carried)" : path;
        RunMessage said = RunMessage::of(id, text);
        said.file = name, said.line = brokenLine(load, {hex.constData(), size_t(hex.size())});
        screen.message(said);
        return finishReading(screen, Outcome::PayloadInvalid, text);
    }
    const BlockCounts blocks = firmwareBlockCounts(image.length());
    char plain[512];
    std::snprintf(plain, sizeof plain,
                  "hardware version  %d\nrecords           %d\nlinear base       0x%08X\nimage length      %u\n"
                  "highest offset    0x%X\ncapacity          0x%X\nblocks of 1024    %d\nblocks of 512     %d",
                  a.hardware, image.records + 1, image.linearBase, image.length(), image.imageTop, image.capacity(),
                  blocks.of1K, blocks.of512);
    screen.event(JsonLine::event("image")
                     .number("hardware_version", a.hardware)
                     .number("records", image.records + 1)
                     .number("linear_base", image.linearBase)
                     .number("length", image.length())
                     .number("image_top", image.imageTop)
                     .number("capacity", image.capacity())
                     .number("blocks_1024", blocks.of1K)
                     .number("blocks_512", blocks.of512),
                 plain);
    return finishReading(screen, Outcome::Updated, {});
}

} // namespace

int main(int argc, char **argv)
{
    const FileWriter::DrainAtEnd filesWritten; // the record's line and the trace, before the program's end
    keepStandardDescriptorsOpen();
    // Nothing printed may hold the device's clock: a terminal stopped with Ctrl-S or a pipe
    // nobody reads loses progress lines, never the device.
    OutputWriter::install();
    const BuildSettings build = BuildSettings::compiled();
    CliArguments a;
    std::string error;
    if (!parseArguments(argc, argv, build.expectedHardwareVersion(), a, error)) {
        std::cerr << "mova-update: " << error << "\n" << usageLine() << std::endl;
        return int(Outcome::Usage);
    }
    if (a.command == "help") {
        std::cout << UsageText;
        return 0;
    }
    if (a.command == "version") {
        std::cout << versionText(build) << std::flush;
        return 0;
    }
    if (a.command == "log" && !a.exportTo.empty())
        return exportLog(RunStore::standard("mova-update"), a.count, a.filter, a.exportTo,
                         usbListText(build.expectedHardwareVersion()), a.json, std::cout, std::cerr);
    if (a.command == "log" && (a.journal || !a.journalDir.empty()))
        return printJournal(a.journalDir, a.json, a.count, a.filter, std::cout, std::cerr);
    if (a.command == "log")
        return printLog(RunStore::standard("mova-update"), a.json, a.count, a.filter, std::cout, std::cerr);
    if (a.json) // a reader that fell behind is told what it missed in its own form
        OutputWriter::setNote(STDOUT_FILENO, [](const OutputWriter::Dropped &d) {
            return JsonLine::event("not_shown")
                       .number("progress_lines", d.progress)
                       .number("lines", d.events)
                       .str() +
                   "\n";
        });
    if (a.trace)
        Trace::setEnabled(true);
    const bool liveLines = isatty(STDOUT_FILENO) == 1 && !a.json && terminalMovesCursor();
    ConsoleScreen screen({a.json, a.yes, isatty(0) == 1, liveLines,
                          a.worker.empty() ? FrontEnd::CommandLine
                          : a.station      ? FrontEnd::Station
                                           : FrontEnd::Batch});
    if (a.command == "image-info")
        return imageInfo(a, screen);
    if (a.command == "list")
        return finishReading(screen, Outcome::Updated, listUsbDevices(screen, build.expectedHardwareVersion()));
    QCoreApplication application(argc, argv); // the device's waits let an event loop run
    if (a.batch())
        return runBatch(a, a.json, liveLines);
    return runDeviceCommand(a, screen);
}
