#pragma once
#include "device_record.h"
#include "operator_messages.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>

class UsbConnection;

// The 14-byte identity record (and the optional status byte after it) into a record.
// Fields the bytes do not give keep their values, as the record was cleared before.
void parseDeviceRecord(const uint8_t (&reply)[14], std::optional<uint8_t> status, DeviceRecord &record);

// One exchange of 0x66: false when the command or the 14 bytes fail; the record is then
// untouched.
bool readDeviceRecord(UsbConnection &link, DeviceRecord &record);

// "%.4s" of the serial number: up to four characters, ending early at a zero byte.
std::string serialText(const DeviceRecord &record);
// The serial number's four bytes exactly as the device gave them, zero bytes included: the
// device's identity, and what goes back into its image.
std::string serialBytes(const DeviceRecord &record);

// "FW 68 from 19.10.21, SerialNr: 0042": version, then day, month and year pairs.
std::string deviceLine(const DeviceRecord &record);

// The build may update this device: it names no hardware version or this one, and the
// device's firmware is new enough to take an update this way.
bool updateAllowed(int expectedHardwareVersion, const DeviceRecord &record);
// How a firmware about to go on stands to the device's: Unknown when that cannot be said.
enum class FirmwareAge { Unknown, Older, Same, Newer };
// Its words wherever it is shown or kept: "older", "the same", "newer"; empty for Unknown.
const char *firmwareAgeName(FirmwareAge age);
// How the carried firmware (its version, and its date as DD.MM.YY) stands to the device's;
// Unknown when the carried one is not known well enough to say.
FirmwareAge compareWithCarried(const DeviceRecord &record, const std::string &version, const std::string &date);

// Why this build may not update the device: the cause as the message that says it
// (IdentityUnreadable for a version that is not two digits, NotUpdated for another hardware
// version, FirmwareTooOld) and the words for it; id None and
// no words when it may.
struct UpdateRefusal {
    MessageId id = MessageId::None;
    std::string reason;
};
UpdateRefusal updateRefusal(int expectedHardwareVersion, const DeviceRecord &record);

// Coefficients (unsigned, percent) and offsets (signed) of the three axes and the magnet.
struct Calibration {
    int koefX = 100, koefY = 100, koefZ = 100, koefM = 100;
    int offsX = 0, offsY = 0, offsZ = 0;
    static Calibration fromReply(const uint8_t (&reply)[8]);
    bool operator==(const Calibration &) const = default;
};

// 0x68 and its 8 bytes; the defaults (100 %, offset 0) when the device does not answer.
Calibration readCalibration(UsbConnection &link);
