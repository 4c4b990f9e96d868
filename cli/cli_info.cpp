#include "cli_info.h"
#include "console_screen.h"
#include "build_settings.h"
#include "cli_arguments.h"
#include "readout.h"
#include "session.h"
#include "battery.h"
#include "payload_file.h"
#include "safe_text.h"

#include <cstdio>

FirmwareGuard firmwareGuard(const Session &session, const CliArguments &a)
{
    const FirmwareAge age = firmwareAge(session, isCarried(a.firmware));
    const std::string why = firmwareAgeText(age, session.record) + " (" + firmwareAgeOption(age) + ")";
    if (age == FirmwareAge::Same && !a.reinstall)
        return {Outcome::AlreadyCurrent, why};
    if (age == FirmwareAge::Older && !a.allowOlder)
        return {Outcome::NotAllowed, why};
    return {};
}

UpdateVerdict updateVerdict(const Session &session, const CliArguments &a)
{
    const DeviceRecord &r = session.record;
    if (const UpdateRefusal refusal = updateRefusal(session.expectedHardwareVersion, r); refusal.id != MessageId::None)
        return {false, refusal.reason};
    if (const FirmwareGuard guard = firmwareGuard(session, a); !guard.writes())
        return {false, guard.text, guard.outcome == Outcome::AlreadyCurrent ? "not needed" : "refused"};
    std::string battery;
    if (const std::optional<int> percent = session.batteryPercent(); belowBatteryGuard(percent)) {
        const std::string low = "the battery shows " + std::to_string(*percent) + " %, below " +
                                std::to_string(BatteryGuardBelow) + " %";
        if (!a.allowLowBattery)
            return {false, low + " (--allow-low-battery updates all the same)"};
        battery = "; " + low + ", going on as --allow-low-battery says";
    }
    const std::string version = BuildSettings::compiled().firmwareVersion;
    const bool ours = isCarried(a.firmware);
    const FirmwareAge age = firmwareAge(session, ours);
    const std::string what = !ours ? a.firmware
                             : version.empty()              ? std::string("the carried firmware")
                                                            : "firmware " + version;
    std::string would = "would install " + what + " over firmware " + std::to_string(r.firmwareVersion);
    if (age == FirmwareAge::Older)
        would += ": a downgrade, as --allow-older says";
    else if (age == FirmwareAge::Same)
        would += " (the same), as --reinstall says";
    if (r.asksBeforeErase())
        would += "; it asks first, as the update deletes a recording that may still be on the device";
    return {true, would + battery, "allowed"};
}

void showDeviceInfo(const Session &session, ConsoleScreen &screen, const CliArguments &a)
{
    const DeviceFacts d = DeviceFacts::of(session);
    const DeviceRecord &r = d.record;
    const Calibration &c = d.calibration;
    char calibration[128], infoText[16];
    std::snprintf(calibration, sizeof calibration, "Koef X %d Y %d Z %d Mag %d, Offset X %d Y %d Z %d", c.koefX,
                  c.koefY, c.koefZ, c.koefM, c.offsX, c.offsY, c.offsZ);
    std::snprintf(infoText, sizeof infoText, "0x%X", unsigned(r.deviceInfo));
    const std::string status = r.deviceStatus == DeviceRecord::NoStatus ? "none" : std::to_string(r.deviceStatus);
    // Whether the device has the carried firmware already, and what update would do with it.
    const BuildSettings build = BuildSettings::compiled();
    const FirmwareAge age = firmwareAge(session, true);
    const UpdateVerdict verdict = updateVerdict(session, a);
    const std::string carriedLine = "FW " + build.firmwareVersion + " from " + build.firmwareDate +
                                    (age == FirmwareAge::Unknown ? std::string()
                                     : age == FirmwareAge::Same  ? ": the same as the device's"
                                                                 : ": " + std::string(firmwareAgeName(age)) + " than the device's");
    const std::string line = shownText(d.line()), serial = shownText(serialBytes(r)), battery = d.batteryText();
    const std::string plain =
        line + "\nserial number     " + serial + "\nhardware version  " + std::to_string(r.hardwareVersion) +
        "\nstatus            " + status + "\ndevice info       " + infoText + "\ncalibration       " + calibration +
        "\nbattery           " + battery + "\nupdate            " + verdict.word + ": " + verdict.reason +
        "\ncarried firmware  " + carriedLine;
    JsonLine event = JsonLine::event("device")
                         .text("line", line)
                         .append(identityJson(r))
                         .text("status", status)
                         .text("device_info", infoText)
                         .text("calibration", calibration)
                         .text("battery", battery);
    if (d.batteryPercent)
        event.number("battery_percent", *d.batteryPercent);
    screen.event(event.flag("update_allowed", verdict.goesAhead)
                     .text("update_reason", verdict.reason)
                     .text("port", session.portPath)
                     .text("carried_firmware", carriedLine)
                     .text("carried_is", firmwareAgeName(age)),
                 plain);
}
