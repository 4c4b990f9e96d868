#include "update_run.h"
#include "block_transfer.h"
#include "clock.h"
#include "handshake.h"
#include "language_transfer.h"
#include "payload_file.h"
#include "protocol.h"
#include "battery.h"
#include "session.h"
#include "usb_connection.h"

#include <algorithm>
#include <exception>

namespace {

constexpr int ResetAttempts = 20;
constexpr int EraseMisses = 20;        // polls without a progress byte before the status is read
constexpr uint8_t EraseFailed = 0xFF;  // the erase's progress byte that says it failed
constexpr uint8_t Erased = 1;
constexpr uint8_t ImageEqual = 0, ImageDiffers = 1, Confirmed = 1;

// What ends the run from within a step: its message, by id and as shown.
struct RunStop {
    MessageId id;
    std::string text;
};

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

void UpdateRun::stage(ProgressStage id, const char *caption)
{
    tell_.stage(id, caption);
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
    throw RunStop {id, text.empty() ? messageText(id) : text};
}

void UpdateRun::refuse(RunFailure kind, MessageId id, const std::string &text)
{
    result_.failure = causeOf(kind);
    result_.messageId = id;
    result_.message = text.empty() ? messageText(id) : text;
    RunMessage m = RunMessage::of(id, result_.message);
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
    writeServiceHeader(image_.buffer, serviceFieldsOf(session_.record, session_.calibration));
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
        q.yes = screen_.confirmLowBattery(*battery);
        tell_.question(q);
        if (!q.yes) {
            // No box of its own: the answer was the operator's. The run still says why.
            result_.failure = RunFailure::LowBattery;
            result_.messageId = MessageId::BatteryLow;
            result_.message = messageText(MessageId::BatteryLow, std::to_string(*battery) +
                                                                     " %): not updated, as the operator chose");
            tell_.released();
            return false;
        }
    }
    if (session_.record.asksBeforeErase()) {
        q = {RunQuestion::Topic::Erase, "Update", messageText(MessageId::ConfirmErase), 0, false, clock_.nowMs()};
        q.yes = screen_.confirm(q.caption, q.text);
        tell_.question(q);
        if (!q.yes) {
            result_.failure = RunFailure::Declined;
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

void UpdateRun::reset()
{
    if (session_.portPath.empty() || !link_->sendCommand(Cmd::Reset)) {
        if (!link_->sendCommand(Cmd::Start))
            link_->sendCommand(Cmd::Start);
        return;
    }
    stage(ProgressStage::Reset, "Reset...");
    pump();
    link_->close();
    for (int attempt = 0; !link_->isOpen() && attempt < ResetAttempts; ++attempt) {
        clock_.wait(Wait::ReopenGapMs);
        if (link_->openComPort(session_.portPath, false) && greetAfterReopen(*link_))
            break;
        showProgress(attempt / 2);
        pump();
    }
    if (!link_->isOpen())
        fail(RunFailure::NotConnected, MessageId::ResetLost);
}

void UpdateRun::connect()
{
    drain(4, Wait::DrainMs);
    const bool online = probeHandshake(*link_, false, [this](int retry) {
        showProgress(20 * retry);
        pump();
    });
    if (!online)
        fail(RunFailure::NotConnected, MessageId::ConnectLost);
}

void UpdateRun::readStatus()
{
    drain(4, Wait::DrainMs);
    uint8_t status = 0;
    if (link_->sendCommand(Cmd::Status) && link_->read(&status, 1))
        status_ = status;
    if (status_ == DeviceRecord::NoStatus)
        fail(RunFailure::DeviceRefused, MessageId::StatusMissing);
}

void UpdateRun::erase()
{
    stage(ProgressStage::Erase, "Memory prepare - clear");
    showProgress(0);
    pump();
    drain(4, Wait::DrainMs);
    if (!link_->sendCommand(Cmd::Erase))
        fail(RunFailure::DeviceRefused, MessageId::EraseRefused);
    uint8_t last = 0, byte = 0;
    if (link_->read(&byte, 1))
        last = byte;
    // The device reports its progress; the bar never moves back.
    int misses = 0;
    do {
        showProgress(std::max(shown_, int(last)));
        pump();
        clock_.wait(Wait::ErasePollMs);
        if (link_->read(&byte, 1)) {
            misses = 0;
            last = byte;
            if (byte == EraseFailed)
                fail(RunFailure::DeviceRefused, MessageId::EraseFailed);
        } else {
            ++misses;
        }
    } while (misses < EraseMisses && last < 100);
    const uint8_t status = link_->read(&byte, 1) ? byte : last;
    if (status != Erased)
        fail(RunFailure::DeviceRefused, MessageId::EraseUnconfirmed);
    clock_.wait(Wait::AfterEraseMs);
    drain(4, Wait::SettleDrainMs);
}

bool UpdateRun::openTransfer()
{
    stage(ProgressStage::Send, "Send update");
    showProgress(0);
    pump();
    // Any byte soon after a transfer command refuses it.
    auto refused = [this] {
        uint8_t scratch[2];
        int heard = 0;
        link_->readWithTimeout(scratch, 2, &heard, Wait::RefusalListenMs);
        return heard > 0;
    };
    plan_ = firmwareTransferPlan(image_.length(), session_.record.hardwareVersion);
    if (!link_->sendCommand(plan_.command)) {
        plan_ = {};
    } else if (refused()) {
        // A small image may still go in the fallback mode, which takes no count.
        const std::optional<TransferPlan> fallback = firmwareFallbackPlan(image_.length());
        plan_ = fallback && link_->sendCommand(fallback->command) && !refused() ? *fallback : TransferPlan {};
    } else {
        const std::vector<uint8_t> count = plan_.countBytes();
        link_->write(count.data(), int(count.size()));
    }
    if (plan_.command == 0) {
        refuse(RunFailure::DeviceRefused, MessageId::TransferRefused);
        return false;
    }
    return true;
}

void UpdateRun::sendBlocks()
{
    for (int sent = 0; sent < plan_.blockCount; ++sent) {
        const uint8_t *block = image_.buffer.data() + size_t(sent) * size_t(plan_.blockSize);
        const BlockOutcome outcome = sendBlockAcknowledged(*link_, block, plan_.blockSize);
        if (const BlockFailure f = blockFailure(outcome, BlockPayload::Firmware); f.failed())
            fail(f.refused ? RunFailure::DeviceRefused : RunFailure::TransferFailed, f.id, f.text);
        clock_.wait(Wait::AfterBlockMs);
        showProgress((sent + 1) * 100 / plan_.blockCount);
        pump();
    }
}

void UpdateRun::verify()
{
    std::fill(readBack_.begin(), readBack_.end(), 0);
    clock_.wait(Wait::BeforeVerifyMs);
    stage(ProgressStage::Verify, "Verify update");
    int index = 0, percent = 0, stalled = 0;
    for (;;) {
        showProgress(percent);
        pump();
        if (index >= plan_.blockCount)
            return;
        clock_.wait(Wait::BeforeReadBackMs);
        if (verifyBlock(index)) {
            ++index;
            stalled = 0;
        } else if (++stalled >= MaxStalledVerifyPasses) {
            // A device that keeps failing to deliver must not hold the run for ever.
            fail(RunFailure::VerifyFailed, MessageId::VerifyFailed);
        }
        percent = index * 100 / plan_.blockCount;
    }
}

bool UpdateRun::verifyBlock(int index)
{
    const int size = plan_.blockSize, offset = index * size;
    uint8_t *block = readBack_.data() + offset;
    int received = 0;
    uint8_t check = 0;
    const bool whole = link_->read(block, size, &received);
    const bool checked = link_->read(&check, 1);
    if (whole && checked) {
        if (blockXor(block, size) != check)
            diagnostic(MessageId::ReadBackChecksum, offset);
        const uint8_t taken = Reply::Accepted;
        link_->write(&taken, 1);
        return true;
    }
    if (received > 1) {
        const uint8_t again = Reply::SendAgain;
        link_->write(&again, 1);
        if (received == size)
            diagnostic(MessageId::ReadBackIncomplete, offset);
    } else if (index == 0) {
        fail(RunFailure::VerifyFailed, MessageId::VerifyFailed);
    }
    return false;
}

void UpdateRun::confirm()
{
    const bool equal = std::equal(readBack_.begin(), readBack_.end(), image_.buffer.begin());
    const uint8_t result = equal ? ImageEqual : ImageDiffers;
    link_->write(&result, 1);
    uint8_t answer = 0;
    if (!link_->read(&answer, 1)) {
        refuse(RunFailure::VerifyFailed, MessageId::ConfirmMissing);
        return;
    }
    tell_.writing(false);
    if (answer != Confirmed) {
        refuse(RunFailure::VerifyFailed, MessageId::ImageRejected);
        return;
    }
    clock_.wait(Wait::AfterConfirmMs);
    uint8_t spare;
    link_->read(&spare, 1);
    succeeded_ = true;
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
    reach(RunStage::Table);
    const TableResult table = sendLanguageTable(session_, tell_, clock_, payloads_.table, &result_.payloadReason);
    result_.tableSent = table.outcome == TableOutcome::Sent;
    result_.tableFailure = table.outcome == TableOutcome::Sent      ? RunFailure::None
                           : table.outcome == TableOutcome::Stopped ? RunFailure::Stopped
                           : table.outcome == TableOutcome::Lost    ? RunFailure::DeviceLost
                                                                    : RunFailure::TransferFailed;
    result_.tableMessageId = table.messageId;
    result_.tableMessage = table.message;
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
    } catch (const RunStop &stop) {
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
    result_.messageId = id;
    result_.message = message;
    RunMessage m = RunMessage::of(id, message);
    m.explainedBy = explainedBy();
    tell_.message(m);
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
