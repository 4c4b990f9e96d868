#pragma once
#include "device_model.h"
#include "served_device.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

// The device model on a real pseudo-terminal, served by a thread of its own. The slave's
// path is published as a symlink, as udev publishes a device's stable link, so the tool
// can be given it on its command line. Unplugging closes the pty: the tool's descriptor
// hangs up, as with a device pulled out of its socket.
class PtyEmulator {
public:
    struct Options {
        std::string link;               // symlink to publish (required)
        DeviceModel::Config device;
        int resetDowntimeMs = 1500;     // how long the device is gone after 0x71
        std::string linkAfterReset;     // where it comes back (empty: the same link)
        // Told on the serving thread as the device leaves the line to restart, its link gone.
        std::function<void()> onReset;
    };

    explicit PtyEmulator(Options options);
    // Serves `device` instead of a model of its own (options.device is then unused); the
    // device outlives the emulator.
    PtyEmulator(Options options, ServedDevice &device);
    ~PtyEmulator();
    PtyEmulator(const PtyEmulator &) = delete;
    PtyEmulator &operator=(const PtyEmulator &) = delete;

    bool start(std::string *why = nullptr);
    void stop();

    void unplug();
    // Plugs back in, under `link` when given (the device came back under another path).
    bool plug(const std::string &link = {});
    // Pulls the device out and plugs a fresh one built from `config` in under the same link
    // (a bench swapping the next unit into the socket): the tool's line hangs up, and the
    // new device remembers nothing of the old one (no image, no faults, its own serial).
    bool replaceDevice(const DeviceModel::Config &config);
    bool plugged() const;
    // Where the device comes back after its next reset (empty: where it was).
    void setLinkAfterReset(const std::string &link);

    std::string link() const;
    std::string slavePath() const;

    // Runs f on the model while the serving thread keeps off it.
    template <typename F> auto withModel(F f)
    {
        std::lock_guard lock(mutex_);
        return f(model_);
    }
    std::vector<DeviceModel::TraceEntry> trace();
    // The bytes traced since the last call, forgotten by the model (see DeviceModel::takeTrace).
    std::vector<DeviceModel::TraceEntry> takeTrace();
    std::vector<uint8_t> commands();
    // Waits (real time, bounded) until the model has carried out `command` `count` times.
    bool waitForCommand(uint8_t command, int count, int timeoutMs);
    // Milliseconds of the emulator's clock (the trace's time base).
    static int64_t nowMs();

private:
    bool openPty(std::string *why);
    void closePty();
    void serve();
    void wake();

    // The model as the device served, when no other is given.
    struct ModelServed : ServedDevice {
        explicit ModelServed(DeviceModel &m) : model(m) {}
        DeviceModel &model;
        void receive(const uint8_t *data, int length, int64_t now) override { model.receive(data, length, now); }
        std::vector<uint8_t> takeOutput(int64_t now) override { return model.takeOutput(now); }
        std::optional<int64_t> nextEventMs() const override { return model.nextEventMs(); }
        bool takePullRequest(int64_t now) override { return model.takePullRequest(now); }
        bool takeResetRequest(int64_t now) override { return model.takeResetRequest(now); }
        void disconnect() override { model.disconnect(); }
    };

    Options options_;
    mutable std::mutex mutex_;
    DeviceModel model_;
    ModelServed modelServed_ {model_};
    ServedDevice *device_ = &modelServed_;
    std::string link_;
    std::string slavePath_;
    int master_ = -1;
    int slaveHold_ = -1;     // keeps the line up while the tool has it closed
    int wakeFd_ = -1;
    int64_t replugAt_ = -1;  // after a reset: when the device comes back
    std::atomic<bool> running_ {false};
    std::thread thread_;
};
