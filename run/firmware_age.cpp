#include "firmware_age.h"
#include "build_settings.h"
#include "readout.h"
#include "session.h"

FirmwareAge firmwareAge(const Session &session, bool carriedFirmware)
{
    if (!carriedFirmware || session.expectedHardwareVersion == 0 ||
        session.record.hardwareVersion != session.expectedHardwareVersion)
        return FirmwareAge::Unknown;
    const BuildSettings build = BuildSettings::compiled();
    return compareWithCarried(session.record, build.firmwareVersion, build.firmwareDate);
}

std::string downgradeText(const DeviceRecord &record)
{
    const char *d = record.firmwareDate; // YYMMDD, said as the device line says it
    return "older than the device's firmware " + std::to_string(record.firmwareVersion) + " from " +
           std::string(d + 4, 2) + "." + std::string(d + 2, 2) + "." + std::string(d, 2) + ": a downgrade";
}

std::string carriedFirmwareText()
{
    const BuildSettings build = BuildSettings::compiled();
    return "firmware " + build.firmwareVersion + " from " + build.firmwareDate;
}

std::string firmwareAgeText(FirmwareAge age, const DeviceRecord &record)
{
    if (age == FirmwareAge::Same)
        return "the device has the carried " + carriedFirmwareText() + " already";
    if (age == FirmwareAge::Older)
        return "the carried " + carriedFirmwareText() + " is " + downgradeText(record);
    return {};
}
