#pragma once
#include "device_record.h"
#include "operator_messages.h"
#include "readout.h"

#include <functional>
#include <optional>
#include <string>

class Clock;
class UsbConnection;

// What the window knows about the device and how to reach it; shared by the monitoring,
// the readout and the update run.
struct Session {
    UsbConnection *link = nullptr;
    DeviceRecord record;
    int expectedHardwareVersion = 0; // the build's; picks the road and gates "Update"
    std::string portPath;            // the tty found or given; reused to reconnect
    std::string portPathOverride;    // the command line's device path
    std::string socket;              // the name of the socket the device sits in, when a station names it
    bool updateRunning = false;      // set while the device is being written
    bool runActive = false;          // an update run is under way (from click to its end)
    bool pollActive = false;         // a poll is talking to the device (its waits let clicks in)
    bool stopRequested = false;      // the operator asked to stop the run; it ends at its next pump
    Calibration calibration;         // as the readout gave it: the update writes it back
    int lastBatteryShown = 0;        // the percentage last put on screen
    bool batteryShown = false;       // a percentage is on screen now (not "N/A", not nothing)
    bool batteryUnreadable = false;  // the last poll got no reading ("N/A")
    MessageId pollMessage = MessageId::None; // what the last look for the device ended with, if not found
    std::function<std::string()> findPort; // discovery on the tty road (libudev when empty)

    std::optional<int> batteryPercent() const
    {
        return batteryShown ? std::optional<int>(lastBatteryShown) : std::nullopt;
    }

    // Hardware versions whose devices are reached as a tty; all others through the
    // docking station's converter.
    bool ttyRoad() const { return expectedHardwareVersion >= 23 && expectedHardwareVersion <= 26; }
};
