#include "outcome.h"
#include "port_holder.h"
#include "run_record.h"
#include "safe_text.h"
#include "update_run.h"
#include "usb_connection.h"

#include <algorithm>

bool succeeded(std::string_view outcomeName)
{
    const std::optional<Outcome> outcome = outcomeByName(outcomeName);
    return outcome && succeeded(*outcome);
}

Outcome worstOutcome(const std::vector<Outcome> &outcomes)
{
    using O = Outcome;
    static const O worstFirst[] = {O::Stopped,       O::WorkerLost,     O::DeviceLost,    O::Internal,
                                   O::VerifyFailed,  O::TransferFailed, O::DeviceRefused, O::TableNotSent,
                                   O::OtherDevice,   O::SameSerial,     O::Unidentified,  O::Skipped,
                                   O::NotConnected,  O::LowBattery,     O::NotAllowed,    O::Declined,
                                   O::PayloadInvalid, O::Usage,         O::Interrupted};
    for (const O o : worstFirst)
        for (const O seen : outcomes)
            if (seen == o)
                return o;
    // Every device succeeded: none was written when each was current already.
    const bool noneWritten = !outcomes.empty() && std::all_of(outcomes.begin(), outcomes.end(), [](O seen) {
        return seen == O::AlreadyCurrent;
    });
    return noneWritten ? O::AlreadyCurrent : O::Updated;
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

bool mayBeWithoutFirmware(const WorkerEnd &end)
{
    return end.hasResult ? end.saidWithoutFirmware : end.writing && !end.firmwareConfirmed;
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
    // A port another run of this tool holds is not absent, even while its device restarts:
    // which run holds it is said, so that its device is waited for rather than taken for gone.
    const OpenRefusal refusal = link.lastRefusal();
    if (refusal == OpenRefusal::Busy || refusal == OpenRefusal::Missing)
        if (const std::string run = portClaimant(RunStore::standardFolder(), device); !run.empty())
            return device + " is busy with " + shownText(run) + ", which holds its device: wait until it has ended";
    switch (refusal) {
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
