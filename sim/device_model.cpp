#include "device_model.h"
#include "device_bytes.h"

#include <algorithm>
#include <limits>

namespace {

using namespace DeviceByte;
constexpr uint8_t StartReply = 0x00; // the byte after 0x90; hosts do not look at it
constexpr uint8_t LeaveReply = 0x00;
constexpr uint8_t Spare = 0x00;      // the ignored byte that closes the battery replies

} // namespace

DeviceModel::DeviceModel() : DeviceModel(Config {}) {}

DeviceModel::DeviceModel(Config config) : config_(std::move(config)) {}

bool DeviceModel::setFault(const std::string &name, bool on, int argument)
{
    if (std::find(faultNames().begin(), faultNames().end(), name) == faultNames().end())
        return false;
    if (on)
        faults_[name].push_back(argument);
    else
        faults_.erase(name);
    return true;
}

bool DeviceModel::hasFault(const std::string &name, int argument) const
{
    auto it = faults_.find(name);
    if (it == faults_.end())
        return false;
    return std::any_of(it->second.begin(), it->second.end(), [&](int a) { return a < 0 || a == argument; });
}

void DeviceModel::queueOut(const std::vector<uint8_t> &bytes, int64_t t)
{
    // The line is a queue: nothing overtakes what is already on its way.
    t = std::max(t, lastOutMs_);
    for (uint8_t b : bytes)
        out_.emplace_back(t, b);
    lastOutMs_ = t;
}

void DeviceModel::receive(const uint8_t *data, int length, int64_t nowMs)
{
    for (int i = 0; i < length; ++i) {
        const uint8_t b = data[i];
        if (config_.keepHistory)
            trace_.push_back({nowMs, '<', b});
        settlePending(nowMs);
        settleTimers(nowMs);
        if (mode_ != Mode::Command) {
            takeData(b, nowMs); // counts, blocks and answers are data, not commands
            continue;
        }
        if (hasFault("silence", b))
            continue;
        if (pending_ && *pending_ == b) {
            // The second copy of a doubled command: echo it too, then act once.
            pending_.reset();
            if (!hasFault("no-second-echo", b))
                echo(b, nowMs);
            execute(b, nowMs);
            continue;
        }
        if (pending_) {
            const uint8_t single = *pending_;
            pending_.reset();
            execute(single, nowMs);
        }
        startCommand(b, nowMs);
    }
}

void DeviceModel::startCommand(uint8_t command, int64_t t)
{
    echo(command, t);
    if (hasFault("wrong-echo", command))
        return;
    if (config_.doubledRoad && command != Probe) {
        // Every command comes twice on this road but the probe, and the status query, which
        // the greeting sends once: that one is carried out if its copy does not follow soon.
        // Any other waits for its copy (or for another command, which ends the wait).
        pending_ = command;
        pendingUntil_ = command == StatusShort ? t + DoubledWindowMs : std::numeric_limits<int64_t>::max();
        return;
    }
    execute(command, t);
}

void DeviceModel::echo(uint8_t command, int64_t t)
{
    if (hasFault("no-echo", command))
        return;
    if (hasFault("wrong-echo", command))
        queueOut({uint8_t(command ^ 0xFF)}, t);
    else if (hasFault("late-echo", command))
        queueOut({command}, t + LateEchoMs);
    else
        queueOut({command}, t);
}

void DeviceModel::settlePending(int64_t nowMs)
{
    if (pending_ && nowMs >= pendingUntil_) {
        const uint8_t single = *pending_;
        pending_.reset();
        execute(single, pendingUntil_);
    }
}

std::vector<uint8_t> DeviceModel::identityRecord() const
{
    const Identity &id = config_.identity;
    std::vector<uint8_t> r(14, 0);
    r[0] = id.hardwareVersion;
    auto put = [&](size_t at, const std::string &text, size_t width) {
        for (size_t i = 0; i < width && i < text.size(); ++i)
            r[at + i] = uint8_t(text[i]);
    };
    put(1, id.serial, 4);
    put(5, id.firmwareVersion, 2);
    put(7, id.firmwareDate, 6);
    r[13] = id.deviceInfo;
    if (id.status)
        r.push_back(*id.status);
    return r;
}

std::vector<uint8_t> DeviceModel::batteryExtended() const
{
    std::vector<uint8_t> r {Marker, uint8_t(config_.battery.words.size())};
    for (uint16_t w : config_.battery.words) {
        r.push_back(uint8_t(w >> 8));
        r.push_back(uint8_t(w & 0xFF));
    }
    r.push_back(Spare);
    return r;
}

void DeviceModel::pullIf(const std::string &fault, int argument, int64_t t)
{
    if (hasFault(fault, argument) && !pullAt_)
        pullAt_ = t;
}

void DeviceModel::execute(uint8_t command, int64_t t)
{
    if (config_.keepHistory)
        commands_.push_back(command);
    pullIf("pull-on-command", command, t);
    if (hasFault("flood-on-command", command) && !floodSince_)
        floodSince_ = t;
    switch (command) {
    case StatusShort:
        queueOut({config_.shortStatus}, t);
        break;
    case Start:
        queueOut({StartReply}, t);
        break;
    case Probe:
        break;
    case DeviceInfo:
        queueOut(identityRecord(), t);
        break;
    case Calibration:
        if (config_.calibration)
            queueOut(*config_.calibration, t);
        break;
    case BatteryExtended:
        if (config_.battery.mode == BatteryMode::Extended)
            queueOut(batteryExtended(), t);
        break;
    case BatteryRaw:
        if (config_.battery.mode != BatteryMode::None)
            queueOut({uint8_t(config_.battery.raw >> 8), uint8_t(config_.battery.raw & 0xFF), Spare}, t);
        break;
    case Status:
        queueOut({config_.updateStatus}, t);
        break;
    case Leave:
        queueOut({LeaveReply}, t);
        break;
    case Reset:
        resetAt_ = t + ResetLeaveMs;
        break;
    case Erase:
        startErase(t);
        break;
    case Language:
        openTable(t);
        break;
    default:
        if (command >= Transfer1KNoCount && command <= Transfer512Wide)
            openTransfer(command, t);
        break; // any other command is echoed and otherwise ignored
    }
}

std::vector<uint8_t> DeviceModel::takeOutput(int64_t nowMs)
{
    settlePending(nowMs);
    settleTimers(nowMs);
    std::vector<uint8_t> due;
    while (!out_.empty() && out_.front().first <= nowMs) {
        if (config_.keepHistory)
            trace_.push_back({out_.front().first, '>', out_.front().second});
        due.push_back(out_.front().second);
        out_.pop_front();
    }
    if (floodSince_ && nowMs > *floodSince_) {
        // Not traced: a flood would fill any trace.
        due.insert(due.end(), size_t(nowMs - *floodSince_) * FloodBytesPerMs, FloodByte);
        floodSince_ = nowMs;
    }
    return due;
}

std::optional<int64_t> DeviceModel::nextEventMs() const
{
    std::optional<int64_t> next;
    if (!out_.empty())
        next = out_.front().first;
    const bool waitsForCopy = pending_ && pendingUntil_ != std::numeric_limits<int64_t>::max();
    if (waitsForCopy && (!next || pendingUntil_ < *next))
        next = pendingUntil_;
    for (const auto &at : {resetAt_, openEndAt_, pullAt_})
        if (at && (!next || *at < *next))
            next = at;
    if (floodSince_ && (!next || *floodSince_ + 1 < *next))
        next = *floodSince_ + 1;
    return next;
}

bool DeviceModel::takeResetRequest(int64_t nowMs)
{
    settlePending(nowMs);
    if (!resetAt_ || nowMs < *resetAt_)
        return false;
    restart();
    return true;
}

bool DeviceModel::takePullRequest(int64_t nowMs)
{
    if (!pullAt_ || nowMs < *pullAt_)
        return false;
    pullAt_.reset();
    faults_.erase("pull-on-command"); // pulled once; plugged back in, it behaves
    for (const char *name : {"pull-during-erase", "pull-on-block", "pull-on-readback", "pull-on-table-block",
                             "pull-on-compare"})
        faults_.erase(name);
    return true;
}

void DeviceModel::restart()
{
    resetAt_.reset();
    if (confirmed_ && !config_.serialAfterRestart.empty()) // the reset before the erase changes nobody
        config_.identity.serial = config_.serialAfterRestart;
    if (confirmed_ && config_.firmwareAfterUpdate.size() == 2)
        config_.identity.firmwareVersion = config_.firmwareAfterUpdate;
    if (confirmed_ && config_.firmwareDateAfterUpdate.size() == 6)
        config_.identity.firmwareDate = config_.firmwareDateAfterUpdate;
}

void DeviceModel::disconnect()
{
    out_.clear();
    pending_.reset();
    resetAt_.reset();
    openEndAt_.reset();
    pullAt_.reset();
    floodSince_.reset();
    mode_ = Mode::Command;
    inbox_.clear();
    lastOutMs_ = 0;
}
