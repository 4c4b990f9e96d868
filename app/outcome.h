#pragma once
#include <string>

// What an update came to, for the command line's exit status: one code per kind of failure,
// 0 only for a firmware the device confirmed.
enum class Outcome {
    Updated = 0,
    Usage = 1,
    NotConnected = 2,
    DeviceRefused = 3,
    TransferFailed = 4,
    VerifyFailed = 5,
    PayloadInvalid = 6,
    Declined = 7,
};

// The kind of failure an operator's message stands for.
Outcome classify(const std::string &message);
const char *outcomeName(Outcome outcome);

// The hint when the system refused access to a device that is there.
std::string permissionHint(const std::string &device);
