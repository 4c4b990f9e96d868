#include "operator_messages.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cinttypes>
#include <cstdio>

namespace {

using Id = MessageId;
using Kind = MessageKind;
using Fill = MessageFill;

// Charging, replugging and retrying mends most of what goes wrong between the device and
// the tool; the entries say when something else is needed.
constexpr const char *Retry = "Charge the device, {again}";
constexpr const char *Support = "If it happens again, keep the run record and contact support";
constexpr const char *TextsAgain = "To send the texts, {again}";
constexpr FailureHelp NoHelp {nullptr, nullptr};

constexpr MessageEntry failure(Id id, const char *text, FailureHelp help)
{
    return {id, Kind::Failure, text, Fill::None, "", help};
}

constexpr MessageEntry family(Id id, const char *text, Fill fill, const char *after, FailureHelp help)
{
    return {id, Kind::Failure, text, fill, after, help};
}

constexpr MessageEntry other(Id id, Kind kind, const char *text, Fill fill = Fill::None)
{
    return {id, kind, text, fill, "", NoHelp};
}

constexpr FailureHelp BrokenHex {
    "the firmware text is damaged or is not meant for this device (the line named is where it broke); nothing was "
    "sent to the device",
    "Use an unchanged copy of the tool, or the firmware file made for this hardware"};

constexpr auto Entries = std::to_array<MessageEntry>({
    {Id::None, Kind::Success, "", Fill::None, "", NoHelp},
    // The update run.
    failure(Id::DeviceNotConnected, "Device is not connected!",
            {"the link to the device was closed when the update was to begin", "{again}",
             "Plug the device in, wait until the window shows it, then press \"Update\" again"}),
    failure(Id::FirmwareCannotOpen, "Hex-File cannot open!",
            {"the firmware this tool carries (or the file given instead) cannot be read",
             "Use an unchanged copy of the tool"}),
    failure(Id::FirmwareUnreadable, "Cannot read Intel-Hex file",
            {"the firmware text is empty", "Use an unchanged copy of the tool, or a complete firmware file"}),
    family(Id::HexChecksum, "Error in Zeile ", Fill::Decimal, ". Checksumme error", BrokenHex),
    family(Id::HexAddress, "Error in Zeile ", Fill::Decimal, ".Adresse out memory", BrokenHex),
    family(Id::HexType, "Error in Zeile ", Fill::Decimal, ". Typ error", BrokenHex),
    failure(Id::ResetLost, "Cannot connect to device after Reset.",
            {"the device did not come back within about ten seconds of its restart; its firmware is still the old "
             "one",
             Retry}),
    // Its place taken by another device while it restarted: nothing is written to either.
    failure(Id::ResetOtherDevice, "Other device found after Reset. Update not sended.",
            {"another device (its serial number differs) answered where this device was looked for after its "
             "restart, so nothing was written: this device was only restarted and keeps its old firmware, the "
             "other device was only asked who it is and is unchanged",
             "Check which device is which; to update this one, {again}",
             "Unplug the other device; to update this one, {again}"}),
    failure(Id::ConnectLost, "Cannot connect!", {"the device stopped answering before its memory was erased", Retry}),
    failure(Id::StatusMissing, "Device status cannot receive",
            {"the device did not report a usable status, so nothing was written", Retry}),
    failure(Id::EraseRefused, "Data cannot clear.1", {"the device did not accept the command to erase its memory", Retry}),
    failure(Id::EraseUnconfirmed, "Data cannot clear.2",
            {"the device did not confirm that its memory was erased; it may now be without working firmware", Retry}),
    failure(Id::EraseFailed, "Data cannot clear.3",
            {"the device reported that erasing its memory failed; it may now be without working firmware", Retry}),
    failure(Id::TransferRefused, "Update error!.3",
            {"the device refused to take a new firmware after its memory was erased; it is without working firmware",
             Retry}),
    family(Id::FirmwareBlockError, "Error by senden Update. (0x", Fill::HexByte, ")",
           {"the device rejected a block of the firmware with the error code shown; it is without working firmware",
            Retry}),
    failure(Id::FirmwareBlockRefused, "Error by senden Update.1",
            {"the device refused a block of the firmware outright; it is without working firmware", Retry}),
    failure(Id::FirmwareBlockNoAnswer, "Error by senden Update.2",
            {"the device stopped answering while the firmware was sent; it is without working firmware", Retry}),
    failure(Id::FirmwareBlockNotTaken, "Error by senden Update.3",
            {"a block of the firmware did not get through in three tries (a poor cable or connection); the device is "
             "without working firmware",
             "Use another cable or USB port, then update again"}),
    failure(Id::VerifyFailed, "Error by verify Update",
            {"the device did not send back what it stored, so the new firmware could not be checked", Retry}),
    failure(Id::ImageRejected, "Update error!.1",
            {"the firmware the device stored differs from what was sent, or the device did not accept it", Retry}),
    failure(Id::ConfirmMissing, "Update error!.2", {"the device did not answer the final check of its new firmware", Retry}),
    failure(Id::Stopped, StoppedByOperator,
            {"the update was stopped while the device was being written; it is without working firmware",
             "Update it again before it is used"}),
    // The translation table, sent after a confirmed firmware.
    failure(Id::TableReconnectLost, "Cannot connect to device for Language update. Please try again.",
            {"the device did not come back after taking its new firmware, so its menu texts were not updated; the "
             "firmware is installed",
             TextsAgain}),
    family(Id::TableBlockError, "Error by senden Language. (0x", Fill::HexByte, ")",
           {"the device rejected a block of its menu texts with the error code shown; the firmware is installed",
            TextsAgain}),
    failure(Id::TableBlockRefused, "Error by senden Language.1",
            {"the device refused a block of its menu texts; the firmware is installed", TextsAgain}),
    failure(Id::TableBlockNoAnswer, "Error by senden Language.2",
            {"the device stopped answering while its menu texts were sent; the firmware is installed", TextsAgain}),
    failure(Id::TableBlockNotTaken, "Error by senden Language.3",
            {"a block of the menu texts did not get through in three tries; the firmware is installed",
             "Use another cable or USB port and run the update once more"}),
    failure(Id::TableCountRefused, "Error by senden Language.4",
            {"the device did not accept the size of the menu texts; the firmware is installed", Support}),
    failure(Id::TableRefused, "Error by senden Language.5",
            {"the device refused to take menu texts; the firmware is installed", Support}),
    failure(Id::TableNoEcho, "Error by senden Language.6",
            {"the device did not answer the command that starts the menu texts; the firmware is installed",
             TextsAgain}),
    // Its place taken by another device while it restarted: that one is only asked who it is.
    failure(Id::TableOtherDevice, "Other device found for Language update. Language not sended.",
            {"another device (its serial number differs) answered where this device was looked for after its "
             "restart; the new firmware is installed and confirmed on this device, but its menu texts were not "
             "sent; the other device was only asked who it is and is unchanged",
             "Check which device is which; to send the texts to this one, {again}",
             "Unplug the other device; to send the texts to this one, {again}"}),
    // The polling, and what the command line adds.
    failure(Id::NoDevice, "No connection - Corvane not connected",
            {"no recording device is plugged in, or the system does not see it", "Plug the device in and switch it on"}),
    failure(Id::NoDockingStation, "No connection - 'Halvery docking station' not connected",
            {"the docking station is not plugged in, or the system does not see it", "Plug in the docking station"}),
    // Also said for a path where nothing is: the line with it says which it was.
    failure(Id::InitialiseError, "No connection - Initialise error",
            {"the device could not be opened (why is said with it)",
             "Check that it is plugged in and that the path is right; close other programs that use it; if "
             "permission is refused, install the udev rules and plug it in again"}),
    failure(Id::PortNotFound, "No connection - Initialise error",
            {"nothing is at the path given: the device is not plugged in, or the path is not its",
             "Plug the device in and check the path"}),
    failure(Id::PortNotTerminal, "No connection - Initialise error",
            {"what is at the path given is no terminal device, so it cannot be the device",
             "Give the path of the device's port"}),
    failure(Id::PortInUse, "No connection - Initialise error",
            {"another program (another copy of this tool, a terminal program) holds the device",
             "Close that program and try again"}),
    failure(Id::PortDenied, "No connection - Initialise error",
            {"the system refused this user access to the device",
             "Install the udev rules that come with the package, then plug the device in again"}),
    failure(Id::DeviceOffline, "No connection - Device not connected or offline",
            {"the device did not answer", "Switch the device on, charge it and plug it in again"}),
    failure(Id::CommunicationsError, "No connection - Communications error",
            {"the device answered but did not say who it is", "Plug the device in again"}),
    failure(Id::IdentityUnavailable, "FW-Vers.: not aviable",
            {"the device's identity could not be shown", "Plug the device in again"}),
    family(Id::NotUpdated, "Not updated: ", Fill::Text, "",
           {"this tool carries firmware for another hardware version of the device; nothing was sent",
            "Use the tool made for this device's hardware version"}),
    family(Id::IdentityUnreadable, "Not updated: ", Fill::Text, "",
           {"the device did not say its firmware version as two digits, so it cannot be told what it runs; "
            "nothing was sent",
            "Plug the device in again; if it says the same, contact support"}),
    family(Id::FirmwareTooOld, "Not updated: ", Fill::Text, "",
           {"the device's firmware is older than any this tool can update; nothing was sent",
            "Contact support: its firmware has to be renewed another way"}),
    family(Id::SameSerial, "Not updated: ", Fill::Text, "",
           {"another device present has the same serial number, so neither can be told apart; nothing was sent",
            "Check which device is which (unplug one), then update them one at a time"}),
    family(Id::FirmwareNewer, "Not updated: ", Fill::Text, "",
           {"the device's firmware is newer than the one this tool carries; nothing was sent",
            "Keep the device's firmware, or give --allow-older to install the older one all the same",
            "Keep the device's firmware, or answer the question with OK to install the older one",
            "Keep the device's firmware and take it out of its socket; to install the older one on such devices, "
            "set allow_older=yes in station.conf and start the station again"}),
    family(Id::BatchGone, "Not updated: ", Fill::Text, "",
           {"the batch that started this update ended, or gave no word to go on in time; nothing was sent",
            "Run the batch again",
            nullptr,
            "Press \"Start\" if the station stopped, then plug the device into its socket again"}),
    family(Id::PayloadInvalid, "payload invalid: ", Fill::Text, "",
           {"a firmware or table file given to the tool is missing, not a regular file, unreadable, empty, too large "
            "or damaged, or the table is not a translation table; nothing was sent",
            "Check the file named, or leave the option out to use what the tool carries", "Check the file named",
            "Check the file named, or start the station without it to use what the tool carries"}),
    failure(Id::UnknownFailure, "Update error: unknown failure", {"the program itself failed", Support}),
    failure(Id::TableUnknownFailure, "Error by senden Language: unknown failure",
            {"the program itself failed while it sent the menu texts; the firmware is installed", Support}),
    // The system's words stand alone: no text of the catalogue's leads them.
    family(Id::SystemError, "", Fill::Text, "", {"the program itself failed", Support}),
    family(Id::BatteryLow, "Battery low (", Fill::Text, "",
           {"the device's battery is too low to be sure the update ends; nothing was sent",
            "Charge the device for a while, then update it"}),
    failure(Id::DeviceLost, "device lost",
            {"the device went away (unplugged, or its cable or power failed) while it was written; it may be "
             "without working firmware",
             "Charge it if its battery may have run out, {again}; if it is no longer found, keep the run record "
             "and contact support"}),
    failure(Id::TableDeviceLost, "device lost",
            {"the device went away (unplugged, or its cable or power failed) before it had taken all its menu "
             "texts; its new firmware is installed and confirmed, only the menu texts are missing",
             "Charge it if its battery may have run out; to send the texts, {again}"}),
    // Not failures.
    other(Id::FirmwareSent, Kind::Success, "Update sended success!"),
    other(Id::FirmwareSentStandardMontage, Kind::Success,
          "Update sended success!\nPlease initialise your Corvane device with Parlux light because the firmware "
          "update stored a standard montage on your device\nwhich might not be identical with your commonly used "
          "montage."),
    other(Id::FirmwareAndTableSent, Kind::Success, "Update and Language sended success!"),
    other(Id::AlreadyCurrent, Kind::Success, "Already current: ", Fill::Text),
    other(Id::ConfirmErase, Kind::Question,
          "Make sure there is no untransferred recording on your device.\n"
          "A firmware update will delete that recording."),
    other(Id::AskForDevice, Kind::Question, "Corvane not connected\nPlease connect Corvane and press OK."),
    other(Id::AskForDockingStation, Kind::Question,
          "'Halvery docking station' not connected\nPlease connect 'Halvery docking station' and press OK."),
    other(Id::AskToSwitchOn, Kind::Question,
          "Device not connected or offline\nPlease turn on the Device, connect it and press OK."),
    other(Id::ReadBackChecksum, Kind::Diagnostic, "Daten lesen: XOR Summe ist fehlerhaft. Offset: ", Fill::Hex),
    other(Id::ReadBackIncomplete, Kind::Diagnostic, "Daten lesen error Offset: ", Fill::Hex),
});

} // namespace

std::span<const MessageEntry> messageCatalogue()
{
    return Entries;
}

const MessageEntry &messageEntry(MessageId id)
{
    for (const MessageEntry &e : Entries)
        if (e.id == id)
            return e;
    return Entries.front();
}

std::string messageText(MessageId id)
{
    const MessageEntry &e = messageEntry(id);
    return std::string(e.text) + e.after;
}

std::string messageText(MessageId id, int64_t value)
{
    const MessageEntry &e = messageEntry(id);
    char number[24];
    switch (e.fill) {
    case Fill::Decimal: std::snprintf(number, sizeof number, "%" PRId64, value); break;
    case Fill::Hex: std::snprintf(number, sizeof number, "%" PRIX64, uint64_t(value)); break;
    case Fill::HexByte: std::snprintf(number, sizeof number, "%02X", unsigned(value & 0xFF)); break;
    default: number[0] = '\0'; break;
    }
    return e.text + std::string(number) + e.after;
}

std::string messageText(MessageId id, const std::string &words)
{
    const MessageEntry &e = messageEntry(id);
    return e.text + words + e.after;
}
