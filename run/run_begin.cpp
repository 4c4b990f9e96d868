#include "run_begin.h"
#include "build_settings.h"
#include "clock.h"
#include "failure_guide.h"
#include "firmware_age.h"
#include "monitor.h"
#include "payload_file.h"
#include "session.h"
#include "usb_connection.h"

void PayloadCheck::sizeFor(int hardwareVersion)
{
    firmwareBlocks = firmwareTransferPlan(firmwareLength, hardwareVersion).blockCount;
}

PayloadCheck checkPayloads(const Payloads &payloads, int hardwareVersion)
{
    PayloadCheck c;
    const std::string &firmware = payloads.firmware, &tableFile = payloads.table;
    c.firmwareName = isCarried(firmware) ? BuildSettings::compiled().firmwareName + " (carried)" : firmware;
    c.tableName = isCarried(tableFile) ? "the carried translation table" : tableFile;
    const PayloadFile hex = readPayloadFile(firmware, PayloadKind::Firmware);
    if (!hex.ok()) {
        c.error = firmware + ": " + hex.reason;
        return c;
    }
    const ImageLoad load = parseIntelHex(hex.bytes.constData(), size_t(hex.bytes.size()), hardwareVersion);
    if (!load.ok || !load.image.endOfFile) {
        c.error = firmware + ": " + (load.ok ? "no end-of-file record" : load.message);
        c.errorLine = brokenLine(load, {hex.bytes.constData(), size_t(hex.bytes.size())});
        return c;
    }
    c.firmwareLength = load.image.length();
    c.sizeFor(hardwareVersion);
    const PayloadFile table = readPayloadFile(tableFile, PayloadKind::Table); // its limit of blocks is the reader's
    // A firmware text given as the table would go onto the device as its menu texts.
    if (const std::string reason = table.ok() ? tableFormatProblem(table.bytes) : table.reason; !reason.empty()) {
        c.error = tableFile + ": " + reason;
        return c;
    }
    c.tableBlocks = tableTransferPlan(int64_t(table.bytes.size())).blockCount;
    return c;
}

std::optional<RunEnd> findDevice(Session &session, MonitorScreen &finder, RunListener &events, Clock &clock)
{
    pollDevice(session, finder, clock);
    if (session.link && session.link->isOpen())
        return std::nullopt;
    RunMessage said = RunMessage::of(session.pollMessage);
    // Where the monitor could not open the path, the link's reason picks the explanation.
    if (said.id == MessageId::InitialiseError && session.link)
        said.explainedBy = openFailureMessage(session.link->lastRefusal());
    events.message(said);
    return RunEnd {Outcome::NotConnected, messageText(session.pollMessage)};
}

RunBeginning::RunBeginning(Session &session, RunScreen &screen, RunListener &events, Clock &clock,
                           Payloads payloads, std::string runId)
    : session_(session), screen_(screen), events_(events), clock_(clock), payloads_(std::move(payloads)), runId_(std::move(runId))
{
}

std::optional<RunEnd> RunBeginning::checkPayloads()
{
    const int hardware = session_.expectedHardwareVersion != 0 ? session_.expectedHardwareVersion
                                                               : DefaultHardwareVersion;
    const PayloadCheck &c = checked_.emplace(::checkPayloads(payloads_, hardware));
    if (c.error.empty())
        return std::nullopt;
    RunMessage said = RunMessage::of(MessageId::PayloadInvalid, messageText(MessageId::PayloadInvalid, c.error));
    said.file = c.firmwareName, said.line = c.errorLine;
    events_.message(said);
    return RunEnd {Outcome::PayloadInvalid, c.error};
}

std::optional<RunEnd> RunBeginning::identify(MonitorScreen *finder)
{
    if (finder) {
        if (std::optional<RunEnd> end = findDevice(session_, *finder, events_, clock_))
            return end;
    } else if (!session_.link || !session_.link->isOpen()) {
        return std::nullopt;
    }
    identified_ = true;
    events_.device(DeviceFacts::of(session_));
    // Nothing may be sent to a device this build may not update, or a build for another
    // hardware would overwrite its firmware.
    if (const UpdateRefusal refusal = updateRefusal(session_.expectedHardwareVersion, session_.record);
        refusal.id != MessageId::None) {
        events_.message(RunMessage::of(refusal.id, messageText(refusal.id, refusal.reason + ".")));
        return RunEnd {Outcome::NotAllowed, refusal.reason};
    }
    age_ = firmwareAge(session_, isCarried(payloads_.firmware));
    if (checked_) { // the plan names what goes on: said where the payloads were checked first
        checked_->sizeFor(session_.record.hardwareVersion);
        events_.plan({session_.portPath.empty() ? "the docking station" : session_.portPath, checked_->firmwareName,
                      checked_->tableName, checked_->firmwareBlocks, checked_->tableBlocks, age_,
                      age_ == FirmwareAge::Older ? downgradeText(session_.record) : std::string(), runId_});
    }
    return std::nullopt;
}

std::optional<RunEnd> RunBeginning::guard()
{
    if (!identified_ || (age_ != FirmwareAge::Same && age_ != FirmwareAge::Older))
        return std::nullopt;
    const bool same = age_ == FirmwareAge::Same;
    const int64_t askedAt = clock_.nowMs();
    const Answer answer = screen_.confirmFirmwareAge(age_, session_.record);
    std::string text = firmwareAgeText(age_, session_.record);
    if (answer.asked) // the record keeps the operator's answer
        events_.question({RunQuestion::Topic::FirmwareAge, same ? "Same firmware" : "Older firmware", text, 0,
                          answer.yes, askedAt});
    if (answer.yes)
        return std::nullopt;
    if (!answer.notAskedBecause.empty()) // the option that would have installed it
        text += " (" + answer.notAskedBecause + ")";
    // The device is left as it is: why is said before any byte is written.
    const MessageId id = same ? MessageId::AlreadyCurrent : MessageId::FirmwareNewer;
    if (!answer.asked) // an operator who said no is not told it back
        events_.message(RunMessage::of(id, messageText(id, text + ".")));
    if (same)
        events_.after(DeviceFacts::of(session_)); // the firmware it runs now is the one it had
    return RunEnd {same ? Outcome::AlreadyCurrent : Outcome::NotAllowed, text};
}
