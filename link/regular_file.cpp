#include "regular_file.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int openRegularFile(const std::string &path, int flags, bool followLink, std::string &reason)
{
    // What is there already is looked at first: a device is never opened at all.
    struct stat st {};
    if ((followLink ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) == 0 && !S_ISREG(st.st_mode)) {
        reason = S_ISLNK(st.st_mode) ? LinkNotFollowed : NotARegularFile;
        return -1;
    }
    // Should it have changed since: O_NONBLOCK keeps a FIFO from holding the open (without a
    // reader it fails with ENXIO), O_NOFOLLOW keeps a link from being followed.
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (followLink ? 0 : O_NOFOLLOW), 0644);
    if (fd < 0) {
        const int error = errno;
        reason = error == ELOOP && !followLink ? LinkNotFollowed : error == ENXIO ? NotARegularFile : std::strerror(error);
        return -1;
    }
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        reason = NotARegularFile;
        ::close(fd);
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

std::string largerThan(size_t maxBytes)
{
    constexpr size_t MiB = size_t(1) << 20;
    return "larger than " +
           (maxBytes % MiB == 0 ? std::to_string(maxBytes / MiB) + " MiB" : std::to_string(maxBytes) + " bytes");
}

bool readOpenedFile(int fd, size_t maxBytes, std::string &bytes, std::string &reason)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        reason = std::strerror(errno);
        return false;
    }
    if (uint64_t(st.st_size) > maxBytes) {
        reason = largerThan(maxBytes);
        return false;
    }
    bytes.clear();
    bytes.reserve(size_t(st.st_size));
    char buffer[64 << 10];
    for (off_t at = 0;;) {
        const ssize_t n = ::pread(fd, buffer, sizeof buffer, at);
        if (n == 0)
            return true;
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            reason = std::strerror(errno);
            return false;
        }
        if (bytes.size() + size_t(n) > maxBytes) {
            reason = largerThan(maxBytes);
            return false;
        }
        bytes.append(buffer, size_t(n));
        at += n;
    }
}

bool readRegularFile(const std::string &path, size_t maxBytes, std::string &bytes, std::string &reason, bool followLink)
{
    const int fd = openRegularFile(path, O_RDONLY, followLink, reason);
    if (fd < 0)
        return false;
    const bool read = readOpenedFile(fd, maxBytes, bytes, reason);
    ::close(fd);
    return read;
}
