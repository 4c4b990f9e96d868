#pragma once
#include "discovery.h"

#include <string>
#include <vector>

// What `mova-update list` says when it sees nothing.
inline constexpr const char *NoUsbDeviceFound = "no USB serial device found";

// Every USB serial device and docking station converter present, with the one the build's
// road would use marked.
std::vector<UsbSerialDevice> presentUsbDevices(int expectedHardwareVersion);
// One device as `mova-update list` prints it: its node, then a line for each fact, every
// string the device chose shown safely.
std::string usbDeviceText(const UsbSerialDevice &device);
// All that `mova-update list` prints, each line ended: the devices present, or that there
// are none.
std::string usbListText(int expectedHardwareVersion);
