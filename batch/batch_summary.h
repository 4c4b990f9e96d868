#pragma once
#include "outcome.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// What one device of a batch came to by its last update: where and who it is, as its report
// row has them, and its outcome.
struct DeviceOutcome {
    std::string port, serial, serialHex;
    Outcome outcome = Outcome::Internal;
    std::string socket; // its socket's name
};

// A device that came to this counts for the batch's yield: the line has nothing more to do
// with it.
bool succeeded(Outcome outcome);
// Successful devices of all devices, in percent (0 for none); and the pace of a line that
// finished `devices` in `ms` (0 for no time at all).
double yieldPercent(int succeeded, int devices);
double devicesPerHour(int devices, int64_t ms);

struct BatchSummary {
    int devices = 0, updated = 0, failed = 0;
    int succeeded = 0; // the devices the yield counts (updated among them)
    int retried = 0; // devices updated more than once, counted by their last update
    std::map<Outcome, int> failedBy;          // how many devices came to each outcome but a success
    std::vector<DeviceOutcome> failedDevices; // in the order they were first updated
    Outcome worst = Outcome::Updated;         // the batch's outcome, its exit status
    int64_t durationMs = 0;                   // from the batch's start to its summary
    double yield() const { return yieldPercent(succeeded, devices); }
    double perHour() const { return devicesPerHour(devices, durationMs); }
};
// What the devices of a batch came to, from each device's last outcome (in the order the
// devices were first updated) and how many were `retried`; a batch stopped before any device
// ended was interrupted. It ran for `durationMs`.
BatchSummary batchSummary(const std::vector<DeviceOutcome> &devices, int retried, bool stopped, int64_t durationMs);
