#pragma once
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

// The device's side of the wire protocol as a pure state machine: bytes in with the time
// they arrived, bytes out with the time they are due. It never sleeps and owns no I/O, so
// the same model answers in virtual time inside a test and in real time on a pty.
class DeviceModel {
public:
    struct Identity {
        uint8_t hardwareVersion = 24;
        std::string serial = "0042";        // 4 ASCII characters on the wire
        std::string firmwareVersion = "68"; // 2 ASCII characters
        std::string firmwareDate = "211019";// year, month, day pairs
        uint8_t deviceInfo = 0x00;
        std::optional<uint8_t> status = 1;  // the optional 15th byte; none = not sent
    };
    enum class BatteryMode { Extended, RawOnly, None };
    struct Battery {
        BatteryMode mode = BatteryMode::Extended;
        std::vector<uint16_t> words = {2940}; // the words of the 0x5A reply (N = their count)
        uint16_t raw = 2940;                  // the 0x65 reading
    };
    struct Config {
        Identity identity;
        std::optional<std::vector<uint8_t>> calibration = std::vector<uint8_t> {100, 100, 100, 100, 0, 0, 0, 0};
        Battery battery;
        uint8_t shortStatus = 1;  // answer to 0xEE
        uint8_t updateStatus = 1; // answer to 0xE0
        bool doubledRoad = false; // commands come twice (the FTDI road), except single ones
    };

    // Faults that can be switched on by name, for every command or for one command byte.
    static const std::vector<std::string> &faultNames();

    struct TraceEntry {
        int64_t ms;
        char direction; // '<' into the device, '>' out of it
        uint8_t byte;
    };

    DeviceModel();
    explicit DeviceModel(Config config);

    void receive(const uint8_t *data, int length, int64_t nowMs);
    // Moves everything due by now out of the device.
    std::vector<uint8_t> takeOutput(int64_t nowMs);
    // When the device next does something by itself (a byte falls due, a pending doubled
    // command times out); none while it only waits for the host.
    std::optional<int64_t> nextEventMs() const;
    // True once when the device, having accepted a reset, leaves the link.
    bool takeResetRequest(int64_t nowMs);
    // The host went away or the line was dropped: nothing pending survives.
    void disconnect();

    bool setFault(const std::string &name, bool on, int command = -1);
    void clearFaults() { faults_.clear(); }

    Config &config() { return config_; }
    const std::vector<TraceEntry> &trace() const { return trace_; }
    // Commands the device carried out, in order.
    const std::vector<uint8_t> &commands() const { return commands_; }
    void clearTrace() { trace_.clear(); commands_.clear(); }

    static constexpr int DoubledWindowMs = 30; // how long a command waits for its second copy
    static constexpr int LateEchoMs = 1100;    // past the host's 1000 ms echo time-out
    static constexpr int ResetLeaveMs = 20;    // the echo of a reset gets out before the line drops

private:
    bool hasFault(const std::string &name, uint8_t command) const;
    void startCommand(uint8_t command, int64_t t);
    void echo(uint8_t command, int64_t t);
    void execute(uint8_t command, int64_t t);
    void settlePending(int64_t nowMs);
    void emit(const std::vector<uint8_t> &bytes, int64_t t);
    std::vector<uint8_t> identityRecord() const;
    std::vector<uint8_t> batteryExtended() const;

    Config config_;
    std::map<std::string, std::vector<int>> faults_; // name -> command bytes (-1 = all)
    std::deque<std::pair<int64_t, uint8_t>> out_;
    std::optional<uint8_t> pending_;  // a command waiting for its second copy
    int64_t pendingUntil_ = 0;
    int64_t lastOutMs_ = 0;
    std::optional<int64_t> resetAt_;
    std::vector<TraceEntry> trace_;
    std::vector<uint8_t> commands_;
};
