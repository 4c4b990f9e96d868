#pragma once
// A recorded run played back as the device: each reply goes out once the tool has sent what
// it had sent before it in the recording (as a stream: the tool may cut its writes otherwise),
// after the delay the recording shows; the device leaves the line and comes back where the
// recording shows it away. When the tool sends something else, the replay says where, and
// from then on it is a silent device, so that the tool ends with its own message.
#include "replay_trace.h"
#include "served_device.h"

#include <mutex>

class ReplayDevice : public ServedDevice {
public:
    // Once everything was played and the tool has let go of the line, the replay waits this
    // long for anything more before it calls the run matched.
    static constexpr int64_t EndGraceMs = 200;
    // The tool may be quiet this much longer than its longest silence in the recording before
    // the replay takes it that the tool has stopped.
    static constexpr int64_t QuietMarginMs = 5000;
    // ... and this much longer again while it holds the line open (it waits out its time-outs).
    static constexpr int64_t HeldQuietMs = 60'000;
    static constexpr size_t ContextBytes = 8; // shown before the byte where the streams part

    ReplayDevice(ReplayScript script, int64_t startMs);

    void receive(const uint8_t *data, int length, int64_t nowMs) override;
    std::vector<uint8_t> takeOutput(int64_t nowMs) override;
    std::optional<int64_t> nextEventMs() const override;
    bool takePullRequest(int64_t nowMs) override;
    bool takeResetRequest(int64_t) override { return false; }
    bool takeReturn(int64_t nowMs, std::string &link) override;
    void disconnect() override {}

    // Where the links are: the tool's first path is `link`, any other it opened `otherLink`.
    void setLinks(std::string link, std::string otherLink);

    enum class State { Playing, Matched, Diverged };
    // Matched once the recording was played to its end and the tool has let go of the line
    // (`toolHoldsLine` false), or was quiet too long since; Diverged once the tool sent other
    // bytes or stopped early, and was quiet too long since.
    State state(int64_t nowMs, bool toolHoldsLine);
    // Ends the replay now (a signal): what it came to, a tool that stopped early reported.
    State finish(int64_t nowMs);
    // The divergence's report, once, for the caller to print; empty when none is new.
    std::string takeReport();
    size_t toolBytesReceived() const;

private:
    struct Due {
        bool ready;
        int64_t at;
    };
    Due due(const ReplayStep &step) const;
    void advance(int64_t nowMs);
    void diverge(const uint8_t *got, int length, int64_t nowMs, const std::string &why);
    std::string stage(size_t offset) const;
    std::string expectedBytes(size_t offset) const;
    int64_t quietLimitMs() const { return script_.longestQuietMs + QuietMarginMs; }

    mutable std::mutex mutex_;
    ReplayScript script_;
    int64_t startMs_;
    std::vector<int64_t> arrival_; // when each of the tool's bytes came
    size_t received_ = 0;
    size_t next_ = 0;              // the next step to play
    std::vector<uint8_t> out_;
    bool leaving_ = false, away_ = false, returning_ = false, returnOther_ = false;
    std::string link_, otherLink_;
    int64_t lastActivityMs_;       // the tool's last byte, or the last step played
    bool diverged_ = false;
    std::string report_;
};
