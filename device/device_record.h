#pragma once
#include <cstdint>

// What the device reported about itself. Cleared (zeros, no status) before every
// connection attempt; the readout fills it; the update run reads it.
struct DeviceRecord {
    static constexpr uint8_t NoStatus = 255;

    int hardwareVersion = 0;
    int firmwareVersion = 0;
    char serialNumber[4] = {};  // ASCII, not terminated
    char firmwareDate[6] = {};  // year, month, day pairs of ASCII digits
    uint8_t deviceInfo = 0;
    uint8_t deviceStatus = NoStatus;

    void clear() { *this = DeviceRecord {}; }
};
