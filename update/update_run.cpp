#include "update_run.h"
#include "abort.h"
#include "block_transfer.h"
#include "clock.h"
#include "handshake.h"
#include "language_transfer.h"
#include "payload_file.h"
#include "protocol.h"
#include "run_screen.h"
#include "session.h"
#include "usb_connection.h"

#include <algorithm>
#include <exception>
#include <cstdio>

namespace {

constexpr int ResetAttempts = 20;
constexpr int ReopenGapMs = 500;       // the device needs this long to come back after a reset
constexpr int ErasePollMs = 200;
constexpr int EraseMisses = 20;        // polls without a progress byte before the status is read
constexpr uint8_t EraseFailed = 0xFF;
constexpr uint8_t Erased = 1;
constexpr int RefusalListenMs = 10;    // a byte this soon after a transfer command refuses it
constexpr int FallbackLimit1K = 16;    // the fallback transfer takes at most this many blocks
constexpr int Choose512Above1K = 30;   // small devices take 512-byte blocks for larger images
constexpr int AfterBlockMs = 100;
constexpr int BeforeVerifyMs = 100;
constexpr int BeforeReadBackMs = 20;
constexpr int AfterConfirmMs = 250;
constexpr int LastSmallHardware = 22;
constexpr uint8_t ImageEqual = 0, ImageDiffers = 1, Confirmed = 1;

const char *const ConfirmText = "Make sure there is no untransferred recording on your device.\n"
                                "A firmware update will delete that recording.";
const char *const LargeSuccess =
    "Update sended success!\nPlease initialise your Corvane device with Parlux light because the firmware "
    "update stored a standard montage on your device\nwhich might not be identical with your commonly used "
    "montage.";

std::string hexOffset(const char *text, int offset)
{
    char line[96];
    std::snprintf(line, sizeof line, "%s%X", text, offset);
    return line;
}

} // namespace

void writeServiceHeader(std::vector<uint8_t> &image, const ServiceFields &f)
{
    constexpr size_t At = 0x200;
    // The last four characters of the serial number, right-aligned, '0' in front.
    const std::string serial = f.serial.size() > 4 ? f.serial.substr(f.serial.size() - 4) : f.serial;
    const std::string padded = std::string(4 - serial.size(), '0') + serial;
    std::copy(padded.begin(), padded.end(), image.begin() + At);
    const int values[] = {f.koefX, f.offsX, f.koefY, f.offsY, f.koefZ, f.offsZ, f.koefM, f.deviceInfo};
    for (size_t i = 0; i < std::size(values); ++i)
        image[At + 4 + i] = uint8_t(values[i] & 0xFF);
}

UpdateRun::UpdateRun(Session &session, RunScreen &screen, Clock &clock, Payloads payloads)
    : session_(session), screen_(screen), clock_(clock), payloads_(std::move(payloads)), link_(session.link)
{
}

// ---- the steps ------------------------------------------------------------------------

void UpdateRun::sendCommand(uint8_t command)
{
    link_->sendCommand(command, link_->doubled());
}

bool UpdateRun::echoed(uint8_t command)
{
    return link_->sendCommand(command, link_->doubled());
}

void UpdateRun::drain(int n, int ms)
{
    ::drain(*link_, n, ms);
}

void UpdateRun::pump()
{
    clock_.pump();
    if (session_.stopRequested)
        fail(RunFailure::Stopped, StoppedByOperator);
}

void UpdateRun::fail(RunFailure kind, const std::string &message)
{
    result_.failure = kind;
    throw Abort(message);
}

void UpdateRun::refuse(RunFailure kind, const std::string &message)
{
    result_.failure = kind;
    result_.message = message;
    screen_.failure(message);
}

bool UpdateRun::prepare()
{
    if (!link_ || !link_->isOpen()) {
        refuse(RunFailure::NotConnected, "Device is not connected!");
        return false;
    }
    uint8_t stale[2];
    link_->read(stale, 2);
    if (session_.batteryShown && session_.lastBatteryShown < BatteryGuardBelow &&
        !screen_.confirmLowBattery(session_.lastBatteryShown)) {
        result_.failure = RunFailure::LowBattery;
        screen_.pollNow();
        return false;
    }
    if (session_.record.deviceStatus == 0 && !screen_.confirm("Update", ConfirmText)) {
        result_.failure = RunFailure::Declined;
        screen_.pollNow();
        return false;
    }
    // The message stays the run's own; why the file could not be used goes beside it.
    const PayloadFile text = readPayloadFile(payloads_.firmware, PayloadKind::Firmware);
    if (!text.ok())
        result_.payloadReason = payloads_.firmware + ": " + text.reason;
    if (!text.ok() && !text.readFailed) {
        refuse(RunFailure::PayloadInvalid, "Hex-File cannot open!");
        return false;
    }
    screen_.stopPolling();
    screen_.setBusy(true);
    ImageLoad load = !text.ok() ? ImageLoad {false, "Cannot read Intel-Hex file", {}, result_.payloadReason}
                                : parseIntelHex(text.bytes.constData(), size_t(text.bytes.size()),
                                                session_.record.hardwareVersion);
    if (!load.ok || !load.image.endOfFile) {
        screen_.setBusy(false);
        result_.failure = RunFailure::PayloadInvalid;
        if (!load.ok)
            refuse(RunFailure::PayloadInvalid, load.message);
        return false; // a text without its end record ends the run without a word
    }
    image_ = std::move(load.image);
    readBack_.assign(image_.capacity(), 0);
    blocks1K_ = int((image_.length() + 1023) / 1024);
    blocks512_ = int((image_.length() + 511) / 512);
    writeServiceHeader(image_.buffer, screen_.serviceFields());
    status_ = 0xFF;
    session_.updateRunning = true;
    screen_.showProgress();
    drain(2, 200);
    return true;
}

void UpdateRun::reset()
{
    if (session_.portPath.empty() || !echoed(Cmd::Reset)) {
        if (!echoed(Cmd::Start))
            sendCommand(Cmd::Start);
        return;
    }
    screen_.progressCaption(ProgressStage::Reset, "Reset...");
    pump();
    link_->close();
    for (int attempt = 0; !link_->isOpen() && attempt < ResetAttempts; ++attempt) {
        clock_.wait(ReopenGapMs);
        if (link_->openComPort(session_.portPath, false) && greetAfterReopen(*link_))
            break;
        screen_.setProgress(attempt / 2);
        pump();
    }
    if (!link_->isOpen())
        fail(RunFailure::NotConnected, "Cannot connect to device after Reset.");
}

void UpdateRun::connect()
{
    drain(4, 100);
    const bool online = probeHandshake(*link_, false, [this](int retry) {
        screen_.setProgress(20 * retry);
        pump();
    });
    if (!online)
        fail(RunFailure::NotConnected, "Cannot connect!");
}

void UpdateRun::readStatus()
{
    drain(4, 100);
    uint8_t status = 0;
    if (echoed(Cmd::Status) && link_->read(&status, 1))
        status_ = status;
    if (status_ == 0xFF)
        fail(RunFailure::DeviceRefused, "Device status cannot receive");
}

void UpdateRun::erase()
{
    screen_.progressCaption(ProgressStage::Erase, "Memory prepare - clear");
    screen_.setProgress(0);
    pump();
    drain(4, 100);
    if (!echoed(Cmd::Erase))
        fail(RunFailure::DeviceRefused, "Data cannot clear.1");
    uint8_t last = 0, byte = 0;
    if (link_->read(&byte, 1))
        last = byte;
    // The device reports its progress; the bar never moves back.
    int misses = 0;
    do {
        screen_.setProgress(std::max(screen_.progress(), int(last)));
        pump();
        clock_.wait(ErasePollMs);
        if (link_->read(&byte, 1)) {
            misses = 0;
            last = byte;
            if (byte == EraseFailed)
                fail(RunFailure::DeviceRefused, "Data cannot clear.3");
        } else {
            ++misses;
        }
    } while (misses < EraseMisses && last < 100);
    const uint8_t status = link_->read(&byte, 1) ? byte : last;
    if (status != Erased)
        fail(RunFailure::DeviceRefused, "Data cannot clear.2");
    clock_.wait(200);
    drain(4, 500);
}

int plannedFirmwareBlocks(uint32_t length, int hardwareVersion)
{
    const int blocks1K = int((length + 1023) / 1024);
    return hardwareVersion > LastSmallHardware || blocks1K > Choose512Above1K ? int((length + 511) / 512) : blocks1K;
}

bool UpdateRun::openTransfer()
{
    screen_.progressCaption(ProgressStage::Send, "Send update");
    screen_.setProgress(0);
    pump();
    transferCommand_ = session_.record.hardwareVersion > LastSmallHardware ? Cmd::Transfer512Wide
                       : blocks1K_ > Choose512Above1K                   ? Cmd::Transfer512
                                                                        : Cmd::Transfer1K;
    // Any byte soon after a transfer command refuses it.
    auto refused = [this] {
        uint8_t scratch[2];
        int heard = 0;
        link_->readWithTimeout(scratch, 2, &heard, RefusalListenMs);
        return heard > 0;
    };
    if (!echoed(transferCommand_)) {
        transferCommand_ = 0;
    } else if (refused()) {
        // A small image may still go in the fallback mode, which takes no count.
        transferCommand_ = 0;
        if (blocks1K_ <= FallbackLimit1K && echoed(Cmd::Transfer1KNoCount) && !refused())
            transferCommand_ = Cmd::Transfer1KNoCount;
    } else if (transferCommand_ == Cmd::Transfer512Wide) {
        const uint8_t count[2] = {uint8_t(blocks512_ >> 8), uint8_t(blocks512_ & 0xFF)};
        link_->write(count, 2);
    } else {
        const uint8_t count = uint8_t((transferCommand_ == Cmd::Transfer512 ? blocks512_ : blocks1K_) & 0xFF);
        link_->write(&count, 1);
    }
    const bool small = transferCommand_ == Cmd::Transfer512 || transferCommand_ == Cmd::Transfer512Wide;
    blockSize_ = small ? 512 : 1024;
    blockCount_ = small ? blocks512_ : blocks1K_;
    if (transferCommand_ == 0) {
        refuse(RunFailure::DeviceRefused, "Update error!.3");
        return false;
    }
    return true;
}

void UpdateRun::sendBlocks()
{
    for (int sent = 0; sent < blockCount_; ++sent) {
        try {
            sendBlockAcknowledged(*link_, image_.buffer.data() + size_t(sent) * size_t(blockSize_), blockSize_,
                                  "Error by senden Update");
        } catch (const BlockRefused &refusal) {
            fail(RunFailure::DeviceRefused, refusal.message());
        } catch (const Abort &notTaken) {
            fail(RunFailure::TransferFailed, notTaken.message());
        }
        clock_.wait(AfterBlockMs);
        screen_.setProgress((sent + 1) * 100 / blockCount_);
        pump();
    }
}

void UpdateRun::verify()
{
    std::fill(readBack_.begin(), readBack_.end(), 0);
    clock_.wait(BeforeVerifyMs);
    screen_.progressCaption(ProgressStage::Verify, "Verify update");
    int index = 0, percent = 0, stalled = 0;
    for (;;) {
        screen_.setProgress(percent);
        pump();
        if (index >= blockCount_)
            return;
        clock_.wait(BeforeReadBackMs);
        const int offset = index * blockSize_;
        uint8_t *block = readBack_.data() + offset;
        int received = 0;
        uint8_t check = 0;
        const bool whole = link_->read(block, blockSize_, &received);
        const bool checked = link_->read(&check, 1);
        if (whole && checked) {
            if (blockXor(block, blockSize_) != check)
                screen_.diagnostic(hexOffset("Daten lesen: XOR Summe ist fehlerhaft. Offset: ", offset));
            const uint8_t taken = Reply::Accepted;
            link_->write(&taken, 1);
            ++index;
            stalled = 0;
        } else {
            if (received > 1) {
                const uint8_t again = Reply::SendAgain;
                link_->write(&again, 1);
                if (received == blockSize_)
                    screen_.diagnostic(hexOffset("Daten lesen error Offset: ", offset));
            } else if (index == 0) {
                fail(RunFailure::VerifyFailed, "Error by verify Update");
            }
            // A device that keeps failing to deliver must not hold the run for ever.
            if (++stalled >= MaxStalledVerifyPasses)
                fail(RunFailure::VerifyFailed, "Error by verify Update");
        }
        percent = index * 100 / blockCount_;
    }
}

void UpdateRun::confirm()
{
    const bool equal = std::equal(readBack_.begin(), readBack_.end(), image_.buffer.begin());
    const uint8_t result = equal ? ImageEqual : ImageDiffers;
    link_->write(&result, 1);
    uint8_t answer = 0;
    if (!link_->read(&answer, 1)) {
        refuse(RunFailure::VerifyFailed, "Update error!.2");
        return;
    }
    screen_.closeProgress();
    if (answer != Confirmed) {
        refuse(RunFailure::VerifyFailed, "Update error!.1");
        return;
    }
    clock_.wait(AfterConfirmMs);
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
    screen_.closeProgress();
    image_ = FirmwareImage {};
    readBack_ = {};
    screen_.setBusy(false);
    if (!succeeded_) {
        session_.updateRunning = false;
        releaseLostDevice();
        return;
    }
    link_->close();
    result_.firmwareConfirmed = true;
    reach(RunStage::Table);
    const TableOutcome table = sendLanguageTable(session_, screen_, clock_, payloads_.table, &result_.payloadReason);
    result_.tableSent = table == TableOutcome::Sent;
    result_.tableFailure = table == TableOutcome::Sent      ? RunFailure::None
                           : table == TableOutcome::Stopped ? RunFailure::Stopped
                                                            : RunFailure::TransferFailed;
    screen_.setBusy(false);
    if (!result_.tableSent) {
        result_.message = session_.record.hardwareVersion > LastSmallHardware ? LargeSuccess : "Update sended success!";
        screen_.message(result_.message);
    } else {
        result_.message = "Update and Language sended success!";
    }
    reach(RunStage::Done);
    session_.updateRunning = false;
    screen_.closeWindow();
}

RunResult UpdateRun::run()
{
    try {
        if (!prepare())
            return result_;
        transfer();
    } catch (const Abort &failure) {
        failed(failure.message());
        return result_;
    } catch (const std::exception &error) {
        // Not one of the run's own failures (memory, the system): it still ends the run
        // the same way, or the window could never close again.
        result_.failure = RunFailure::Internal;
        failed(error.what());
        return result_;
    } catch (...) {
        result_.failure = RunFailure::Internal;
        failed("Update error: unknown failure");
        return result_;
    }
    finish();
    return result_;
}

void UpdateRun::failed(const std::string &message)
{
    screen_.closeProgress();
    screen_.setBusy(false);
    session_.updateRunning = false;
    image_ = FirmwareImage {};
    readBack_ = {};
    if (result_.failure == RunFailure::None)
        result_.failure = RunFailure::Internal;
    result_.message = message;
    screen_.failure(message);
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
    screen_.pollNow();
}

RunResult UpdateButtonClick(Session &session, RunScreen &screen, Clock &clock, const Payloads &payloads)
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
    return UpdateRun(session, screen, clock, payloads).run();
}

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
