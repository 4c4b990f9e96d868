#include "batch_summary.h"

BatchSummary batchSummary(const std::vector<DeviceOutcome> &devices, int retried, bool stopped)
{
    BatchSummary s;
    std::vector<Outcome> outcomes;
    std::vector<DeviceOutcome> others;
    for (const DeviceOutcome &d : devices) {
        outcomes.push_back(d.outcome);
        if (d.outcome == Outcome::Updated) {
            ++s.updated;
        } else if (d.outcome == Outcome::AlreadyCurrent) {
            ++s.alreadyCurrent;
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
    s.failed = s.devices - s.updated - s.alreadyCurrent;
    s.retried = retried;
    s.worst = devices.empty() && stopped ? Outcome::Interrupted : worstOutcome(outcomes);
    return s;
}
