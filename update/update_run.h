#pragma once
#include "firmware_image.h"

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
};

// What a run came to, as data beside the texts the operator saw.
struct RunResult {
    RunStage stage = RunStage::Prepare; // the step it reached
    RunFailure failure = RunFailure::None;
    std::string message;                // the operator text that ended it, if any
    bool firmwareConfirmed = false;     // the device confirmed the new firmware
    bool tableSent = false;             // and took the translation table after it
    RunFailure tableFailure = RunFailure::None;
    std::string payloadReason;          // a payload file that could not be read: "<path>: <why>"
    bool started() const { return stage != RunStage::Prepare; } // the device was written to
};
const char *runStageName(RunStage stage);

// The operator's stop (asked for through Session::stopRequested) ends the run with this.
inline constexpr const char *StoppedByOperator = "Update stopped by the operator";

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
    void failed(const std::string &message);
    // A failure that shows its message and lets the run return.
    void refuse(RunFailure kind, const std::string &message);
    void reach(RunStage stage) { result_.stage = stage; }

    void sendCommand(uint8_t command);
    bool echoed(uint8_t command);
    void drain(int n, int ms);
    void pump();
    [[noreturn]] void fail(RunFailure kind, const std::string &message);

    Session &session_;
    RunScreen &screen_;
    Clock &clock_;
    Payloads payloads_;
    UsbConnection *link_ = nullptr;
    FirmwareImage image_;
    std::vector<uint8_t> readBack_;
    int blocks1K_ = 0, blocks512_ = 0;
    uint8_t status_ = 0xFF;
    uint8_t transferCommand_ = 0;
    int blockSize_ = 0, blockCount_ = 0;
    bool succeeded_ = false;
    RunResult result_;
};

// The 12 bytes at 0x200 that keep the device's own serial number, calibration and
// information byte across the update.
void writeServiceHeader(std::vector<uint8_t> &image, const ServiceFields &fields);

// How many blocks the run sends a firmware image of `length` bytes in to a device of this
// hardware version, unless the device refuses that transfer and takes the fallback.
int plannedFirmwareBlocks(uint32_t length, int hardwareVersion);

// Runs one update unless one is under way already (the button stays clickable while the
// run lets the window repaint) or the device is being read (its calibration is not yet
// known). What the run came to; nothing confirmed when no run started.
RunResult UpdateButtonClick(Session &session, RunScreen &screen, Clock &clock, const Payloads &payloads = {});
