#pragma once
#include <string>

struct DeviceRecord;
struct Session;

// How the firmware about to go on stands to the device's: "newer", "the same" or "older";
// empty when that cannot be said: a firmware file of the operator's (its version is not
// known), or a device of another hardware version than the build's, whose firmware
// versions count for another device.
std::string firmwareAge(const Session &session, bool carriedFirmware);

// "older than the device's firmware 70 from 19.10.21: a downgrade", for a plan or a question.
std::string downgradeText(const DeviceRecord &record);

// "firmware 68 from 05.11.21": the carried firmware, as the operator is told it.
std::string carriedFirmwareText();
