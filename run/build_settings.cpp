#include "build_settings.h"
#include "build_settings_generated.h"

#include <charconv>

namespace {
constexpr size_t MaxSettingLength = 255; // what a settings text may hold
}

BuildSettings BuildSettings::compiled()
{
    return {QTX_FIRMWARE_NAME, QTX_HARDWARE_VERSION, QTX_FIRMWARE_VERSION, QTX_FIRMWARE_DATE};
}

int BuildSettings::expectedHardwareVersion() const
{
    const std::string text = hardwareVersion.substr(0, MaxSettingLength);
    int value = 0;
    const char *first = text.data();
    const char *last = text.data() + text.size();
    if (first != last && *first == '+')
        ++first;
    const auto [end, error] = std::from_chars(first, last, value);
    if (text.empty() || error != std::errc() || end != last)
        return 0;
    return value;
}

std::string BuildSettings::caption(const std::string &designed) const
{
    if (firmwareName.empty())
        return designed;
    return designed + " (" + firmwareName.substr(0, MaxSettingLength) + ")";
}
