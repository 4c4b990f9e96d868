#include "outcome.h"
#include "update_run.h"
#include "usb_connection.h"

Outcome outcomeOf(const RunResult &result)
{
    if (result.firmwareConfirmed) {
        if (result.tableSent)
            return Outcome::Updated;
        // A device that went away during its table is lost as at any other step (its new
        // firmware confirmed, as the explanation says).
        if (result.tableFailure == RunFailure::Stopped)
            return Outcome::Stopped;
        return result.tableFailure == RunFailure::DeviceLost ? Outcome::DeviceLost : Outcome::TableNotSent;
    }
    switch (result.failure) {
    case RunFailure::NotConnected: return Outcome::NotConnected;
    case RunFailure::Declined: return Outcome::Declined;
    case RunFailure::LowBattery: return Outcome::LowBattery;
    case RunFailure::PayloadInvalid: return Outcome::PayloadInvalid;
    case RunFailure::DeviceRefused: return Outcome::DeviceRefused;
    case RunFailure::TransferFailed: return Outcome::TransferFailed;
    case RunFailure::VerifyFailed: return Outcome::VerifyFailed;
    case RunFailure::Stopped: return Outcome::Stopped;
    case RunFailure::DeviceLost: return Outcome::DeviceLost;
    case RunFailure::None: // a run that neither failed nor confirmed: something is amiss
    case RunFailure::Internal: return Outcome::Internal;
    }
    return Outcome::Internal;
}

Outcome worstOutcome(const std::vector<Outcome> &outcomes)
{
    using O = Outcome;
    static const O worstFirst[] = {O::Stopped,        O::WorkerLost,    O::DeviceLost,   O::Internal,
                                   O::VerifyFailed,   O::TransferFailed, O::DeviceRefused, O::TableNotSent,
                                   O::SameSerial,     O::Unidentified,  O::Skipped,      O::NotConnected,
                                   O::LowBattery,     O::NotAllowed,    O::Declined,     O::PayloadInvalid,
                                   O::Usage,          O::Interrupted};
    for (const O o : worstFirst)
        for (const O seen : outcomes)
            if (seen == o)
                return o;
    return O::Updated;
}

Outcome workerOutcome(const WorkerEnd &end)
{
    if (!end.hasResult)
        return end.identified ? Outcome::WorkerLost : Outcome::Unidentified;
    if (end.said != Outcome::Updated)
        return end.said;
    const bool agreed = end.firmwareConfirmed && end.tableSent && end.exitedNormally && end.exitCode == 0;
    return agreed ? Outcome::Updated : Outcome::Internal;
}

const char *outcomeName(Outcome outcome, bool readOnly)
{
    switch (outcome) {
    case Outcome::Updated: return readOnly ? "ok" : "updated";
    case Outcome::Usage: return "usage";
    case Outcome::NotConnected: return "not connected";
    case Outcome::DeviceRefused: return "device refused";
    case Outcome::TransferFailed: return "transfer failed";
    case Outcome::VerifyFailed: return "verify failed";
    case Outcome::PayloadInvalid: return "payload invalid";
    case Outcome::Declined: return "not confirmed"; // declined, or the question could not be asked
    case Outcome::NotAllowed: return "not allowed";
    case Outcome::TableNotSent: return "table not sent";
    case Outcome::Stopped: return "stopped";
    case Outcome::Internal: return "internal error";
    case Outcome::LowBattery: return "battery low";
    case Outcome::SameSerial: return "same serial";
    case Outcome::Skipped: return "skipped";
    case Outcome::Unidentified: return "not identified";
    case Outcome::WorkerLost: return "ended abnormally";
    case Outcome::DeviceLost: return "device lost";
    case Outcome::Interrupted: return "interrupted";
    }
    return "unknown";
}

namespace {

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

} // namespace

std::string openFailureHint(const UsbConnection &link)
{
    if (link.isOpen())
        return {};
    const std::string &device = link.lastPath();
    switch (link.lastRefusal()) {
    case OpenRefusal::Busy: return busyHint(device);
    case OpenRefusal::Denied: return permissionHint(device);
    case OpenRefusal::Missing: return device + ": not found (is the device plugged in, and the path right?)";
    case OpenRefusal::NotTerminal: return device + ": not a terminal device";
    case OpenRefusal::None: break;
    }
    // Any other reason on the tty road, as the system gave it (a name too long, the program's
    // own terminal): "<path>: <why>".
    return device.empty() ? std::string() : link.lastError();
}
