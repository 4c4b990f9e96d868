#pragma once
#include "firmware_age.h"
#include "run_outcome.h"

#include <string>

class ConsoleScreen;
struct CliArguments;
struct DeviceRecord;
struct Session;


// Whether the carried firmware goes onto the device just read, by its age: a device that has
// it already is left as it is (unless --reinstall), one with a newer firmware is refused
// (unless --allow-older). Updated when it goes on; else the outcome, with words that name both
// versions and the option.
struct FirmwareGuard {
    Outcome outcome = Outcome::Updated;
    std::string text;
    bool writes() const { return outcome == Outcome::Updated; }
};
FirmwareGuard firmwareGuard(const Session &session, const CliArguments &a);

// What `update` would do with the device just read, and why, by the same checks in the same
// order: the build's hardware version and the device's firmware, then the firmware's age
// (firmwareGuard), then the battery guard (unless --allow-low-battery), then what it would
// install over what.
struct UpdateVerdict {
    bool goesAhead = false;
    std::string reason;
    const char *word = "refused"; // "allowed", "not needed" (already current) or "refused"
};
UpdateVerdict updateVerdict(const Session &session, const CliArguments &a);

// `info`: who the device just read is, its calibration and battery, and what update would do
// with it, as one event.
void showDeviceInfo(const Session &session, ConsoleScreen &screen, const CliArguments &a);
