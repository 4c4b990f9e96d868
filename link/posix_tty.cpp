#include "clock.h"
#include "tty_wire.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace {

std::string systemText(const char *what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

// The terminal this program runs in (/dev/tty, or what its standard streams are): talking
// to it raw and exclusively would take the operator's own terminal away.
bool ownTerminal(dev_t device)
{
    if (device == makedev(5, 0))
        return true;
    struct stat st {};
    for (int fd = 0; fd <= 2; ++fd)
        if (::isatty(fd) && ::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == device)
            return true;
    return false;
}

} // namespace

bool PosixTty::open(const std::string &path, std::string *why, Refusal *refusal)
{
    close();
    if (refusal)
        *refusal = Refusal::None;
    auto fail = [&](std::string text, Refusal kind = Refusal::None) {
        if (why)
            *why = std::move(text);
        if (refusal)
            *refusal = kind;
        release();
        return false;
    };
    // Only a character device can be a terminal; anything else (a regular file, a FIFO, a
    // directory) is never opened, so it cannot be written or block the open.
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0) {
        const int error = errno;
        if (path.empty())
            return fail("no device path", Refusal::Missing);
        if (error == ENOENT || error == ENOTDIR || error == EACCES)
            return fail(systemText("stat"), error == EACCES ? Refusal::Denied : Refusal::Missing);
        return fail(std::string("cannot be opened: ") + std::strerror(error)); // a name too long, a loop of links
    }
    if (!S_ISCHR(st.st_mode))
        return fail("not a terminal device", Refusal::NotTerminal);
    if (ownTerminal(st.st_rdev))
        return fail("the terminal this program runs in, not a device");
    // O_NONBLOCK: a serial line without carrier must not block the open; every wait below
    // is a poll() with a deadline instead.
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0) {
        // EBUSY: another program's open descriptor holds the line exclusively.
        const Refusal kind = errno == EACCES || errno == EPERM ? Refusal::Denied
                             : errno == EBUSY                  ? Refusal::Busy
                                                               : Refusal::None;
        return fail(kind == Refusal::Busy ? "device is in use" : "cannot be opened: " + std::string(std::strerror(errno)), kind);
    }
    if (!::isatty(fd_))
        return fail("not a terminal device", Refusal::NotTerminal);
    // Exclusive, as the device must never see two programs talking at once. TIOCEXCL
    // keeps other opens out but not root's; the lock also holds between two copies of
    // this program run as root.
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0)
        return errno == EWOULDBLOCK ? fail("device is in use", Refusal::Busy) : fail(systemText("flock"));
    if (::ioctl(fd_, TIOCEXCL) != 0)
        return fail(systemText("TIOCEXCL"));
    exclusive_ = true;
    termios tio {};
    if (::tcgetattr(fd_, &tio) != 0)
        return fail(systemText("tcgetattr"));
    const speed_t in = cfgetispeed(&tio), out = cfgetospeed(&tio);
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    // VMIN 1: with O_NONBLOCK an empty line reads as EAGAIN, and 0 only means hang-up.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, in);
    cfsetospeed(&tio, out);
    if (::tcsetattr(fd_, TCSANOW, &tio) != 0)
        return fail(systemText("tcsetattr"));
    return true;
}

void PosixTty::close()
{
    release();
}

void PosixTty::release()
{
    if (fd_ < 0)
        return;
    // The exclusive flag belongs to the terminal, not to the descriptor: on a line whose
    // other side stays open (a pseudo-terminal) it would outlive this close and refuse every
    // later open but root's, this program's own reconnects included.
    if (exclusive_)
        ::ioctl(fd_, TIOCNXCL);
    exclusive_ = false;
    ::close(fd_);
    fd_ = -1;
}

bool PosixTty::waitFor(short events, int64_t deadlineMs)
{
    for (;;) {
        const int64_t left = deadlineMs - clock_.nowMs();
        pollfd p {fd_, events, 0};
        const int r = ::poll(&p, 1, left > 0 ? int(left) : 0);
        if (r > 0)
            return true; // ready, or hung up: the next read or write tells which
        if (r == 0)
            return false;
        if (errno != EINTR)
            return true; // let the read or write report the error
    }
}

int PosixTty::readSome(uint8_t *buffer, int length, int64_t deadlineMs)
{
    if (fd_ < 0)
        return -1;
    for (;;) {
        const ssize_t n = ::read(fd_, buffer, size_t(length));
        if (n > 0)
            return int(n);
        if (n == 0)
            return -1; // hang-up: the device went away
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN)
            return -1;
        if (!waitFor(POLLIN, deadlineMs))
            return 0;
    }
}

int PosixTty::writeSome(const uint8_t *buffer, int length, int64_t deadlineMs)
{
    if (fd_ < 0)
        return -1;
    for (;;) {
        const ssize_t n = ::write(fd_, buffer, size_t(length));
        if (n >= 0)
            return int(n);
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN)
            return -1;
        if (!waitFor(POLLOUT, deadlineMs))
            return 0;
    }
}

bool PosixTty::purge()
{
    return fd_ >= 0 && ::tcflush(fd_, TCIOFLUSH) == 0;
}

bool PosixTty::drainOutput(int64_t deadlineMs)
{
    // tcdrain() has no time-out; a device that stops taking bytes would hang it.
    if (fd_ < 0)
        return false;
    for (;;) {
        int pending = 0;
        if (::ioctl(fd_, TIOCOUTQ, &pending) != 0)
            return false;
        if (pending <= 0)
            return true;
        if (clock_.nowMs() >= deadlineMs)
            return false;
        clock_.sleep(1);
    }
}
