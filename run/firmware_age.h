#pragma once
#include "readout.h"

#include <string>

struct DeviceRecord;
struct Session;

// How the firmware about to go on stands to the device's; Unknown when that cannot be said: a
// firmware file of the operator's (its version is not known), or a device of another hardware
// version than the build's, whose firmware versions count for another device.
FirmwareAge firmwareAge(const Session &session, bool carriedFirmware);

// Why the carried firmware does not simply go on, for the same or an older one: "the device
// has the carried firmware 68 from 19.10.21 already", "the carried firmware 68 from 19.10.21
// is older than ...: a downgrade"; empty for any other age.
std::string firmwareAgeText(FirmwareAge age, const DeviceRecord &record);

// "older than the device's firmware 70 from 19.10.21: a downgrade", for a plan or a question.
std::string downgradeText(const DeviceRecord &record);

// "firmware 68 from 05.11.21": the carried firmware, as the operator is told it.
std::string carriedFirmwareText();
