#pragma once
#include "firmware_image.h"
#include "operator_messages.h"
#include "transfer_plan.h"

#include <QByteArray>
#include <cstdint>
#include <optional>
#include <string>

class Clock;
class RunScreen;
struct ServiceFields;
struct Session;
class UsbConnection;

// Where the run takes its payloads from: the carried resources, or files (tests, tools).
struct Payloads {
    std::string firmware = ":/FIRMWARE_HEX";
    std::string table = ":/LANGUAGE_TRA";
};

// How far a run got: each step of the device's update in order.
enum class RunStage { Prepare, Reset, Connect, Status, Erase, Send, Verify, Confirm, Table, Done };

// What kind of failure ended a run (or its table transfer).
enum class RunFailure {
    None,
    NotConnected,   // no device, or it did not come back
    Declined,       // the operator said no to the question (or it could not be asked)
    LowBattery,     // the battery is too low and the operator did not choose to go on
    PayloadInvalid, // the firmware text does not load
    DeviceRefused,  // the device refused its status, the erase, the transfer or a block
    TransferFailed, // a block was not taken
    VerifyFailed,   // the read-back or the device's confirmation failed
    Stopped,        // the operator stopped it while it wrote the device
    Internal,       // not one of the run's own failures (memory, the system)
    DeviceLost,     // the device went away while it was written (the link lost it)
};

// What a run came to, as data beside the texts the operator saw.
struct RunResult {
    RunStage stage = RunStage::Prepare; // the step it reached
    RunFailure failure = RunFailure::None;
    std::string message;                // the operator text that ended it, if any
    MessageId messageId = MessageId::None; // which message that is
    bool firmwareConfirmed = false;     // the device confirmed the new firmware
    bool tableSent = false;             // and took the translation table after it
    RunFailure tableFailure = RunFailure::None;
    MessageId tableMessageId = MessageId::None; // the table transfer's own last message
    std::string payloadReason;          // a payload file that could not be read: "<path>: <why>"
    bool started() const { return stage != RunStage::Prepare; } // the device was written to
};
const char *runStageName(RunStage stage);

// The run behind "Update": confirm, load the image, keep the device's identity and
// calibration in it, reset and reconnect, erase, send, read back, let the device confirm,
// then send the translation table. Every failure ends in the operator's message.
class UpdateRun {
public:
    UpdateRun(Session &session, RunScreen &screen, Clock &clock, Payloads payloads = {});
    RunResult run();

    // Below this battery percentage the operator is asked (the command line refuses)
    // before anything is sent: a run that stops halfway leaves no working firmware.
    static constexpr int BatteryGuardBelow = 20;

    // Longest run of verify passes that take no block before the run gives up.
    static constexpr int MaxStalledVerifyPasses = 10;

private:
    bool prepare();
    void transfer();
    void reset();
    void connect();
    void readStatus();
    void erase();
    bool openTransfer();
    void sendBlocks();
    void verify();
    void confirm();
    void finish();
    void releaseLostDevice();
    void failed(MessageId id, const std::string &message);
    // What a failure the device seemed to cause comes to when the link lost the device.
    RunFailure causeOf(RunFailure kind) const;
    // The message whose explanation goes with the failure shown: the step's text stays, what
    // it means is that the device went away.
    MessageId explainedBy() const
    {
        return result_.failure == RunFailure::DeviceLost ? MessageId::DeviceLost : result_.messageId;
    }
    // A failure that shows its message and lets the run return.
    void refuse(RunFailure kind, MessageId id, const std::string &text = {});
    void reach(RunStage stage) { result_.stage = stage; }

    void sendCommand(uint8_t command);
    bool echoed(uint8_t command);
    void drain(int n, int ms);
    void pump();
    // A failure that ends the run from wherever it is; the text is the id's own unless given.
    [[noreturn]] void fail(RunFailure kind, MessageId id, const std::string &text = {});

    Session &session_;
    RunScreen &screen_;
    Clock &clock_;
    Payloads payloads_;
    UsbConnection *link_ = nullptr;
    FirmwareImage image_;
    std::vector<uint8_t> readBack_;
    uint8_t status_ = 0xFF;
    TransferPlan plan_;
    bool succeeded_ = false;
    RunResult result_;
};

// Runs one update unless one is under way already (the button stays clickable while the
// run lets the window repaint) or the device is being read (its calibration is not yet
// known). What the run came to; nothing confirmed when no run started.
RunResult UpdateButtonClick(Session &session, RunScreen &screen, Clock &clock, const Payloads &payloads = {});
