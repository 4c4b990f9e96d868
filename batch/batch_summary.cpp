#include "batch_summary.h"

BatchSummary batchSummary(const std::vector<DeviceOutcome> &devices, int retried, bool stopped)
{
    BatchSummary s;
    std::vector<Outcome> outcomes;
    for (const DeviceOutcome &d : devices) {
        outcomes.push_back(d.outcome);
        if (d.outcome == Outcome::Updated) {
            ++s.updated;
        } else {
            ++s.failedBy[d.outcome];
            s.failedDevices.push_back(d);
        }
    }
    s.devices = int(devices.size());
    s.failed = s.devices - s.updated;
    s.retried = retried;
    s.worst = devices.empty() && stopped ? Outcome::Interrupted : worstOutcome(outcomes);
    return s;
}
