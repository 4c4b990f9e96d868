#include "virtual_device.h"
#include "clock.h"

#include <algorithm>
#include <cstring>
#include <deque>

VirtualDevice::VirtualDevice(VirtualClock &clock, std::string path, DeviceModel::Config config)
    : clock_(clock), model_(std::move(config)), path_(std::move(path))
{
}

void VirtualDevice::unplug()
{
    plugged_ = false;
    replugAt_ = -1;
    ++generation_;
    model_.disconnect();
}

void VirtualDevice::plug(const std::string &path)
{
    if (!path.empty())
        path_ = path;
    plugged_ = true;
    replugAt_ = -1;
}

void VirtualDevice::serviceReset()
{
    if (replugAt_ >= 0 && clock_.nowMs() >= replugAt_) {
        replugAt_ = -1;
        plugged_ = true;
        if (!pathAfterReset.empty())
            path_ = pathAfterReset;
    }
}

bool VirtualDevice::plugged()
{
    serviceReset();
    return plugged_;
}

// The tool's descriptor on the virtual device.
class VirtualTty : public TtyWire {
public:
    explicit VirtualTty(VirtualDevice &device) : d_(device) {}

    bool open(const std::string &path, std::string *why, Refusal * = nullptr) override
    {
        close();
        if (!d_.plugged() || path != d_.path_) {
            if (why)
                *why = "No such file or directory";
            return false;
        }
        open_ = true;
        generation_ = d_.generation_;
        return true;
    }
    void close() override
    {
        open_ = false;
        rx_.clear();
    }
    bool isOpen() const override { return open_; }

    int readSome(uint8_t *buffer, int length, int64_t deadlineMs) override
    {
        for (;;) {
            if (!alive())
                return -1;
            collect();
            if (!rx_.empty()) {
                const int n = std::min<int>(length, int(rx_.size()));
                std::copy_n(rx_.begin(), n, buffer);
                rx_.erase(rx_.begin(), rx_.begin() + n);
                return n;
            }
            const int64_t now = d_.clock_.nowMs();
            if (now >= deadlineMs)
                return 0;
            std::optional<int64_t> next = d_.model_.nextEventMs();
            d_.clock_.advanceTo(next && *next > now ? std::min(*next, deadlineMs) : deadlineMs);
        }
    }

    int writeSome(const uint8_t *buffer, int length, int64_t) override
    {
        if (!alive())
            return -1;
        collect(); // what the device said before these bytes arrived stays in front
        if (!alive())
            return -1; // pulled out just now
        d_.model_.receive(buffer, length, d_.clock_.nowMs());
        checkReset();
        return length;
    }

    bool purge() override
    {
        if (!alive())
            return false;
        collect();
        rx_.clear();
        return true;
    }
    bool drainOutput(int64_t) override { return alive(); }

private:
    bool alive() { return open_ && d_.generation_ == generation_ && d_.plugged_; }
    void collect()
    {
        std::vector<uint8_t> out = d_.model_.takeOutput(d_.clock_.nowMs());
        // The terminal's input queue is finite: what a flooding device sends beyond it is lost.
        const size_t room = InputQueue > rx_.size() ? InputQueue - rx_.size() : 0;
        rx_.insert(rx_.end(), out.begin(), out.begin() + long(std::min(room, out.size())));
        checkReset();
    }
    void checkReset()
    {
        if (d_.model_.takePullRequest(d_.clock_.nowMs())) {
            d_.unplug(); // out until the test plugs it back in
            return;
        }
        if (d_.model_.takeResetRequest(d_.clock_.nowMs())) {
            d_.unplug();
            if (d_.onReset)
                d_.onReset();
            d_.replugAt_ = d_.clock_.nowMs() + d_.resetDowntimeMs;
        }
    }

    static constexpr size_t InputQueue = 4096;
    VirtualDevice &d_;
    bool open_ = false;
    unsigned generation_ = 0;
    std::deque<uint8_t> rx_;
};

std::unique_ptr<TtyWire> VirtualDevice::wire()
{
    return std::make_unique<VirtualTty>(*this);
}
