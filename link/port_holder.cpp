#include "port_holder.h"
#include "regular_file.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t MaxClaimBytes = 4096;

// The claim's file: named by a hash of the port's path as given (a path may be longer than a
// file name may be); the path itself is in the file, and a claim for another path that shares
// the hash is not this port's.
std::string claimPath(const std::string &folder, const std::string &port)
{
    uint64_t hash = 14695981039346656037ull; // FNV-1a: the same name from every build
    for (const unsigned char c : port)
        hash = (hash ^ c) * 1099511628211ull;
    char name[40];
    std::snprintf(name, sizeof name, "/ports/%016llx.claim", static_cast<unsigned long long>(hash));
    return folder + name;
}

// "<pid>\n<port>\n<who>"
std::string claimText(const std::string &port, const std::string &who)
{
    return std::to_string(::getpid()) + "\n" + port + "\n" + who;
}

} // namespace

PortClaim::PortClaim(const std::string &folder, const std::string &port, const std::string &who)
{
    if (folder.empty() || port.empty())
        return;
    ::mkdir(folder.c_str(), 0700);
    ::mkdir((folder + "/ports").c_str(), 0700);
    std::string reason;
    fd_ = openRegularFile(claimPath(folder, port), O_RDWR | O_CREAT, false, reason);
    if (fd_ >= 0 && ::flock(fd_, LOCK_EX | LOCK_NB) != 0) { // another run's: its own words stay
        ::close(fd_);
        fd_ = -1;
    }
    if (fd_ < 0)
        return;
    const std::string text = claimText(port, who);
    const bool said = ::ftruncate(fd_, 0) == 0 && ::pwrite(fd_, text.data(), text.size(), 0) == ssize_t(text.size());
    // A claim without words names nobody: what was half written goes, as far as it can.
    if (!said && ::ftruncate(fd_, 0) != 0)
        return;
}

PortClaim::~PortClaim()
{
    if (fd_ >= 0)
        ::close(fd_); // the lock goes with it; the file stays for the next run on this port
}

std::string portClaimant(const std::string &folder, const std::string &port)
{
    if (folder.empty() || port.empty())
        return {};
    std::string reason, text;
    const int fd = openRegularFile(claimPath(folder, port), O_RDONLY, false, reason);
    if (fd < 0)
        return {};
    const bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    const bool read = held && readOpenedFile(fd, MaxClaimBytes, text, reason);
    ::close(fd);
    const size_t first = text.find('\n'), second = first == std::string::npos ? first : text.find('\n', first + 1);
    if (!read || second == std::string::npos || text.substr(first + 1, second - first - 1) != port ||
        text.substr(0, first) == std::to_string(::getpid()))
        return {};
    return text.substr(second + 1);
}
