#include "batch_ports.h"
#include "discovery.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <set>
#include <sys/stat.h>

PortIdentity identifyPort(const std::string &path)
{
    PortIdentity id;
    struct stat linkSt, nodeSt;
    if (::lstat(path.c_str(), &linkSt) != 0 || ::stat(path.c_str(), &nodeSt) != 0)
        return id;
    id.present = true;
    id.device = nodeSt.st_dev;
    id.rdev = nodeSt.st_rdev;
    id.link = linkSt.st_ino;
    id.node = nodeSt.st_ino;
    if (S_ISLNK(linkSt.st_mode)) // a node's own change time moves with its permissions, a link's does not
        id.linkMade = linkSt.st_ctim;
    return id;
}

namespace {

std::vector<std::string> oneEach(const std::vector<std::string> &ports)
{
    std::vector<std::string> unique;
    std::set<std::string> seen;
    for (const std::string &port : ports) {
        char resolved[PATH_MAX];
        if (seen.insert(::realpath(port.c_str(), resolved) ? resolved : port).second)
            unique.push_back(port);
    }
    return unique;
}

} // namespace

PortWatch::PortWatch(const std::vector<std::string> &given) : given_(oneEach(given)) {}

std::vector<std::string> PortWatch::present() const
{
    return given_.empty() ? findInterfacePaths(deviceUsbId()) : given_;
}

std::vector<std::string> PortWatch::watched() const
{
    if (!given_.empty())
        return given_;
    std::vector<std::string> ports = findInterfacePaths(deviceUsbId());
    for (const auto &[port, held] : held_) // a held port that went away must be seen gone
        if (std::find(ports.begin(), ports.end(), port) == ports.end())
            ports.push_back(port);
    return ports;
}

std::vector<std::string> PortWatch::look(int64_t nowMs, const std::function<bool(const std::string &)> &busy)
{
    std::vector<std::string> free;
    for (const std::string &port : watched()) {
        if (busy(port))
            continue;
        const PortIdentity identity = identifyPort(port);
        const auto held = held_.find(port);
        if (held != held_.end() && held->second.port.awayAtMs < 0 && !(held->second.identity == identity))
            held->second.port.awayAtMs = nowMs;
        if (!identity.present)
            continue;
        if (held != held_.end() && held->second.port.awayAtMs < 0)
            continue; // still the device whose update just ended
        free.push_back(port);
    }
    return free;
}

bool PortWatch::allBusy(const std::function<bool(const std::string &)> &busy) const
{
    return !given_.empty() && std::all_of(given_.begin(), given_.end(), busy);
}

void PortWatch::hold(const std::string &port, const std::string &serialHex, bool updated)
{
    held_[port] = PortHold {HeldPort {serialHex, -1, updated}, identifyPort(port)};
}

std::map<std::string, HeldPort> PortWatch::held() const
{
    std::map<std::string, HeldPort> ports;
    for (const auto &[port, held] : held_)
        ports.emplace(port, held.port);
    return ports;
}

std::map<std::string, PortHold> PortWatch::stillHeld() const
{
    std::map<std::string, PortHold> holds;
    for (const auto &[port, held] : held_)
        if (held.port.awayAtMs < 0)
            holds.emplace(port, held);
    return holds;
}

void PortWatch::takeOver(const std::map<std::string, PortHold> &holds)
{
    for (const auto &[port, held] : holds)
        held_.emplace(port, held);
}
