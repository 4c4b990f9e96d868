#include "regular_file.h"

#include <cerrno>
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

bool readRegularFile(const std::string &path, std::string &bytes, std::string &reason)
{
    const int fd = openRegularFile(path, O_RDONLY, false, reason);
    if (fd < 0)
        return false;
    bytes.clear();
    char buffer[64 << 10];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) != 0) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            reason = std::strerror(errno);
            ::close(fd);
            return false;
        }
        bytes.append(buffer, size_t(n));
    }
    ::close(fd);
    return true;
}
