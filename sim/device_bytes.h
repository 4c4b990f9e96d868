#pragma once
// The device's command and reply bytes, as it knows them: one list for both halves of the model.
#include <cstdint>

namespace DeviceByte {

constexpr uint8_t StatusShort = 0xEE, Start = 0x90, Probe = 0xB0, DeviceInfo = 0x66, Calibration = 0x68,
                  BatteryExtended = 0x5A, BatteryRaw = 0x65, Status = 0xE0, Leave = 0x70, Reset = 0x71,
                  Erase = 0x51, Transfer1KNoCount = 0x75, Transfer1K = 0x76, Transfer512Wide = 0x78,
                  Language = 0xCA;
constexpr uint8_t Marker = 0xAA; // battery reply marker; acceptance of the table count

} // namespace DeviceByte
