#pragma once
#include "outcome.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

// What one device of a batch came to by its last update: where and who it is, as its report
// row has them, and its outcome.
struct DeviceOutcome {
    std::string port, serial, serialHex;
    Outcome outcome = Outcome::Internal;
    std::string socket; // its socket's name
    bool mayBeWithoutFirmware = false; // as its report row says
    bool firmwareNewer = false;        // and whether its firmware is newer than the carried one
    Aside aside() const { return asideOf(outcome, firmwareNewer); }
};

// Successful devices of the devices judged (those put aside are not), in percent (0 for none);
// and the pace of a line that finished `devices` in `ms` (0 for no time at all).
double yieldPercent(int succeeded, int devices);
double devicesPerHour(int devices, int64_t ms);
// The pace a line can plan with, at `nowMs` after its start: the devices that ended (at
// `endsMs` after the start, in order) over the last half hour, or since the start when that
// is shorter, per hour. None in the first minutes or before a few devices ended: the devices
// plugged in at the start end together, whatever the line's pace.
std::optional<double> recentDevicesPerHour(const std::vector<int64_t> &endsMs, int64_t nowMs);

struct BatchSummary {
    int devices = 0, updated = 0, failed = 0;
    int putAside = 0;       // waiting for a person's decision: neither a success nor a failure
    int alreadyCurrent = 0; // a success apart from updated: nothing was written
    int succeeded = 0;      // the devices the yield counts: updated and already current
    int retried = 0; // devices updated more than once, counted by their last update
    int withoutFirmware = 0; // failed devices that may be without working firmware, counted apart
    std::map<Outcome, int> failedBy;          // how many of the other failed devices came to each outcome
    // The failed devices: those that may be without working firmware first, then the others,
    // each in the order they were first updated.
    std::vector<DeviceOutcome> failedDevices;
    std::vector<DeviceOutcome> asideDevices; // those put aside, in the order they were first updated
    Outcome worst = Outcome::Updated;         // the batch's outcome, its exit status
    int64_t durationMs = 0;                   // from the batch's start to its summary
    double yield() const { return yieldPercent(succeeded, devices - putAside); }
    double perHour() const { return devicesPerHour(devices, durationMs); }
};
// What the devices of a batch came to, from each device's last outcome (in the order the
// devices were first updated) and how many were `retried`; a batch stopped before any device
// ended was interrupted. It ran for `durationMs`.
BatchSummary batchSummary(const std::vector<DeviceOutcome> &devices, int retried, bool stopped, int64_t durationMs);

// What a device's update came to, as every view and the summary sort it: the one table from
// the outcome (and whether the device may be without working firmware) to it.
enum class DeviceEnd {
    Updated,              // its firmware is confirmed and its table taken
    AlreadyCurrent,       // it had the carried firmware already: left as it was, a success
    NotWritten,           // not written at all: a batch stopped before its turn
    Failed,               // it failed and was left as it was before (or with its new firmware)
    MayBeWithoutFirmware, // it failed while it was written: it may not start again
    PutAside,             // nothing is wrong with it: it waits for a person's decision (asideOf())
};
DeviceEnd deviceEnd(Outcome outcome, bool mayBeWithoutFirmware, bool firmwareNewer);
// Whether the operator is called to that device: it needs a hand, unlike one a station stopped.
bool needsAHand(Outcome outcome, bool mayBeWithoutFirmware, bool firmwareNewer);
