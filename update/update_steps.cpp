// The update run's steps on the device, each as the protocol has it: the reset, the
// handshake, the status, the erase, the transfer, the read-back and the device's verdict.
#include "update_run.h"
#include "block_transfer.h"
#include "clock.h"
#include "handshake.h"
#include "identity_check.h"
#include "protocol.h"
#include "session.h"
#include "usb_connection.h"

#include <algorithm>

namespace {

constexpr int ResetAttempts = 20;
constexpr int UnidentifiedAttempts = 3; // reopens where the device greets but does not say who it is
constexpr int EraseMisses = 20;        // polls without a progress byte before the status is read
constexpr uint8_t EraseFailed = 0xFF;  // the erase's progress byte that says it failed
constexpr uint8_t Erased = 1;
constexpr uint8_t ImageEqual = 0, ImageDiffers = 1, Confirmed = 1;

} // namespace

void UpdateRun::reset()
{
    if (session_.portPath.empty() || !link_->sendCommand(Cmd::Reset)) {
        if (!link_->sendCommand(Cmd::Start))
            link_->sendCommand(Cmd::Start);
        return;
    }
    tell_.stage(ProgressStage::Reset, "Reset...");
    pump();
    link_->close();
    int unidentified = 0;
    for (int attempt = 0; !link_->isOpen() && attempt < ResetAttempts; ++attempt) {
        clock_.wait(Wait::ReopenGapMs);
        if (link_->openComPort(session_.portPath, false) && greetAfterReopen(*link_)) {
            if (backIsPlanned())
                break;
            // Each question unanswered costs seconds: a device that greets but never says who
            // it is ends the run about as soon as one that never came back.
            if (++unidentified >= UnidentifiedAttempts)
                break;
        }
        showProgress(attempt / 2);
        pump();
    }
    if (!link_->isOpen())
        fail(RunFailure::NotConnected, MessageId::ResetLost);
}

bool UpdateRun::backIsPlanned()
{
    // The path is where the device was before its restart, not the device: whoever answers
    // there now must say who it is before anything is written. Another device gets nothing,
    // and is not asked again (the operator has to tell the two apart); a line where nobody
    // says who they are is tried again like one that did not open.
    DeviceRecord answered;
    const Answerer who = whoAnswers(*link_, session_.record, answered);
    if (who == Answerer::Planned)
        return true;
    sayGoodbye(*link_);
    link_->close();
    if (who == Answerer::Other) {
        result_.otherDevice = answered;
        fail(RunFailure::OtherDevice, MessageId::ResetOtherDevice);
    }
    return false;
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
    tell_.stage(ProgressStage::Erase, "Memory prepare - clear");
    showProgress(0);
    pump();
    drain(4, Wait::DrainMs);
    if (!link_->sendCommand(Cmd::Erase))
        fail(RunFailure::DeviceRefused, MessageId::EraseRefused);
    result_.eraseBegun = true;
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
    tell_.stage(ProgressStage::Send, "Send update");
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
        // A device that went away refused nothing: it stopped answering as its firmware was to
        // be sent, as one lost on the first block says.
        refuse(RunFailure::DeviceRefused,
               link_->deviceLost() ? MessageId::FirmwareBlockNoAnswer : MessageId::TransferRefused);
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
    tell_.stage(ProgressStage::Verify, "Verify update");
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

