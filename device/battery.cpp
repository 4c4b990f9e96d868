#include "battery.h"
#include "protocol.h"
#include "usb_connection.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr int FullScaleMillivolts = 5475; // the converter's reference at a reading of 4095
constexpr int FullScaleReading = 4095;
constexpr int FullLevel = 560;            // the charge scale's full mark

int level(int millivolts)
{
    // Each segment is computed in floating point and truncated toward zero.
    auto segment = [&](int base, int from, double slope) { return int(base + (millivolts - from) * slope); };
    if (millivolts >= 4190)
        return 630;
    if (millivolts >= 3990)
        return segment(490, 3990, 0.722);
    if (millivolts >= 3804)
        return segment(310, 3804, 0.944);
    if (millivolts >= 3795)
        return segment(210, 3795, 11.25);
    if (millivolts >= 3686)
        return segment(60, 3686, 1.359);
    return 0;
}

int word(const uint8_t *b)
{
    return (b[0] << 8) | b[1];
}

} // namespace

int batteryPercent(int raw)
{
    // In 64 bits: the device sends 16-bit readings, but no caller's value can overflow it.
    const int millivolts = int(int64_t(raw) * FullScaleMillivolts / FullScaleReading);
    return std::min(level(millivolts), FullLevel) * 100 / FullLevel;
}

std::vector<uint16_t> batteryWordsShowing(int percent)
{
    // The formula only rises with the reading: the first reading at or above the percentage
    // either is it, or the scale jumps over it.
    int raw = 0;
    while (raw < FullScaleReading && batteryPercent(raw) < percent)
        ++raw;
    if (batteryPercent(raw) == percent)
        return {uint16_t(raw)};
    return {uint16_t(raw - 1), uint16_t(percent)};
}

std::optional<int> pollBattery(UsbConnection &link)
{
    uint8_t head[2] = {};
    if (link.sendCommand(Cmd::BatteryExtended) && link.readWithTimeout(head, 2, nullptr, Wait::BatteryHeadMs) &&
        head[0] == Reply::Marker) {
        const int count = head[1];
        int words = 0, value = 0;
        for (int i = 0; i < count; ++i) {
            uint8_t w[2];
            if (!link.read(w, 2))
                break;
            // The second word counts only by its low byte; every other word whole.
            value = i == 1 ? w[1] : word(w);
            ++words;
        }
        uint8_t spare;
        link.read(&spare, 1);
        // A marker without a first word is no reading, whatever the count promised.
        if (words == 0)
            return std::nullopt;
        return count < 2 ? batteryPercent(value) : value;
    }
    if (!link.sendCommand(Cmd::BatteryRaw))
        return std::nullopt;
    uint8_t raw[2];
    if (!link.read(raw, 2))
        return std::nullopt;
    uint8_t spare;
    link.read(&spare, 1);
    return batteryPercent(word(raw));
}

std::string batteryText(std::optional<int> percent, bool unreadable)
{
    if (!percent)
        return unreadable ? "N/A" : "";
    char text[32];
    std::snprintf(text, sizeof text, "Accu: %d %%", *percent);
    return text;
}
