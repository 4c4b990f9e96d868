#include "batch_summary.h"

#include <algorithm>

double yieldPercent(int succeeded, int devices)
{
    return devices > 0 ? 100.0 * succeeded / devices : 0;
}

double devicesPerHour(int devices, int64_t ms)
{
    return ms > 0 ? devices * 3'600'000.0 / double(ms) : 0;
}

std::optional<double> recentDevicesPerHour(const std::vector<int64_t> &endsMs, int64_t nowMs)
{
    constexpr int64_t RecentMs = 30 * 60'000, SettleMs = 5 * 60'000;
    constexpr size_t SettleDevices = 3;
    if (nowMs < SettleMs || endsMs.size() < SettleDevices)
        return std::nullopt;
    const int64_t from = std::max<int64_t>(0, nowMs - RecentMs);
    const auto recent = endsMs.end() - std::lower_bound(endsMs.begin(), endsMs.end(), from);
    return devicesPerHour(int(recent), nowMs - from);
}

BatchSummary batchSummary(const std::vector<DeviceOutcome> &devices, int retried, bool stopped, int64_t durationMs)
{
    BatchSummary s;
    std::vector<Outcome> outcomes;
    std::vector<DeviceOutcome> others;
    for (const DeviceOutcome &d : devices) {
        outcomes.push_back(d.outcome);
        const DeviceEnd end = deviceEnd(d.outcome, d.mayBeWithoutFirmware, d.firmwareNewer);
        if (end == DeviceEnd::PutAside) {
            ++s.putAside;
            s.asideDevices.push_back(d);
        } else if (end == DeviceEnd::Updated || end == DeviceEnd::AlreadyCurrent) {
            ++s.succeeded;
            s.updated += end == DeviceEnd::Updated;
            s.alreadyCurrent += end == DeviceEnd::AlreadyCurrent;
        } else if (end == DeviceEnd::MayBeWithoutFirmware) {
            ++s.withoutFirmware;
            s.failedDevices.push_back(d);
        } else {
            ++s.failedBy[d.outcome];
            others.push_back(d);
        }
    }
    s.failedDevices.insert(s.failedDevices.end(), others.begin(), others.end());
    s.devices = int(devices.size());
    s.failed = s.devices - s.succeeded - s.putAside;
    s.retried = retried;
    s.worst = devices.empty() && stopped ? Outcome::Interrupted : worstOutcome(outcomes);
    s.durationMs = durationMs;
    return s;
}

DeviceEnd deviceEnd(Outcome outcome, bool mayBeWithoutFirmware, bool firmwareNewer)
{
    if (outcome == Outcome::Updated)
        return DeviceEnd::Updated;
    if (outcome == Outcome::AlreadyCurrent)
        return DeviceEnd::AlreadyCurrent;
    if (mayBeWithoutFirmware)
        return DeviceEnd::MayBeWithoutFirmware;
    // Nothing was written, and nothing is wrong: a person decides what becomes of it.
    if (asideOf(outcome, firmwareNewer) != Aside::None)
        return DeviceEnd::PutAside;
    // Nothing was written: the device holds what it held.
    if (outcome == Outcome::Interrupted || outcome == Outcome::Skipped)
        return DeviceEnd::NotWritten;
    return DeviceEnd::Failed;
}

bool needsAHand(Outcome outcome, bool mayBeWithoutFirmware, bool firmwareNewer)
{
    const DeviceEnd end = deviceEnd(outcome, mayBeWithoutFirmware, firmwareNewer);
    return end == DeviceEnd::Failed || end == DeviceEnd::MayBeWithoutFirmware || end == DeviceEnd::PutAside;
}
