#include "batch_summary.h"

double yieldPercent(int succeeded, int devices)
{
    return devices > 0 ? 100.0 * succeeded / devices : 0;
}

double devicesPerHour(int devices, int64_t ms)
{
    return ms > 0 ? devices * 3'600'000.0 / double(ms) : 0;
}

BatchSummary batchSummary(const std::vector<DeviceOutcome> &devices, int retried, bool stopped, int64_t durationMs)
{
    BatchSummary s;
    std::vector<Outcome> outcomes;
    std::vector<DeviceOutcome> others;
    for (const DeviceOutcome &d : devices) {
        outcomes.push_back(d.outcome);
        if (succeeded(d.outcome)) {
            ++s.succeeded;
            s.updated += d.outcome == Outcome::Updated;
            s.alreadyCurrent += d.outcome == Outcome::AlreadyCurrent;
        } else if (d.mayBeWithoutFirmware) {
            ++s.withoutFirmware;
            s.failedDevices.push_back(d);
        } else {
            ++s.failedBy[d.outcome];
            others.push_back(d);
        }
    }
    s.failedDevices.insert(s.failedDevices.end(), others.begin(), others.end());
    s.devices = int(devices.size());
    s.failed = s.devices - s.succeeded;
    s.retried = retried;
    s.worst = devices.empty() && stopped ? Outcome::Interrupted : worstOutcome(outcomes);
    s.durationMs = durationMs;
    return s;
}
