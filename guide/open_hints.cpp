#include "failure_guide.h"
#include "port_holder.h"
#include "run_store.h"
#include "safe_text.h"
#include "usb_connection.h"

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
