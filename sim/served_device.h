#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The device side that PtyEmulator serves on its pseudo-terminal: bytes in with the time they
// came, bytes out when they are due, and when the device leaves the line and comes back. The
// emulated device (the model) and a recorded run played back both speak it.
class ServedDevice {
public:
    virtual ~ServedDevice() = default;
    virtual void receive(const uint8_t *data, int length, int64_t nowMs) = 0;
    virtual std::vector<uint8_t> takeOutput(int64_t nowMs) = 0;
    // When the device next does something by itself; none while it only waits for the host.
    virtual std::optional<int64_t> nextEventMs() const = 0;
    // True once when the device is pulled out (it stays away until it says it is back).
    virtual bool takePullRequest(int64_t nowMs) = 0;
    // True once when the device restarts: away for the emulator's reset downtime.
    virtual bool takeResetRequest(int64_t nowMs) = 0;
    // While it is away by itself: true once when it is back, with the link it comes back
    // under (empty: where it was). The emulated device only comes back when plugged in.
    virtual bool takeReturn(int64_t, std::string &) { return false; }
    // The host went away or the line was dropped.
    virtual void disconnect() = 0;
};
