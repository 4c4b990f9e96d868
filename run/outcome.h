#pragma once
#include "run_outcome.h"

#include <string>
#include <string_view>
#include <vector>


// A batch's outcome: Updated when every device was (or was current already; AlreadyCurrent when
// every one was), else the worst of them, judged by what it leaves on the device (stopped or
// lost halfway first, nothing sent last).
Outcome worstOutcome(const std::vector<Outcome> &outcomes);
// Whether an outcome, by the name the record and the journal give it, is a success: the
// device has the firmware it was to have (updated, already current) or a command that only
// reads did what it was asked (ok). Every other one is worth a look.
bool succeeded(std::string_view outcomeName);
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
    bool saidWithoutFirmware = false; // its result said the device may be without working firmware
};
// What the device of that worker came to. Updated only when the worker's result says the
// device confirmed its firmware and took its table, and the process agrees; a worker that
// ended without a result is never taken for one that updated.
Outcome workerOutcome(const WorkerEnd &end);
// Why a device is put aside: nothing is wrong with it or the line, but it waits for a person's
// decision. None for every other outcome.
enum class Aside {
    None,
    NewerFirmware, // its firmware is newer than the carried one, and no downgrade was allowed
    RecordingKept, // it may hold a recording, and it was kept (declined, or nobody to ask)
    LowBattery,    // its battery is under the guard
};
// From the outcome, and whether the device's firmware is newer than the carried one (as its
// plan said): a device refused for another reason (another hardware, an unreadable identity)
// stays a failure.
Aside asideOf(Outcome outcome, bool firmwareNewer);
// Its name in the report ("newer firmware", ...); empty for None.
const char *asideName(Aside aside);
Aside asideByName(std::string_view name);
// Whether that device may be without working firmware: as the worker's result says, or, for a
// worker that ended without one, when it had said it began to write the device.
bool mayBeWithoutFirmware(const WorkerEnd &end);



