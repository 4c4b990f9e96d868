#include "pty_emulator.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

PtyEmulator::PtyEmulator(Options options) : options_(std::move(options)), model_(options_.device) {}

PtyEmulator::PtyEmulator(Options options, ServedDevice &device) : PtyEmulator(std::move(options))
{
    device_ = &device;
}

PtyEmulator::~PtyEmulator()
{
    stop();
}

int64_t PtyEmulator::nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool PtyEmulator::openPty(std::string *why)
{
    auto fail = [&](const char *what) {
        if (why)
            *why = std::string(what) + ": " + std::strerror(errno);
        closePty();
        return false;
    };
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (master_ < 0)
        return fail("posix_openpt");
    if (grantpt(master_) != 0 || unlockpt(master_) != 0)
        return fail("unlockpt");
    char name[128] = {};
    if (ptsname_r(master_, name, sizeof name) != 0)
        return fail("ptsname");
    slavePath_ = name;
    slaveHold_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (slaveHold_ < 0)
        return fail("open slave");
    // Raw from the start: a line discipline that echoes or translates would answer for
    // the device before the tool has set up the line itself.
    termios tio {};
    tcgetattr(slaveHold_, &tio);
    cfmakeraw(&tio);
    tcsetattr(slaveHold_, TCSANOW, &tio);
    ::unlink(link_.c_str());
    if (::symlink(name, link_.c_str()) != 0)
        return fail("symlink");
    return true;
}

void PtyEmulator::closePty()
{
    if (!link_.empty() && !slavePath_.empty())
        ::unlink(link_.c_str());
    if (slaveHold_ >= 0)
        ::close(slaveHold_);
    if (master_ >= 0)
        ::close(master_);
    slaveHold_ = master_ = -1;
    slavePath_.clear();
}

bool PtyEmulator::start(std::string *why)
{
    std::lock_guard lock(mutex_);
    if (running_)
        return true;
    link_ = options_.link;
    if (!openPty(why))
        return false;
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    running_ = true;
    thread_ = std::thread([this] { serve(); });
    return true;
}

void PtyEmulator::stop()
{
    if (!running_.exchange(false))
        return;
    wake();
    thread_.join();
    std::lock_guard lock(mutex_);
    closePty();
    ::close(wakeFd_);
    wakeFd_ = -1;
}

void PtyEmulator::wake()
{
    if (wakeFd_ >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] auto n = ::write(wakeFd_, &one, sizeof one);
    }
}

void PtyEmulator::unplug()
{
    std::lock_guard lock(mutex_);
    closePty();
    device_->disconnect();
    replugAt_ = -1;
    wake();
}

bool PtyEmulator::plug(const std::string &link)
{
    std::lock_guard lock(mutex_);
    if (master_ >= 0)
        return true;
    if (!link.empty())
        link_ = link;
    replugAt_ = -1;
    const bool ok = openPty(nullptr);
    wake();
    return ok;
}

bool PtyEmulator::replaceDevice(const DeviceModel::Config &config)
{
    std::lock_guard lock(mutex_);
    // A new pty, not the old one kept: a tool still holding the old line must see it hang up.
    closePty();
    model_ = DeviceModel(config);
    replugAt_ = -1; // a reset under way belonged to the device that left
    const bool ok = openPty(nullptr);
    wake();
    return ok;
}

bool PtyEmulator::plugged() const
{
    std::lock_guard lock(mutex_);
    return master_ >= 0;
}

void PtyEmulator::setLinkAfterReset(const std::string &link)
{
    std::lock_guard lock(mutex_);
    options_.linkAfterReset = link;
}

std::string PtyEmulator::link() const
{
    std::lock_guard lock(mutex_);
    return link_;
}

std::string PtyEmulator::slavePath() const
{
    std::lock_guard lock(mutex_);
    return slavePath_;
}

std::vector<DeviceModel::TraceEntry> PtyEmulator::trace()
{
    std::lock_guard lock(mutex_);
    return model_.trace();
}

std::vector<DeviceModel::TraceEntry> PtyEmulator::takeTrace()
{
    std::lock_guard lock(mutex_);
    return model_.takeTrace();
}

std::vector<uint8_t> PtyEmulator::commands()
{
    std::lock_guard lock(mutex_);
    return model_.commands();
}

bool PtyEmulator::waitForCommand(uint8_t command, int count, int timeoutMs)
{
    const int64_t deadline = nowMs() + timeoutMs;
    do {
        {
            std::lock_guard lock(mutex_);
            const auto &c = model_.commands();
            if (std::count(c.begin(), c.end(), command) >= count)
                return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    } while (nowMs() < deadline);
    return false;
}

void PtyEmulator::serve()
{
    while (running_) {
        int timeout = -1;
        pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {-1, POLLIN, 0}};
        {
            std::lock_guard lock(mutex_);
            const int64_t now = nowMs();
            if (replugAt_ >= 0 && now >= replugAt_) {
                replugAt_ = -1;
                if (!options_.linkAfterReset.empty())
                    link_ = options_.linkAfterReset;
                openPty(nullptr);
            }
            if (std::string back; master_ < 0 && replugAt_ < 0 && device_->takeReturn(now, back)) {
                if (!back.empty())
                    link_ = back;
                openPty(nullptr);
            }
            fds[1].fd = master_;
            std::optional<int64_t> next = device_->nextEventMs();
            if (replugAt_ >= 0 && (!next || replugAt_ < *next))
                next = replugAt_;
            if (next)
                timeout = int(std::clamp<int64_t>(*next - now, 0, 60'000));
        }
        const int r = ::poll(fds, fds[1].fd >= 0 ? 2 : 1, timeout);
        if (r < 0 && errno != EINTR)
            break;
        if (fds[0].revents & POLLIN) {
            uint64_t v;
            [[maybe_unused]] auto n = ::read(wakeFd_, &v, sizeof v);
        }
        std::lock_guard lock(mutex_);
        if (master_ < 0)
            continue;
        const int64_t now = nowMs();
        uint8_t buffer[4096];
        for (;;) {
            const ssize_t n = ::read(master_, buffer, sizeof buffer);
            if (n <= 0)
                break; // EAGAIN: nothing more now; EIO: no one has the line open
            device_->receive(buffer, int(n), now);
        }
        std::vector<uint8_t> out = device_->takeOutput(now);
        if (!out.empty()) {
            // The tool's side may be closed; what it misses is lost, as on a real line.
            [[maybe_unused]] auto n = ::write(master_, out.data(), out.size());
        }
        if (device_->takePullRequest(now)) {
            closePty();
            device_->disconnect();
            replugAt_ = -1;
        } else if (device_->takeResetRequest(now)) {
            closePty();
            device_->disconnect();
            replugAt_ = now + options_.resetDowntimeMs;
            if (options_.onReset)
                options_.onReset();
        }
    }
}
