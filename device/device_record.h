#pragma once
#include <cstdint>

// What the device reported about itself. Cleared (zeros, no status) before every
// connection attempt; the readout fills it; the update run reads it.
// Devices up to this hardware version have the small memory and the one-byte counts.
inline constexpr int LastSmallHardware = 22;
// The hardware version a build that names none loads and updates for.
inline constexpr int DefaultHardwareVersion = 24;

struct DeviceRecord {
    static constexpr uint8_t NoStatus = 255;

    int hardwareVersion = 0;
    int firmwareVersion = 0;
    char serialNumber[4] = {};  // ASCII, not terminated
    char firmwareDate[6] = {};  // year, month, day pairs of ASCII digits
    uint8_t deviceInfo = 0;
    uint8_t deviceStatus = NoStatus;
    // The version's two characters were not two digits: who the device is cannot be told,
    // and nothing may be written to it (firmwareVersion stays 0).
    bool firmwareUnreadable = false;

    void clear() { *this = DeviceRecord {}; }
    // Status 0: a recording may still be on the device, and the update's erase deletes it,
    // so the operator is asked first.
    bool asksBeforeErase() const { return deviceStatus == 0; }
    bool operator==(const DeviceRecord &) const = default;
};
