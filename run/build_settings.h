#pragma once
#include <string>

// The two texts the build carries: the firmware's name for the caption and the hardware
// version the build is for. An empty text behaves as a missing one.
struct BuildSettings {
    std::string firmwareName;
    std::string hardwareVersion;
    std::string firmwareVersion {}; // the carried firmware's version ("68"), empty when unknown
    std::string firmwareDate {};    // and its date, DD.MM.YY

    static BuildSettings compiled();
    // The hardware version as a decimal integer; 0 when empty or not a number.
    int expectedHardwareVersion() const;
    // "Firmware Update", extended by " (<name>)" when the build names its firmware.
    std::string caption(const std::string &designed) const;
};
