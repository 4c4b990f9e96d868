#pragma once
#include <string>
#include <vector>

struct RunResult;
class UsbConnection;

// What a command came to, for the command line's exit status: one code per kind of failure,
// 0 only for a firmware the device confirmed and a table it took (or a command that only
// reads).
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
    Interrupted = 130, // a signal ended the program before the device was written to
};

// The outcome of an update run, from what it reports as data (never from its texts).
Outcome outcomeOf(const RunResult &result);
// A batch's outcome: Updated when every device was, else the worst of them, judged by what
// it leaves on the device (stopped or lost halfway first, nothing sent last).
Outcome worstOutcome(const std::vector<Outcome> &outcomes);
// How a batch's worker process ended, as the batch heard it: what it said as data, and how
// the process itself ended.
struct WorkerEnd {
    bool identified = false;       // it said who its device is
    bool writing = false;          // it said it began to write the device
    bool hasResult = false;        // it said its result; the three below are from that
    Outcome said = Outcome::Internal;
    bool firmwareConfirmed = false, tableSent = false;
    bool exitedNormally = true;    // false: it crashed or was killed
    int exitCode = 0;
};
// What the device of that worker came to. Updated only when the worker's result says the
// device confirmed its firmware and took its table, and the process agrees; a worker that
// ended without a result is never taken for one that updated.
Outcome workerOutcome(const WorkerEnd &end);

// The outcome's name in JSON; `readOnly` names a successful command that wrote nothing "ok".
const char *outcomeName(Outcome outcome, bool readOnly = false);

// Why the link's last open failed, in words an operator can act on ("<path>: not found",
// "... not a terminal device", in use, no permission with the udev rules); empty when the
// link is open or no open was tried.
std::string openFailureHint(const UsbConnection &link);
