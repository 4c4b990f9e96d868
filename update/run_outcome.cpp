#include "run_outcome.h"

const char *runStageName(RunStage stage)
{
    switch (stage) {
    case RunStage::Prepare: return "prepare";
    case RunStage::Reset: return "reset";
    case RunStage::Connect: return "connect";
    case RunStage::Status: return "status";
    case RunStage::Erase: return "erase";
    case RunStage::Send: return "send";
    case RunStage::Verify: return "verify";
    case RunStage::Confirm: return "confirm";
    case RunStage::Table: return "table";
    case RunStage::Done: return "done";
    }
    return "unknown";
}

const char *firmwareAfterKnown(const FirmwareAfter &after)
{
    return after.readBack ? "read back" : "confirmed";
}

bool mayBeWithoutFirmware(const RunResult &result)
{
    // Once the device took the erase, its old firmware may be partly gone whatever ended the
    // run after it (its own "cannot clear" included, as that message's explanation says);
    // before it, nothing was touched.
    return !result.firmwareConfirmed && result.eraseBegun;
}

int exitStatus(Outcome outcome)
{
    return outcome == Outcome::AlreadyCurrent ? 0 : int(outcome);
}

bool succeeded(Outcome outcome)
{
    return outcome == Outcome::Updated || outcome == Outcome::AlreadyCurrent;
}

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
    case RunFailure::OtherDevice: return Outcome::OtherDevice;
    case RunFailure::None: // a run that neither failed nor confirmed: something is amiss
    case RunFailure::Internal: return Outcome::Internal;
    }
    return Outcome::Internal;
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
    case Outcome::AlreadyCurrent: return "already current";
    case Outcome::OtherDevice: return "other device";
    case Outcome::Interrupted: return "interrupted";
    }
    return "unknown";
}

const std::vector<Outcome> &allOutcomes()
{
    static const std::vector<Outcome> all = [] {
        std::vector<Outcome> found;
        for (int code = 0; code < 256; ++code)
            if (std::string_view(outcomeName(Outcome(code))) != "unknown")
                found.push_back(Outcome(code));
        return found;
    }();
    return all;
}

std::optional<Outcome> outcomeByName(std::string_view name)
{
    for (const Outcome o : allOutcomes())
        if (name == outcomeName(o) || name == outcomeName(o, true))
            return o;
    return std::nullopt;
}

std::string endText(const RunResult &result)
{
    if (!result.firmwareConfirmed || result.tableSent)
        return result.message;
    if (result.tableMessageId == MessageId::None) // no table was read to send
        return result.payloadReason.empty() ? std::string()
                                            : messageText(MessageId::PayloadInvalid, result.payloadReason);
    return result.tableMessage;
}
