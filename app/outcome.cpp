#include "outcome.h"
#include "usb_connection.h"

#include <array>

namespace {

struct Rule {
    const char *prefix;
    Outcome outcome;
};

// Every message the run can end with, by the words it begins with.
constexpr std::array<Rule, 14> Rules {{
    {"No connection", Outcome::NotConnected},
    {"Device is not connected!", Outcome::NotConnected},
    {"Cannot connect", Outcome::NotConnected},
    {"Hex-File cannot open!", Outcome::PayloadInvalid},
    {"Cannot read Intel-Hex file", Outcome::PayloadInvalid},
    {"Error in Zeile", Outcome::PayloadInvalid},
    {"Device status cannot receive", Outcome::DeviceRefused},
    {"Data cannot clear", Outcome::DeviceRefused},
    {"Update error!.3", Outcome::DeviceRefused},
    {"Error by senden Update.1", Outcome::DeviceRefused},
    {"Error by senden Update", Outcome::TransferFailed},
    {"Error by verify Update", Outcome::VerifyFailed},
    {"Update error!", Outcome::VerifyFailed},
    {"Update sended success!", Outcome::Updated},
}};

} // namespace

Outcome classify(const std::string &message)
{
    for (const Rule &rule : Rules)
        if (message.rfind(rule.prefix, 0) == 0)
            return rule.outcome;
    return Outcome::TransferFailed;
}

const char *outcomeName(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Updated: return "updated";
    case Outcome::Usage: return "usage";
    case Outcome::NotConnected: return "not connected";
    case Outcome::DeviceRefused: return "device refused";
    case Outcome::TransferFailed: return "transfer failed";
    case Outcome::VerifyFailed: return "verify failed";
    case Outcome::PayloadInvalid: return "payload invalid";
    case Outcome::Declined: return "operator declined";
    case Outcome::NotAllowed: return "not allowed";
    case Outcome::TableNotSent: return "table not sent";
    case Outcome::Stopped: return "stopped";
    case Outcome::Interrupted: return "interrupted";
    }
    return "unknown";
}

std::string permissionHint(const std::string &device)
{
    return "no permission to open " + (device.empty() ? std::string("the docking station") : device) +
           ": install the udev rules " QTX_UDEV_RULES_PATH
           " (they come with the package) and plug the device in again";
}

std::string busyHint(const std::string &device)
{
    return (device.empty() ? std::string("the docking station") : device) +
           " is in use by another program (another copy of this tool, a terminal program): close it and "
           "try again";
}

std::string openFailureHint(const UsbConnection &link)
{
    if (link.isOpen())
        return {};
    const std::string &device = link.lastPath();
    if (link.deviceBusy())
        return busyHint(device);
    if (link.permissionDenied())
        return permissionHint(device);
    return {};
}
