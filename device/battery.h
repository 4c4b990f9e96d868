#pragma once
#include <optional>

class UsbConnection;

// Percentage 0..100 of a raw 12-bit battery reading: scaled to millivolts, then mapped onto
// the cell's charge scale by five straight segments (560 = full).
int batteryPercent(int raw);

// One battery poll on an open link: 0x5A (marker, count, words), else 0x65 (raw word). The
// percentage, or the device's own figure when it sends two words or more; none when no
// reading came.
std::optional<int> pollBattery(UsbConnection &link);
