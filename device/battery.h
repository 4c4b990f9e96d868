#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class UsbConnection;

// Percentage 0..100 of a raw 12-bit battery reading: scaled to millivolts, then mapped onto
// the cell's charge scale by five straight segments (560 = full).
int batteryPercent(int raw);

// The other way, for an emulated device: the words of a 0x5A reply that read as this
// percentage (0..100). The lowest raw reading the formula maps onto it; where the charge scale
// has no reading for it (1..9 %, and every few in its steep middle), the reading just below
// and the percentage as the device's own figure, which pollBattery shows as it comes.
std::vector<uint16_t> batteryWordsShowing(int percent);

// One battery poll on an open link: 0x5A (marker, count, words), else 0x65 (raw word). The
// percentage, or the device's own figure when it sends two words or more; none when no
// reading came.
std::optional<int> pollBattery(UsbConnection &link);

// Below this percentage the operator is asked (the command line refuses) before anything is
// sent: a run that stops halfway leaves no working firmware.
inline constexpr int BatteryGuardBelow = 20;
// The battery last read is below the guard (nothing read: not known to be low).
inline bool belowBatteryGuard(std::optional<int> percent)
{
    return percent && *percent < BatteryGuardBelow;
}

// The battery line: "Accu: 76 %", "N/A" when a poll got no reading, nothing before one.
std::string batteryText(std::optional<int> percent, bool unreadable);
