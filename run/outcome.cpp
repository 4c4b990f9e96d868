#include "outcome.h"
#include "safe_text.h"
#include "update_run.h"

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


Aside asideOf(Outcome outcome, bool firmwareNewer)
{
    switch (outcome) {
    case Outcome::NotAllowed: return firmwareNewer ? Aside::NewerFirmware : Aside::None;
    case Outcome::Declined: return Aside::RecordingKept;
    case Outcome::LowBattery: return Aside::LowBattery;
    default: return Aside::None;
    }
}

const char *asideName(Aside aside)
{
    switch (aside) {
    case Aside::None: return "";
    case Aside::NewerFirmware: return "newer firmware";
    case Aside::RecordingKept: return "recording kept";
    case Aside::LowBattery: return "battery low";
    }
    return "";
}

Aside asideByName(std::string_view name)
{
    for (const Aside a : {Aside::NewerFirmware, Aside::RecordingKept, Aside::LowBattery})
        if (name == asideName(a))
            return a;
    return Aside::None;
}
