#pragma once
#include <string>

class ConsoleScreen;
struct CliArguments;
struct DeviceRecord;
struct Session;

// How the firmware about to go on stands to the device's: "newer", "the same" or "older";
// empty when that cannot be said: a firmware file of the operator's (its version is not
// known), or a device of another hardware version than the build's, whose firmware
// versions count for another device.
std::string firmwareAge(const Session &session, bool carriedFirmware);

// "older than the device's firmware 70 from 19.10.21: a downgrade", for a plan or a question.
std::string downgradeText(const DeviceRecord &record);

// What `update` would do with the device just read, and why, by the same checks in the same
// order: the build's hardware version and the device's firmware, then the battery guard
// (unless --allow-low-battery), then what it would install over what.
struct UpdateVerdict {
    bool goesAhead = false;
    std::string reason;
};
UpdateVerdict updateVerdict(const Session &session, const CliArguments &a);

// `info`: who the device just read is, its calibration and battery, and what update would do
// with it, as one event.
void showDeviceInfo(const Session &session, ConsoleScreen &screen, const CliArguments &a);
