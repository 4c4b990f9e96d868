#include "update_run.h"
#include "block_transfer.h"
#include "clock.h"
#include "handshake.h"
#include "language_transfer.h"
#include "payload_file.h"
#include "protocol.h"
#include "battery.h"
#include "build_settings_generated.h"
#include "session.h"
#include "usb_connection.h"

#include <algorithm>
#include <cctype>
#include <exception>
#include <string_view>

namespace {

// The firmware a device runs once it confirmed the image sent: the carried firmware's version,
// where the carried firmware is the one for the device's hardware version. A file of the
// operator's says no version, and another hardware version counts its versions apart.
std::optional<FirmwareAfter> confirmedFirmware(const Session &session, const Payloads &payloads)
{
    const std::string_view version = QTX_FIRMWARE_VERSION;
    if (!isCarried(payloads.firmware) || session.expectedHardwareVersion == 0 ||
        session.record.hardwareVersion != session.expectedHardwareVersion || version.empty() || version.size() > 4 ||
        !std::all_of(version.begin(), version.end(), [](char c) { return std::isdigit(uint8_t(c)); }))
        return std::nullopt;
    return FirmwareAfter {std::stoi(std::string(version)), false};
}

} // namespace

UpdateRun::UpdateRun(Session &session, RunScreen &screen, RunListener &events, Clock &clock, Payloads payloads)
    : session_(session), screen_(screen), tell_(events), clock_(clock), payloads_(std::move(payloads)),
      link_(session.link)
{
}

// ---- the steps ------------------------------------------------------------------------

void UpdateRun::showProgress(int percent)
{
    shown_ = std::clamp(percent, 0, 100);
    tell_.progress(shown_);
}

void UpdateRun::diagnostic(MessageId id, int offset)
{
    ++result_.readBackWarnings;
    tell_.message(RunMessage::of(id, messageText(id, offset)));
}

void UpdateRun::drain(int n, int ms)
{
    ::drain(*link_, n, ms);
}

void UpdateRun::pump()
{
    clock_.pump();
    if (session_.stopRequested)
        fail(RunFailure::Stopped, MessageId::Stopped);
}

RunFailure UpdateRun::causeOf(RunFailure kind) const
{
    // A device that went away refused nothing: before its memory was touched it is simply
    // not there; from the erase on, it may be left without working firmware.
    using F = RunFailure;
    if ((kind != F::DeviceRefused && kind != F::TransferFailed && kind != F::VerifyFailed) || !link_->deviceLost())
        return kind;
    return result_.stage >= RunStage::Erase ? F::DeviceLost : F::NotConnected;
}

void UpdateRun::fail(RunFailure kind, MessageId id, const std::string &text)
{
    result_.failure = causeOf(kind);
    throw Stop {id, text.empty() ? messageText(id) : text};
}

void UpdateRun::refuse(RunFailure kind, MessageId id, const std::string &text)
{
    result_.failure = causeOf(kind);
    say(id, text.empty() ? messageText(id) : text);
}

void UpdateRun::say(MessageId id, const std::string &text)
{
    result_.messageId = id;
    result_.message = text;
    RunMessage m = RunMessage::of(id, text);
    m.explainedBy = explainedBy();
    tell_.message(m);
}

bool UpdateRun::prepare()
{
    if (!link_ || !link_->isOpen()) {
        refuse(RunFailure::NotConnected, MessageId::DeviceNotConnected);
        return false;
    }
    tell_.device(DeviceFacts::of(session_));
    uint8_t stale[2];
    link_->read(stale, 2);
    if (!ask())
        return false;
    // The message stays the run's own; why the file could not be used goes beside it.
    if (!loadImage())
        return false;
    readBack_.assign(image_.capacity(), 0);
    writeServiceHeader(image_.buffer, headerFieldsOf(session_.record, session_.calibration));
    status_ = DeviceRecord::NoStatus;
    session_.updateRunning = true;
    tell_.writing(true);
    drain(2, Wait::RunStartDrainMs);
    return true;
}

bool UpdateRun::ask()
{
    RunQuestion q;
    if (const std::optional<int> battery = session_.batteryPercent(); belowBatteryGuard(battery)) {
        q = {RunQuestion::Topic::LowBattery, "Low battery", {}, *battery, false, clock_.nowMs()};
        const Answer answer = screen_.confirmLowBattery(*battery);
        q.yes = answer.yes, q.notAskedBecause = answer.notAskedBecause;
        tell_.question(q);
        if (!q.yes) {
            // No box of its own: the answer was the operator's, or a setting's. The run still says why.
            result_.failure = RunFailure::LowBattery;
            result_.messageId = MessageId::BatteryLow;
            result_.message = messageText(MessageId::BatteryLow,
                                          std::to_string(*battery) + " %): not updated" +
                                              (answer.asked ? ", as the operator chose" : ": " + answer.notAskedBecause));
            tell_.released();
            return false;
        }
    }
    if (session_.record.asksBeforeErase()) {
        q = {RunQuestion::Topic::Erase, "Update", messageText(MessageId::ConfirmErase), 0, false, clock_.nowMs()};
        const Answer answer = screen_.confirm(q.caption, q.text);
        q.yes = answer.yes, q.notAskedBecause = answer.notAskedBecause;
        tell_.question(q);
        if (!q.yes) {
            result_.failure = RunFailure::Declined;
            result_.notAskedBecause = answer.notAskedBecause;
            tell_.released();
            return false;
        }
    }
    return true;
}

bool UpdateRun::loadImage()
{
    const PayloadFile text = readPayloadFile(payloads_.firmware, PayloadKind::Firmware);
    if (!text.ok())
        result_.payloadReason = payloads_.firmware + ": " + text.reason;
    if (!text.ok() && !text.readFailed) {
        refuse(RunFailure::PayloadInvalid, MessageId::FirmwareCannotOpen);
        return false;
    }
    tell_.holding(true);
    ImageLoad load = !text.ok() ? ImageLoad {false, messageText(MessageId::FirmwareUnreadable), {},
                                             result_.payloadReason, MessageId::FirmwareUnreadable}
                                : parseIntelHex(text.bytes.constData(), size_t(text.bytes.size()),
                                                session_.record.hardwareVersion);
    if (!load.ok || !load.image.endOfFile) {
        tell_.holding(false);
        result_.failure = RunFailure::PayloadInvalid;
        if (!load.ok)
            refuse(RunFailure::PayloadInvalid, load.messageId, load.message);
        return false; // a text without its end record ends the run without a word
    }
    image_ = std::move(load.image);
    return true;
}

void UpdateRun::transfer()
{
    reach(RunStage::Reset);
    reset();
    reach(RunStage::Connect);
    connect();
    reach(RunStage::Status);
    readStatus();
    reach(RunStage::Erase);
    erase();
    reach(RunStage::Send);
    if (!openTransfer())
        return;
    sendBlocks();
    reach(RunStage::Verify);
    verify();
    reach(RunStage::Confirm);
    confirm();
}

void UpdateRun::finish()
{
    tell_.writing(false);
    image_ = FirmwareImage {};
    readBack_ = {};
    tell_.holding(false);
    if (!succeeded_) {
        session_.updateRunning = false;
        releaseLostDevice();
        return;
    }
    link_->close();
    result_.firmwareConfirmed = true;
    result_.firmwareAfter = confirmedFirmware(session_, payloads_);
    reach(RunStage::Table);
    const TableResult table = sendLanguageTable(session_, tell_, clock_, payloads_.table, &result_.payloadReason);
    result_.tableSent = table.outcome == TableOutcome::Sent;
    result_.tableFailure = table.outcome == TableOutcome::Sent      ? RunFailure::None
                           : table.outcome == TableOutcome::Stopped ? RunFailure::Stopped
                           : table.outcome == TableOutcome::Lost    ? RunFailure::DeviceLost
                                                                    : RunFailure::TransferFailed;
    result_.tableMessageId = table.messageId;
    result_.tableMessage = table.message;
    result_.otherDevice = table.otherDevice;
    tell_.holding(false);
    result_.messageId = result_.tableSent ? MessageId::FirmwareAndTableSent
                        : session_.record.hardwareVersion > LastSmallHardware ? MessageId::FirmwareSentStandardMontage
                                                                              : MessageId::FirmwareSent;
    result_.message = messageText(result_.messageId);
    if (!result_.tableSent)
        tell_.message(RunMessage::of(result_.messageId));
    reach(RunStage::Done);
    session_.updateRunning = false;
}

RunResult UpdateRun::run()
{
    try {
        if (!prepare())
            return result_;
        transfer();
    } catch (const Stop &stop) {
        failed(stop.id, stop.text);
        return result_;
    } catch (const std::exception &error) {
        // Not one of the run's own failures (memory, the system): it still ends the run
        // the same way, or the window could never close again.
        result_.failure = RunFailure::Internal;
        failed(MessageId::SystemError, error.what());
        return result_;
    } catch (...) {
        result_.failure = RunFailure::Internal;
        failed(MessageId::UnknownFailure, messageText(MessageId::UnknownFailure));
        return result_;
    }
    finish();
    return result_;
}

void UpdateRun::failed(MessageId id, const std::string &message)
{
    tell_.writing(false);
    tell_.holding(false);
    session_.updateRunning = false;
    image_ = FirmwareImage {};
    readBack_ = {};
    if (result_.failure == RunFailure::None)
        result_.failure = RunFailure::Internal;
    say(id, message);
    releaseLostDevice();
}

void UpdateRun::releaseLostDevice()
{
    // A device pulled out during the run (or not back after its reset) cannot be talked to
    // on this link. Let it go and look for the device again, so that it can be updated once
    // it is back.
    if (link_->isOpen() && !link_->deviceLost())
        return;
    link_->close();
    tell_.released();
}

RunResult runUpdate(Session &session, RunScreen &screen, RunListener &events, Clock &clock, const Payloads &payloads)
{
    // A second click while the first run lets the window repaint, or a click while a poll
    // waits on the device (the image would get another device's calibration, and the poll
    // would go on over the run's link afterwards).
    if (session.runActive || session.pollActive)
        return {};
    session.runActive = true;
    session.stopRequested = false;
    struct Done {
        bool &flag;
        ~Done() { flag = false; }
    } done {session.runActive};
    return UpdateRun(session, screen, events, clock, payloads).run();
}
