#pragma once
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// The device's side of the wire protocol as a pure state machine: bytes in with the time
// they arrived, bytes out with the time they are due. It never sleeps and owns no I/O, so
// the same model answers in virtual time inside a test and in real time on a pty.
class DeviceModel {
public:
    struct Identity {
        uint8_t hardwareVersion = 24;
        std::string serial = "0042";        // 4 ASCII characters on the wire
        std::string firmwareVersion = "67"; // 2 ASCII characters: one before the carried firmware
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
        // The erase: the first byte, then one progress byte per step, then the status.
        std::vector<uint8_t> eraseProgress = {0, 10, 20, 30, 40, 50, 60, 70, 80, 90, 100};
        uint8_t eraseStatus = 1;
        int eraseStepMs = 200;
        bool restartAfterUpdate = true;  // the device restarts once it confirmed a new image
        std::string serialAfterRestart;  // who it is when it comes back after an update (empty: the same)
        // The firmware it says it runs once it came back from a confirmed update: the carried
        // one's, as a real device runs what it was given (empty: it keeps the version it had).
        std::string firmwareAfterUpdate = QTX_SIM_CARRIED_FIRMWARE, firmwareDateAfterUpdate = QTX_SIM_CARRIED_DATE;
        // Every byte in and out is kept for trace() (16 bytes each), every command for
        // commands(): a test reads them back; a long-running emulator keeps them only when a
        // trace file is written, and hands its bytes over to the file as it goes (takeTrace).
        bool keepHistory = true;
    };

    // Faults that can be switched on by name. The argument narrows a fault: to a command byte
    // for the echo faults, to a block index for the block faults; -1 means always.
    static const std::vector<std::string> &faultNames();
    // Each fault with what it does, in a line for the usage text.
    struct Fault {
        const char *name;
        const char *what;
    };
    static const std::vector<Fault> &faults();

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
    // True once when a pull-* fault fired: the device is pulled out (and stays out).
    bool takePullRequest(int64_t nowMs);
    // The host went away or the line was dropped: nothing pending survives.
    void disconnect();

    bool setFault(const std::string &name, bool on, int argument = -1);
    void clearFaults() { faults_.clear(); }

    Config &config() { return config_; }
    const std::vector<TraceEntry> &trace() const { return trace_; }
    // What was kept since the last call, handed over and forgotten here.
    std::vector<TraceEntry> takeTrace() { return std::exchange(trace_, {}); }
    // Commands the device carried out, in order.
    const std::vector<uint8_t> &commands() const { return commands_; }
    void clearTrace() { trace_.clear(); commands_.clear(); }

    // What the device stored: the firmware blocks it took, in order, and the table.
    const std::vector<uint8_t> &image() const { return image_; }
    const std::vector<uint8_t> &table() const { return table_; }
    uint8_t transferCommand() const { return transferCommand_; }
    int announcedBlocks() const { return blocks_; }   // the count the host sent (-1: none)
    int tableBlocks() const { return tableBlocks_; }
    bool updateConfirmed() const { return confirmed_; }

    static constexpr int DoubledWindowMs = 60; // how long the status query waits for its copy
    static constexpr int LateEchoMs = 1100;    // past the host's 1000 ms echo time-out
    static constexpr int ResetLeaveMs = 20;    // the echo of a reset gets out before the line drops
    static constexpr int RestartAfterConfirmMs = 400; // after the host read its confirmation
    // A transfer without a count ends after this pause: longer than the host's wait before
    // its first block (a 500 ms listen on the tty road), shorter than its read-back time-out.
    static constexpr int OpenEndedGapMs = 700;
    static constexpr int LateVerdictMs = 1600; // answered only by the host's fourth listen
    static constexpr uint8_t SendAgain = 0x55; // a block verdict that asks for the block again
    static constexpr int FloodBytesPerMs = 46;  // a line at 460800 baud, full
    static constexpr uint8_t FloodByte = 0x5C;

private:
    enum class Mode { Command, Count, Blocks, ReadBack, Compare, TableCount, TableBlocks };

    bool hasFault(const std::string &name, int argument) const;
    void startCommand(uint8_t command, int64_t t);
    void echo(uint8_t command, int64_t t);
    void execute(uint8_t command, int64_t t);
    void settlePending(int64_t nowMs);
    void queueOut(const std::vector<uint8_t> &bytes, int64_t t);
    std::vector<uint8_t> identityRecord() const;
    std::vector<uint8_t> batteryExtended() const;
    // The update's side (device_transfer.cpp).
    void startErase(int64_t t);
    void openTransfer(uint8_t command, int64_t t);
    void openTable(int64_t t);
    void takeData(uint8_t byte, int64_t t);
    void takeCount(int64_t t);
    void takeBlock(int64_t t);
    void verdict(bool table, int index, bool xorGood, int64_t t);
    void sendReadBack(int64_t t, bool again);
    void takeReadBackAnswer(uint8_t answer, int64_t t);
    void takeComparison(uint8_t result, int64_t t);
    void settleTimers(int64_t nowMs);
    void restart();
    void pullIf(const std::string &fault, int argument, int64_t t);

    Config config_;
    std::map<std::string, std::vector<int>> faults_; // name -> command bytes (-1 = all)
    std::deque<std::pair<int64_t, uint8_t>> out_;
    std::optional<uint8_t> pending_;  // a command waiting for its second copy
    int64_t pendingUntil_ = 0;
    int64_t lastOutMs_ = 0;
    std::optional<int64_t> resetAt_;
    std::optional<int64_t> pullAt_;
    std::optional<int64_t> floodSince_; // babbling without end from then on
    Mode mode_ = Mode::Command;
    std::vector<uint8_t> inbox_;      // data bytes of the step under way
    uint8_t transferCommand_ = 0;
    int blockSize_ = 0;
    int blocks_ = -1;                 // announced block count; -1 for the open-ended transfer
    int blockIndex_ = 0;
    int sends_ = 0;                   // sends of the current block so far
    int tableBlocks_ = 0;
    std::optional<int64_t> openEndAt_; // the open-ended transfer ends here without more data
    std::vector<uint8_t> image_, table_;
    bool confirmed_ = false;
    std::vector<TraceEntry> trace_;
    std::vector<uint8_t> commands_;
};
