#include "readout.h"
#include "operator_messages.h"
#include "protocol.h"
#include "usb_connection.h"

#include <cstdio>
#include <cstring>

namespace {
constexpr int RecordLength = 14;
constexpr uint8_t InfoUnset = 0xFF; // an unprogrammed info byte, read as 1
constexpr int FirmwareVersionAt = 5, DateAt = 7, SerialAt = 1, InfoAt = 13;
} // namespace

void parseDeviceRecord(const uint8_t (&reply)[14], std::optional<uint8_t> status, DeviceRecord &record)
{
    record.hardwareVersion = reply[0];
    std::memcpy(record.serialNumber, reply + SerialAt, sizeof record.serialNumber);
    std::memcpy(record.firmwareDate, reply + DateAt, sizeof record.firmwareDate);
    // Exactly two digits: a blank, a sign or a letter would let a scan take a digit of the
    // date for the version (" 7" read as 72) and judge the device by a version it never had.
    const auto digit = [](uint8_t c) { return c >= '0' && c <= '9'; };
    const uint8_t tens = reply[FirmwareVersionAt], ones = reply[FirmwareVersionAt + 1];
    record.firmwareUnreadable = !digit(tens) || !digit(ones);
    if (!record.firmwareUnreadable)
        record.firmwareVersion = (tens - '0') * 10 + (ones - '0');
    if (status) {
        record.deviceStatus = *status;
        record.deviceInfo = reply[InfoAt] == InfoUnset ? 1 : reply[InfoAt];
    }
}

bool readDeviceRecord(UsbConnection &link, DeviceRecord &record)
{
    if (!link.isOpen() || !link.sendCommand(Cmd::DeviceInfo))
        return false;
    uint8_t reply[RecordLength] = {};
    if (!link.read(reply, RecordLength))
        return false;
    uint8_t status = 0;
    std::optional<uint8_t> statusByte;
    if (link.read(&status, 1))
        statusByte = status;
    parseDeviceRecord(reply, statusByte, record);
    return true;
}

std::string serialText(const DeviceRecord &record)
{
    return std::string(record.serialNumber, strnlen(record.serialNumber, sizeof record.serialNumber));
}

std::string serialBytes(const DeviceRecord &record)
{
    return std::string(record.serialNumber, sizeof record.serialNumber);
}

std::string deviceLine(const DeviceRecord &record)
{
    if (record.firmwareUnreadable)
        return messageText(MessageId::IdentityUnavailable);
    const char *date = record.firmwareDate;
    char line[128];
    const int n = std::snprintf(line, sizeof line, "FW %d from %.2s.%.2s.%.2s, SerialNr: %s", record.firmwareVersion,
                                date + 4, date + 2, date, serialText(record).c_str());
    if (n < 0 || n >= int(sizeof line))
        return messageText(MessageId::IdentityUnavailable);
    return line;
}

namespace {
constexpr int FirstUpdatableFirmware = 7; // older firmware cannot take an update this way
} // namespace

const char *firmwareAgeName(FirmwareAge age)
{
    switch (age) {
    case FirmwareAge::Older: return "older";
    case FirmwareAge::Same: return "the same";
    case FirmwareAge::Newer: return "newer";
    case FirmwareAge::Unknown: break;
    }
    return "";
}

FirmwareAge compareWithCarried(const DeviceRecord &record, const std::string &version, const std::string &date)
{
    using A = FirmwareAge;
    if (version.empty() || version.find_first_not_of("0123456789") != std::string::npos || version.size() > 4)
        return A::Unknown;
    const int carried = std::stoi(version);
    if (carried != record.firmwareVersion)
        return carried > record.firmwareVersion ? A::Newer : A::Older;
    // The same version: the date tells a rebuild apart. Both as YYMMDD, the device's order.
    if (date.size() != 8 || date[2] != '.' || date[5] != '.')
        return A::Same;
    const std::string ours = date.substr(6, 2) + date.substr(3, 2) + date.substr(0, 2);
    const std::string theirs(record.firmwareDate, sizeof record.firmwareDate);
    return ours == theirs ? A::Same : ours > theirs ? A::Newer : A::Older;
}

bool updateAllowed(int expectedHardwareVersion, const DeviceRecord &record)
{
    return !record.firmwareUnreadable && (expectedHardwareVersion == 0 || expectedHardwareVersion == record.hardwareVersion) &&
           record.firmwareVersion >= FirstUpdatableFirmware;
}

UpdateRefusal updateRefusal(int expectedHardwareVersion, const DeviceRecord &record)
{
    if (record.firmwareUnreadable)
        return {MessageId::IdentityUnreadable, "the device's firmware version is not two digits, so its identity "
                                               "cannot be read"};
    if (expectedHardwareVersion != 0 && expectedHardwareVersion != record.hardwareVersion)
        return {MessageId::NotUpdated, "the device is hardware version " + std::to_string(record.hardwareVersion) +
                                           ", this build is for hardware version " +
                                           std::to_string(expectedHardwareVersion) + ": its firmware does not fit the device"};
    if (record.firmwareVersion < FirstUpdatableFirmware)
        return {MessageId::FirmwareTooOld, "the device's firmware version " + std::to_string(record.firmwareVersion) +
                                               " is too old to take an update (it needs version " +
                                               std::to_string(FirstUpdatableFirmware) + " or later)"};
    return {};
}

Calibration Calibration::fromReply(const uint8_t (&r)[8])
{
    Calibration c;
    c.koefX = r[0];
    c.koefY = r[1];
    c.koefZ = r[2];
    c.koefM = r[3];
    c.offsX = int8_t(r[4]);
    c.offsY = int8_t(r[5]);
    c.offsZ = int8_t(r[6]);
    return c;
}

Calibration readCalibration(UsbConnection &link)
{
    uint8_t reply[8];
    if (link.sendCommand(Cmd::Calibration) && link.read(reply, sizeof reply))
        return Calibration::fromReply(reply);
    return Calibration {};
}
