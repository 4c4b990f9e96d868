#pragma once
#include "readout.h"
#include "run_events.h"
#include "update_run.h"

#include <cstdint>
#include <optional>
#include <string>

class Clock;
class MonitorScreen;
struct Session;

// What goes onto the device, checked before the device is touched.
struct PayloadCheck {
    std::string error; // "<path>: <reason>", empty when both are fine
    int errorLine = 0; // the firmware text's line where its load stopped, when it names one
    std::string firmwareName, tableName;
    uint32_t firmwareLength = 0;
    int firmwareBlocks = 0, tableBlocks = 0;
    // The blocks the run will send, as it chooses their size for the device's hardware.
    void sizeFor(int hardwareVersion);
};
PayloadCheck checkPayloads(const Payloads &payloads, int hardwareVersion);

// Finds and identifies the device as the window's first tick does; the run's end when it is not
// there, said as the monitor found it.
std::optional<RunEnd> findDevice(Session &session, MonitorScreen &finder, RunListener &events, Clock &clock);

// The beginning of an update run, the same whichever front end starts it: the payloads
// checked, the device found and identified, the build's refusal, the plan, and the firmware's
// age put to the operator. Each step tells what it finds to `events`; one that ends the run
// gives the run's end, which its front end tells as the result (after what it adds of its own:
// why a port could not be opened).
class RunBeginning {
public:
    RunBeginning(Session &session, RunScreen &screen, RunListener &events, Clock &clock, Payloads payloads,
                 std::string runId);

    // The payloads load, before the device is touched.
    std::optional<RunEnd> checkPayloads();
    // The device: found by a look of `finder` (none: the front end found it already), who it
    // is, whether this build may update it, and the plan. A link that is not open without a
    // finder goes on: the run says it is not connected.
    std::optional<RunEnd> identify(MonitorScreen *finder);
    // The carried firmware over the same or a newer one goes on only when the screen says yes.
    std::optional<RunEnd> guard();

    FirmwareAge age() const { return age_; }

private:
    Session &session_;
    RunScreen &screen_;
    RunListener &events_;
    Clock &clock_;
    Payloads payloads_;
    std::string runId_;
    std::optional<PayloadCheck> checked_;
    bool identified_ = false;
    FirmwareAge age_ = FirmwareAge::Unknown;
};
