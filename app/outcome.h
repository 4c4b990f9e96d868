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
    NotAllowed = 8,   // the device is not one this build may update: nothing was sent
    TableNotSent = 9, // the firmware is installed, but the translation table did not go on
    Stopped = 10,     // the operator stopped the run while it wrote the device
    Interrupted = 130, // a signal ended the program before the device was written to
};

// The kind of failure an operator's message stands for.
Outcome classify(const std::string &message);
const char *outcomeName(Outcome outcome);

// The hint when the system refused access to a device that is there.
std::string permissionHint(const std::string &device);
// The hint when another program holds the device.
std::string busyHint(const std::string &device);

class UsbConnection;
// Why the link's last open failed, in words an operator can act on; empty when the reason
// is not one of those (the device is simply not there, or does not answer).
std::string openFailureHint(const UsbConnection &link);
