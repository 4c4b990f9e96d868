#include "payload_file.h"

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

qint64 limitOf(PayloadKind kind)
{
    return kind == PayloadKind::Table ? qint64(MaxTableBlocks) * TableBlockSize : MaxFirmwareTextBytes;
}

std::string tooLarge(PayloadKind kind, qint64 size, bool atLeast)
{
    const std::string more = atLeast ? "more than " : "";
    if (kind == PayloadKind::Table)
        return "too large (" + more + std::to_string((size + TableBlockSize - 1) / TableBlockSize) +
               " blocks of 512 bytes, at most " + std::to_string(MaxTableBlocks) + ")";
    return "too large (" + more + std::to_string(size) + " bytes, at most " + std::to_string(MaxFirmwareTextBytes) +
           " for a firmware text)";
}

// What a path that is no regular file is, for the operator.
std::string notAFile(mode_t mode)
{
    return S_ISDIR(mode) ? "a folder, not a file" : "not a regular file";
}

std::string systemReason(int error)
{
    return error == ENOENT || error == ENOTDIR ? std::string("not found")
                                               : std::string("cannot be read: ") + std::strerror(error);
}

PayloadFile carried(const std::string &path, PayloadKind kind)
{
    PayloadFile p;
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly))
        p.reason = "not found";
    else if (file.size() > limitOf(kind))
        p.reason = tooLarge(kind, file.size(), false);
    else if ((p.bytes = file.readAll()).isEmpty())
        p.reason = "empty";
    return p;
}

} // namespace

std::string tableFormatProblem(const QByteArray &bytes)
{
    if (bytes.startsWith(TableMagic))
        return {};
    return std::string("not a translation table (it does not begin with \"") + TableMagic + "\")";
}

PayloadFile readPayloadFile(const std::string &path, PayloadKind kind)
{
    if (path.rfind(":/", 0) == 0)
        return carried(path, kind);
    PayloadFile p;
    const qint64 limit = limitOf(kind);
    // A FIFO, a terminal or /dev/zero is refused by its type before it is opened; the open
    // itself does not wait either, should the path have become one in between.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        p.reason = systemReason(errno);
        return p;
    }
    if (!S_ISREG(st.st_mode)) {
        p.reason = notAFile(st.st_mode);
        return p;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        p.reason = systemReason(errno);
        return p;
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer {fd};
    if (::fstat(fd, &st) != 0) {
        p.reason = systemReason(errno);
        return p;
    }
    if (!S_ISREG(st.st_mode)) {
        p.reason = notAFile(st.st_mode);
        return p;
    }
    if (st.st_size > limit) { // a sparse file of gigabytes costs nothing to refuse
        p.reason = tooLarge(kind, st.st_size, false);
        return p;
    }
    // The size said is a hint (a file may grow, some report 0): at most one byte past the
    // limit is read, which is enough to refuse it.
    QByteArray bytes(qsizetype(st.st_size), Qt::Uninitialized);
    qint64 have = 0;
    for (;;) {
        if (have == bytes.size()) {
            if (have > limit)
                break;
            bytes.resize(qsizetype(std::min(std::max(have * 2, qint64(64) << 10), limit + 1)));
        }
        const ssize_t n = ::read(fd, bytes.data() + have, size_t(bytes.size() - have));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            p.reason = systemReason(errno);
            p.readFailed = true;
            return p;
        }
        if (n == 0)
            break;
        have += n;
    }
    if (have > limit) {
        p.reason = tooLarge(kind, limit, true);
        return p;
    }
    bytes.resize(qsizetype(have));
    if (bytes.isEmpty())
        p.reason = "empty";
    else
        p.bytes = std::move(bytes);
    return p;
}
