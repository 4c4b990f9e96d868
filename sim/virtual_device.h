#pragma once
#include "device_model.h"
#include "tty_wire.h"

#include <functional>
#include <memory>
#include <string>

class VirtualClock;

// The device model plugged in at a path, in virtual time: what a test hands the tty road
// instead of a terminal. Time moves only when the tool waits, and at once.
class VirtualDevice {
public:
    VirtualDevice(VirtualClock &clock, std::string path, DeviceModel::Config config = DeviceModel::Config());

    DeviceModel &model() { return model_; }
    VirtualClock &clock() { return clock_; }
    const std::string &path() const { return path_; }

    void unplug();
    void plug(const std::string &path = {});
    bool plugged();
    int resetDowntimeMs = 1500;
    std::string pathAfterReset; // empty: the same path
    std::function<void()> onReset; // told when the device leaves the line to restart

    // A fresh wire for one UsbConnection.
    std::unique_ptr<TtyWire> wire();

private:
    friend class VirtualTty;
    void serviceReset();

    VirtualClock &clock_;
    DeviceModel model_;
    std::string path_;
    bool plugged_ = true;
    int64_t replugAt_ = -1;
    unsigned generation_ = 0; // bumped at every unplug: a descriptor of an older one is dead
};
