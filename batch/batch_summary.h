#pragma once
#include "outcome.h"

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

struct BatchSummary {
    int devices = 0, updated = 0, failed = 0;
    int retried = 0; // devices updated more than once, counted by their last update
    std::map<Outcome, int> failedBy;          // how many devices came to each outcome but "updated"
    std::vector<DeviceOutcome> failedDevices; // in the order they were first updated
    Outcome worst = Outcome::Updated;         // the batch's outcome, its exit status
};
// What the devices of a batch came to, from each device's last outcome (in the order the
// devices were first updated) and how many were `retried`; a batch stopped before any device
// ended was interrupted.
BatchSummary batchSummary(const std::vector<DeviceOutcome> &devices, int retried, bool stopped);
