#include "failure_guide.h"

#include <array>
#include <cctype>

namespace {

enum class Match { Exact, Prefix };

struct Entry {
    Match match;
    const char *key;
    FailureHelp help;
};

// Charging, replugging and retrying mends most of what goes wrong between the device and
// the tool; the entries say when something else is needed.
constexpr const char *Retry = "Charge the device, plug it in again and press \"Update\" once more";
constexpr const char *Support = "If it happens again, keep the run record and contact support";

// Families first are fine: an exact text never begins with a family's key plus more.
constexpr std::array<Entry, 37> Entries {{
    // The update run.
    {Match::Exact, "Device is not connected!",
     {"the link to the device was closed when \"Update\" was pressed", "Plug the device in, wait until the window "
                                                                       "shows it, then press \"Update\" again"}},
    {Match::Exact, "Hex-File cannot open!",
     {"the firmware this tool carries (or the file given instead) cannot be read", "Use an unchanged copy of the tool"}},
    {Match::Exact, "Cannot read Intel-Hex file",
     {"the firmware text is empty", "Use an unchanged copy of the tool, or a complete firmware file"}},
    {Match::Prefix, "Error in Zeile",
     {"the firmware text is damaged or is not meant for this device (the line named is where it broke); nothing "
      "was sent to the device",
      "Use an unchanged copy of the tool, or the firmware file made for this hardware"}},
    {Match::Exact, "Cannot connect to device after Reset.",
     {"the device did not come back within about ten seconds of its restart; its firmware is still the old one",
      Retry}},
    {Match::Exact, "Cannot connect!", {"the device stopped answering before its memory was erased", Retry}},
    {Match::Exact, "Device status cannot receive",
     {"the device did not report a usable status, so nothing was written", Retry}},
    {Match::Exact, "Data cannot clear.1", {"the device did not accept the command to erase its memory", Retry}},
    {Match::Exact, "Data cannot clear.2",
     {"the device did not confirm that its memory was erased; it may now be without working firmware", Retry}},
    {Match::Exact, "Data cannot clear.3",
     {"the device reported that erasing its memory failed; it may now be without working firmware", Retry}},
    {Match::Exact, "Update error!.3",
     {"the device refused to take a new firmware after its memory was erased; it is without working firmware",
      Retry}},
    {Match::Prefix, "Error by senden Update. (0x",
     {"the device rejected a block of the firmware with the error code shown; it is without working firmware",
      Retry}},
    {Match::Exact, "Error by senden Update.1",
     {"the device refused a block of the firmware outright; it is without working firmware", Retry}},
    {Match::Exact, "Error by senden Update.2",
     {"the device stopped answering while the firmware was sent; it is without working firmware", Retry}},
    {Match::Exact, "Error by senden Update.3",
     {"a block of the firmware did not get through in three tries (a poor cable or connection); the device is "
      "without working firmware",
      "Use another cable or USB port, then update again"}},
    {Match::Exact, "Error by verify Update",
     {"the device did not send back what it stored, so the new firmware could not be checked", Retry}},
    {Match::Exact, "Update error!.1",
     {"the firmware the device stored differs from what was sent, or the device did not accept it", Retry}},
    {Match::Exact, "Update error!.2", {"the device did not answer the final check of its new firmware", Retry}},
    {Match::Exact, "Update stopped by the operator",
     {"the update was stopped while the device was being written; it is without working firmware",
      "Update it again before it is used"}},
    // The translation table, sent after a confirmed firmware.
    {Match::Exact, "Cannot connect to device for Language update. Please try again.",
     {"the device did not come back after taking its new firmware, so its menu texts were not updated; the "
      "firmware is installed",
      "Plug the device in again and run the update once more to send the texts"}},
    {Match::Prefix, "Error by senden Language. (0x",
     {"the device rejected a block of its menu texts with the error code shown; the firmware is installed",
      "Run the update once more to send the texts"}},
    {Match::Exact, "Error by senden Language.1",
     {"the device refused a block of its menu texts; the firmware is installed",
      "Run the update once more to send the texts"}},
    {Match::Exact, "Error by senden Language.2",
     {"the device stopped answering while its menu texts were sent; the firmware is installed",
      "Run the update once more to send the texts"}},
    {Match::Exact, "Error by senden Language.3",
     {"a block of the menu texts did not get through in three tries; the firmware is installed",
      "Use another cable or USB port and run the update once more"}},
    {Match::Exact, "Error by senden Language.4",
     {"the device did not accept the size of the menu texts; the firmware is installed", Support}},
    {Match::Exact, "Error by senden Language.5",
     {"the device refused to take menu texts; the firmware is installed", Support}},
    {Match::Exact, "Error by senden Language.6",
     {"the device did not answer the command that starts the menu texts; the firmware is installed",
      "Run the update once more to send the texts"}},
    // The polling, and what the command line adds.
    {Match::Exact, "No connection - Corvane not connected",
     {"no recording device is plugged in, or the system does not see it", "Plug the device in and switch it on"}},
    {Match::Exact, "No connection - 'Halvery docking station' not connected",
     {"the docking station is not plugged in, or the system does not see it", "Plug in the docking station"}},
    {Match::Exact, "No connection - Initialise error",
     // Also said for a path where nothing is: the line with it says which it was.
     {"the device could not be opened (why is said with it)",
      "Check that it is plugged in and that the path is right; close other programs that use it; if permission is "
      "refused, install the udev rules and plug it in again"}},
    {Match::Exact, "No connection - Device not connected or offline",
     {"the device did not answer", "Switch the device on, charge it and plug it in again"}},
    {Match::Exact, "No connection - Communications error",
     {"the device answered but did not say who it is", "Plug the device in again"}},
    {Match::Exact, "FW-Vers.: not aviable",
     {"the device's identity could not be shown", "Plug the device in again"}},
    {Match::Prefix, "Not updated: ",
     {"this tool carries firmware for another kind of device, or the device's firmware is too old for it; "
      "nothing was sent",
      "Use the tool made for this device's hardware version"}},
    {Match::Prefix, "payload invalid: ",
     {"a firmware or table file given to the tool is missing, not a regular file, unreadable, empty, too large or "
      "damaged; nothing was sent",
      "Check the file named, or leave the option out to use what the tool carries"}},
    {Match::Exact, "Update error: unknown failure", {"the program itself failed", Support}},
    {Match::Prefix, "Battery low (",
     {"the device's battery is too low to be sure the update ends; nothing was sent",
      "Charge the device for a while, then update it"}},
}};

} // namespace

const FailureHelp *explainFailure(const std::string &message)
{
    for (const Entry &e : Entries) {
        const bool hit = e.match == Match::Exact ? message == e.key : message.rfind(e.key, 0) == 0;
        if (hit)
            return &e.help;
    }
    return nullptr;
}

std::vector<std::string> explainedMessages()
{
    std::vector<std::string> keys;
    for (const Entry &e : Entries)
        keys.emplace_back(e.key);
    return keys;
}

std::string explanationText(const std::string &message)
{
    const FailureHelp *help = explainFailure(message);
    if (!help)
        return {};
    std::string cause = help->cause;
    cause[0] = char(std::toupper(static_cast<unsigned char>(cause[0])));
    return cause + ". " + help->nextStep + ".";
}
