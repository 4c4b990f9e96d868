#pragma once
#include "device_record.h"
#include "operator_messages.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

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
    OtherDevice,    // another device answered at the port when the line was opened again
};

// The firmware a device runs once its run is over, and how that is known: read from the device
// again, or from the device confirming the carried firmware (whose version the build knows).
struct FirmwareAfter {
    int version = 0;
    bool readBack = false;
    bool operator==(const FirmwareAfter &) const = default;
};
// How it is known, as the books name it: "read back" or "confirmed".
const char *firmwareAfterKnown(const FirmwareAfter &after);

// What a run came to, as data beside the texts the operator saw.
struct RunResult {
    RunStage stage = RunStage::Prepare; // the step it reached
    RunFailure failure = RunFailure::None;
    std::string message;                // the operator text that ended it, if any
    MessageId messageId = MessageId::None; // which message that is
    bool firmwareConfirmed = false;     // the device confirmed the new firmware
    bool tableSent = false;             // and took the translation table after it
    // What it runs now, once known: the carried firmware it confirmed, or what it was read to run.
    std::optional<FirmwareAfter> firmwareAfter;
    RunFailure tableFailure = RunFailure::None;
    MessageId tableMessageId = MessageId::None; // the table transfer's own last message
    std::string tableMessage;           // and its text as shown, its value (an error code) in it
    std::string payloadReason;          // a payload file that could not be read: "<path>: <why>"
    int readBackWarnings = 0;           // blocks the verify pass read back damaged (the run went on)
    bool eraseBegun = false;            // the device took the command to erase its memory
    std::string notAskedBecause;        // declined because nobody could be asked: why
    // Who answered in the device's place when the line was opened again (after the reset, or
    // for the table): another device, which got nothing but the question who it is.
    std::optional<DeviceRecord> otherDevice;
    bool started() const { return stage != RunStage::Prepare; } // the device was written to
};
const char *runStageName(RunStage stage);

// Whether the run may have left its device without working firmware: it failed once the device
// took the command to erase its memory (its own "cannot clear" after that included: the erase
// may have gone part of the way) and the device did not confirm a firmware. A run that failed
// before, one that succeeded, and one whose table alone failed leave it working.
bool mayBeWithoutFirmware(const RunResult &result);

// What a command came to: one code per kind of failure, each its exit status (exitStatus());
// success only for a firmware the device confirmed and a table it took, for a device that has
// the carried firmware already (nothing written), or for a command that only reads.
enum class Outcome {
    Updated = 0,
    Usage = 1,
    NotConnected = 2,
    DeviceRefused = 3,
    TransferFailed = 4,
    VerifyFailed = 5,
    PayloadInvalid = 6,
    Declined = 7,
    NotAllowed = 8,    // the device is not one this build may update: nothing was sent
    TableNotSent = 9,  // the firmware is installed, but the translation table did not go on
    Stopped = 10,      // the operator stopped the run while it wrote the device
    Internal = 11,     // a failure of the program itself (memory, the system)
    LowBattery = 12,   // the battery is below the guard and --allow-low-battery was not given
    SameSerial = 13,   // in a batch, another device present has the same serial: it is not updated
    Skipped = 14,      // a batch's worker got no word to go on (the batch went away or said nothing)
    Unidentified = 15, // a batch's worker ended without saying who its device is
    WorkerLost = 16,   // a batch's worker ended without a result (crashed, killed): maybe half written
    DeviceLost = 17,   // the device went away while it was written: maybe without working firmware,
                       // or with its new firmware confirmed and without its table
    AlreadyCurrent = 18, // the device has the carried firmware already: nothing was written (exit 0)
    OtherDevice = 19,  // after the reset another device answered at the port: nothing was written to
                       // either, the device planned keeps its old firmware
    Interrupted = 130, // a signal ended the program before the device was written to
};

// The exit status of an outcome: 0 for both successes, else its own code.
int exitStatus(Outcome outcome);
// Updated, or already current: the device runs the carried firmware (or a command that only
// reads did what it was asked). Every other outcome is a failure, whose byte trace is kept.
bool succeeded(Outcome outcome);

// The outcome of an update run, from what it reports as data (never from its texts).
Outcome outcomeOf(const RunResult &result);


// The outcome's name in JSON; `readOnly` names a successful command that wrote nothing "ok".
const char *outcomeName(Outcome outcome, bool readOnly = false);
// Every outcome, in the order of their codes: found by their names, so that one added later is
// here without a list to keep beside the enum.
const std::vector<Outcome> &allOutcomes();
// The outcome a name (outcomeName's, "ok" included) stands for; none for a name of no outcome.
std::optional<Outcome> outcomeByName(std::string_view name);

// What a run came to, in the words the operator saw: the message that ended it, or, when the
// firmware went on but the table did not, the table's own failure (never the firmware's
// success said after it). Empty when the run said nothing.
std::string endText(const RunResult &result);
