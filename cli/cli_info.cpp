#include "cli_info.h"
#include "console_screen.h"
#include "build_settings.h"
#include "cli_arguments.h"
#include "readout.h"
#include "session.h"
#include "update_run.h"

#include <cstdio>

bool carried(const std::string &path)
{
    return path.rfind(":/", 0) == 0;
}

std::string firmwareAge(const Session &session, bool carriedFirmware)
{
    if (!carriedFirmware || session.expectedHardwareVersion == 0 ||
        session.record.hardwareVersion != session.expectedHardwareVersion)
        return {};
    const BuildSettings build = BuildSettings::compiled();
    return compareWithCarried(session.record, build.firmwareVersion, build.firmwareDate);
}

std::string downgradeText(const DeviceRecord &record)
{
    const char *d = record.firmwareDate; // YYMMDD, said as the device line says it
    return "older than the device's firmware " + std::to_string(record.firmwareVersion) + " from " +
           std::string(d + 4, 2) + "." + std::string(d + 2, 2) + "." + std::string(d, 2) + ": a downgrade";
}

UpdateVerdict updateVerdict(const Session &session, const CliArguments &a)
{
    const DeviceRecord &r = session.record;
    if (const UpdateRefusal refusal = updateRefusal(session.expectedHardwareVersion, r); refusal.id != MessageId::None)
        return {false, refusal.reason};
    std::string battery;
    if (session.batteryShown && session.lastBatteryShown < UpdateRun::BatteryGuardBelow) {
        const std::string low = "the battery shows " + std::to_string(session.lastBatteryShown) + " %, below " +
                                std::to_string(UpdateRun::BatteryGuardBelow) + " %";
        if (!a.allowLowBattery)
            return {false, low + " (--allow-low-battery updates all the same)"};
        battery = "; " + low + ", going on as --allow-low-battery says";
    }
    const std::string version = BuildSettings::compiled().firmwareVersion;
    const bool ours = carried(a.firmware);
    const std::string age = firmwareAge(session, ours);
    const std::string what = !ours ? a.firmware
                             : version.empty()              ? std::string("the carried firmware")
                                                            : "firmware " + version;
    std::string would = "would install " + what + " over firmware " + std::to_string(r.firmwareVersion);
    if (age == "older")
        would += ": a downgrade";
    else if (age == "the same")
        would += " (the same)";
    if (r.deviceStatus == 0)
        would += "; it asks first, as the update deletes a recording that may still be on the device";
    return {true, would + battery};
}

void showDeviceInfo(const Session &session, ConsoleScreen &screen, const CliArguments &a)
{
    const DeviceRecord &r = session.record;
    const Calibration &c = screen.calibration;
    char calibration[128], infoText[16];
    std::snprintf(calibration, sizeof calibration, "Koef X %d Y %d Z %d Mag %d, Offset X %d Y %d Z %d", c.koefX,
                  c.koefY, c.koefZ, c.koefM, c.offsX, c.offsY, c.offsZ);
    std::snprintf(infoText, sizeof infoText, "0x%X", unsigned(screen.info));
    const std::string status = r.deviceStatus == DeviceRecord::NoStatus ? "none" : std::to_string(r.deviceStatus);
    // Whether the device has the carried firmware already, and what update would do with it.
    const BuildSettings build = BuildSettings::compiled();
    const std::string age = firmwareAge(session, true);
    const UpdateVerdict verdict = updateVerdict(session, a);
    const std::string carriedLine = "FW " + build.firmwareVersion + " from " + build.firmwareDate +
                                    (age.empty()         ? std::string()
                                     : age == "the same" ? ": the same as the device's"
                                                         : ": " + age + " than the device's");
    const std::string plain =
        screen.deviceLine + "\nserial number     " + screen.serial + "\nhardware version  " +
        std::to_string(r.hardwareVersion) + "\nstatus            " + status + "\ndevice info       " + infoText +
        "\ncalibration       " + calibration + "\nbattery           " + screen.battery + "\nupdate            " +
        (verdict.goesAhead ? "allowed: " : "refused: ") + verdict.reason + "\ncarried firmware  " + carriedLine;
    screen.event(JsonLine::event("device")
                     .text("line", screen.deviceLine)
                     .text("serial", screen.serial)
                     .text("serial_hex", hexBytes(screen.serialBytes))
                     .number("hardware_version", r.hardwareVersion)
                     .number("firmware_version", r.firmwareVersion)
                     .text("status", status)
                     .text("device_info", infoText)
                     .text("calibration", calibration)
                     .text("battery", screen.battery)
                     .flag("update_allowed", verdict.goesAhead)
                     .text("update_reason", verdict.reason)
                     .text("port", session.portPath)
                     .text("carried_firmware", carriedLine)
                     .text("carried_is", age),
                 plain);
}
