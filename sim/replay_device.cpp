#include "replay_device.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace {

std::string hexList(const uint8_t *data, size_t length)
{
    std::string text;
    char hex[4];
    for (size_t i = 0; i < length; ++i) {
        std::snprintf(hex, sizeof hex, i ? " %02X" : "%02X", data[i]);
        text += hex;
    }
    return text;
}

} // namespace

ReplayDevice::ReplayDevice(ReplayScript script, int64_t startMs)
    : script_(std::move(script)), startMs_(startMs), arrival_(script_.toolBytes.size(), 0), lastActivityMs_(startMs)
{
}

void ReplayDevice::setLinks(std::string link, std::string otherLink)
{
    std::lock_guard lock(mutex_);
    link_ = std::move(link);
    otherLink_ = std::move(otherLink);
}

ReplayDevice::Due ReplayDevice::due(const ReplayStep &step) const
{
    if (received_ < step.after)
        return {false, 0};
    return {true, (step.after == 0 ? startMs_ : arrival_[step.after - 1]) + step.delayMs};
}

void ReplayDevice::advance(int64_t nowMs)
{
    while (!diverged_ && !leaving_ && !returning_ && next_ < script_.steps.size()) {
        const ReplayStep &step = script_.steps[next_];
        const Due d = due(step);
        if (!d.ready || d.at > nowMs)
            return;
        if (step.kind == ReplayStep::Kind::Return && !away_)
            return; // the line has not been dropped yet: the emulator takes the leave first
        if (step.kind == ReplayStep::Kind::Reply)
            out_.insert(out_.end(), step.bytes.begin(), step.bytes.end());
        else if (step.kind == ReplayStep::Kind::Leave)
            leaving_ = !away_;
        else
            returning_ = true, returnOther_ = step.otherLink;
        lastActivityMs_ = std::max(lastActivityMs_, nowMs);
        ++next_;
    }
}

void ReplayDevice::receive(const uint8_t *data, int length, int64_t nowMs)
{
    std::lock_guard lock(mutex_);
    lastActivityMs_ = nowMs;
    for (int i = 0; i < length && !diverged_; ++i) {
        if (received_ < script_.toolBytes.size() && script_.toolBytes[received_] == data[i]) {
            arrival_[received_++] = nowMs;
            continue;
        }
        diverge(data + i, length - i, nowMs,
                received_ < script_.toolBytes.size() ? "the tool sent other bytes than the recording holds"
                                                     : "the tool sent more than the recording holds");
    }
}

std::vector<uint8_t> ReplayDevice::takeOutput(int64_t nowMs)
{
    std::lock_guard lock(mutex_);
    advance(nowMs);
    return std::exchange(out_, {});
}

std::optional<int64_t> ReplayDevice::nextEventMs() const
{
    std::lock_guard lock(mutex_);
    if (leaving_ || returning_)
        return startMs_; // due now
    if (diverged_ || next_ >= script_.steps.size())
        return std::nullopt;
    const Due d = due(script_.steps[next_]);
    return d.ready ? std::optional<int64_t>(d.at) : std::nullopt;
}

bool ReplayDevice::takePullRequest(int64_t nowMs)
{
    std::lock_guard lock(mutex_);
    advance(nowMs);
    if (!leaving_)
        return false;
    leaving_ = false;
    away_ = true;
    return true;
}

bool ReplayDevice::takeReturn(int64_t nowMs, std::string &link)
{
    std::lock_guard lock(mutex_);
    if (!away_)
        return false;
    advance(nowMs);
    if (!returning_)
        return false;
    returning_ = away_ = false;
    link = returnOther_ && !otherLink_.empty() ? otherLink_ : link_;
    return true;
}

std::string ReplayDevice::stage(size_t offset) const
{
    size_t at = std::min(offset, script_.toolBytes.size());
    while (at > 0 && !script_.isCommand[at - 1])
        --at;
    if (at == 0)
        return "before the tool's first command";
    const uint8_t command = script_.toolBytes[at - 1];
    char text[160];
    const std::string name = commandName(command);
    std::snprintf(text, sizeof text, "command 0x%02X%s%s%s (recording line %d), %zu bytes after it", command,
                  name.empty() ? "" : " (", name.c_str(), name.empty() ? "" : ")", script_.toolLines[at - 1],
                  offset - at);
    return text;
}

std::string ReplayDevice::expectedBytes(size_t offset) const
{
    const std::vector<uint8_t> &t = script_.toolBytes;
    const size_t from = offset - std::min(offset, ContextBytes);
    std::string text = hexList(t.data() + from, offset - from);
    if (offset >= t.size())
        return text + (text.empty() ? "" : " ") + "| (the recording ends here)";
    const size_t shown = std::min(t.size() - offset, ContextBytes);
    return text + (text.empty() ? "" : " ") + "| " + hexList(t.data() + offset, shown) +
           (offset + shown < t.size() ? " ..." : "");
}

void ReplayDevice::diverge(const uint8_t *got, int length, int64_t nowMs, const std::string &why)
{
    diverged_ = true;
    lastActivityMs_ = nowMs;
    out_.clear(); // a silent device from now on: what was due is not said either
    const std::vector<uint8_t> &t = script_.toolBytes;
    const size_t offset = received_;
    const size_t from = offset - std::min(offset, ContextBytes);
    std::string received = hexList(t.data() + from, offset - from);
    received += (received.empty() ? "" : " ") + std::string("| ");
    received += length > 0 ? hexList(got, std::min<size_t>(size_t(length), ContextBytes)) +
                                  (size_t(length) > ContextBytes ? " ..." : "")
                            : "(nothing more)";
    char head[200];
    std::snprintf(head, sizeof head, "mova-sim: replay diverged at byte %zu of the tool's stream (%s road, %s %d): ",
                  offset, script_.road.empty() ? "tty" : script_.road.c_str(),
                  offset < t.size() ? "recording line" : "the recording has lines up to",
                  offset < t.size() ? script_.toolLines[offset] : (t.empty() ? 0 : script_.toolLines.back()));
    report_ = head + why + "\n  stage:    " + stage(offset) + "\n  expected: " + expectedBytes(offset) +
              "\n  received: " + received + "\n  from here on the device says nothing" +
              (script_.cut ? "\n  (the recording was cut at its size limit)" : "") + "\n";
}

ReplayDevice::State ReplayDevice::state(int64_t nowMs, bool toolHoldsLine)
{
    std::lock_guard lock(mutex_);
    // A tool that holds the line may still be waiting out its own time-outs: it is given longer.
    const int64_t quiet = nowMs - lastActivityMs_;
    const bool tooQuiet = quiet > (toolHoldsLine ? quietLimitMs() + HeldQuietMs : quietLimitMs());
    if (diverged_)
        return tooQuiet ? State::Diverged : State::Playing;
    if (next_ >= script_.steps.size() && received_ >= script_.toolBytes.size())
        return (!toolHoldsLine && quiet >= EndGraceMs) || tooQuiet ? State::Matched : State::Playing;
    if (tooQuiet) {
        diverge(nullptr, 0, nowMs, "the tool stopped early: it sent nothing for " + std::to_string(quiet / 1000) + " s");
        return State::Diverged;
    }
    return State::Playing;
}

ReplayDevice::State ReplayDevice::finish(int64_t nowMs)
{
    std::lock_guard lock(mutex_);
    if (diverged_)
        return State::Diverged;
    advance(nowMs);
    if (received_ >= script_.toolBytes.size() && next_ >= script_.steps.size())
        return State::Matched;
    diverge(nullptr, 0, nowMs, "the tool stopped early: the replay was ended before the recording was played out");
    return State::Diverged;
}

std::string ReplayDevice::takeReport()
{
    std::lock_guard lock(mutex_);
    return std::exchange(report_, {});
}

size_t ReplayDevice::toolBytesReceived() const
{
    std::lock_guard lock(mutex_);
    return received_;
}
