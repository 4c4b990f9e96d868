#include "run_journal.h"
#include "safe_text.h"

#include <cstdio>
#include <sys/uio.h>
#include <systemd/sd-journal.h>

namespace {

// Updated is news; a run that wrote nothing (refused, declined, stopped before the device)
// is worth a look; one that may have left a device half written is an error.
int priorityOf(Outcome outcome, bool mayBeWithoutFirmware)
{
    if (mayBeWithoutFirmware)
        return 3; // LOG_ERR, whatever the failure was
    switch (outcome) {
    case Outcome::Updated:
    case Outcome::AlreadyCurrent:
        return 6; // LOG_INFO
    case Outcome::Usage:
    case Outcome::NotConnected:
    case Outcome::DeviceRefused:
    case Outcome::PayloadInvalid:
    case Outcome::Declined:
    case Outcome::NotAllowed:
    case Outcome::LowBattery:
    case Outcome::SameSerial:
    case Outcome::OtherDevice:
    case Outcome::Skipped:
    case Outcome::Unidentified:
    case Outcome::Interrupted:
        return 5; // LOG_NOTICE
    default:
        return 3; // LOG_ERR
    }
}

} // namespace

std::vector<std::string> JournalEntry::fields() const
{
    const std::string shownSerial = identified ? shownText(serial) : std::string("unknown");
    std::string message = program + ": " + shownText(port) + ": device " + shownSerial + ": " +
                          outcomeName(outcome) + " (exit " + std::to_string(exitStatus(outcome)) + ")";
    if (!text.empty())
        message += ": " + shownText(text);
    std::vector<std::string> f = {
        "MESSAGE_ID=" + std::string(MessageId),
        "MESSAGE=" + message,
        "PRIORITY=" + std::to_string(priorityOf(outcome, mayBeWithoutFirmware)),
        "SYSLOG_IDENTIFIER=" + program,
        "MOVA_PORT=" + shownText(port),
        "MOVA_OUTCOME=" + std::string(outcomeName(outcome)),
        "MOVA_EXIT_STATUS=" + std::to_string(exitStatus(outcome)),
        std::string("MOVA_MAY_BE_WITHOUT_FIRMWARE=") + (mayBeWithoutFirmware ? "1" : "0"),
    };
    if (!socket.empty())
        f.push_back("MOVA_SOCKET=" + shownText(socket));
    if (identified) {
        f.push_back("MOVA_SERIAL=" + shownSerial);
        f.push_back("MOVA_SERIAL_HEX=" + hexBytes(serial));
    }
    if (firmwareBefore)
        f.push_back("MOVA_FIRMWARE_BEFORE=" + std::to_string(*firmwareBefore));
    if (firmwareAfter) {
        f.push_back("MOVA_FIRMWARE_AFTER=" + std::to_string(firmwareAfter->version));
        f.push_back("MOVA_FIRMWARE_AFTER_KNOWN=" + std::string(firmwareAfterKnown(*firmwareAfter)));
    }
    if (batteryPercent)
        f.push_back("MOVA_BATTERY_PERCENT=" + std::to_string(*batteryPercent));
    if (!stage.empty())
        f.push_back("MOVA_STAGE=" + stage);
    if (!text.empty())
        f.push_back("MOVA_TEXT=" + shownText(text));
    if (!batch.empty())
        f.push_back("MOVA_BATCH=" + shownText(batch));
    if (!run.empty())
        f.push_back("MOVA_RUN=" + shownText(run));
    if (durationMs) { // seconds, to the millisecond: "MOVA_DURATION_S=83.250"
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%lld.%03lld", (long long)(*durationMs / 1000),
                      (long long)(*durationMs % 1000));
        f.push_back("MOVA_DURATION_S=" + std::string(seconds));
    }
    return f;
}

bool sendToJournal(const JournalEntry &entry)
{
    const std::vector<std::string> fields = entry.fields();
    std::vector<iovec> parts;
    parts.reserve(fields.size());
    for (const std::string &field : fields)
        parts.push_back({const_cast<char *>(field.data()), field.size()});
    return sd_journal_sendv(parts.data(), int(parts.size())) >= 0;
}
