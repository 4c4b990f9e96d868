#include "trace.h"
#include "clock.h"
#include "output_writer.h"
#include "regular_file.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

bool fromEnvironment()
{
    const char *v = std::getenv("QTX_MOVA_TRACE");
    return v && *v && std::strcmp(v, "0") != 0;
}

long long systemFreeSpace(int fd)
{
    struct statvfs fs {};
    return ::fstatvfs(fd, &fs) == 0 ? (long long)fs.f_bavail * (long long)fs.f_frsize : -1;
}

int64_t sinceStart(Clock &clock)
{
    static const int64_t start = clock.nowMs();
    return clock.nowMs() - start;
}

// One line is built once for both places; a block of 1024 bytes makes about 3 KB of it.
std::string &lineBuffer()
{
    static std::string line;
    line.clear();
    return line;
}

void appendPrefix(std::string &line, Clock &clock, const char *road, char direction)
{
    char prefix[64];
    std::snprintf(prefix, sizeof prefix, "mova-trace %8lld %-4s %c", static_cast<long long>(sinceStart(clock)),
                  road, direction);
    line += prefix;
}

} // namespace

bool Trace::toStderr_ = fromEnvironment();
std::FILE *Trace::file_ = nullptr;
bool Trace::active_ = Trace::toStderr_;
long Trace::fileBytes_ = 0;
long Trace::fileCap_ = 0;
long Trace::nextSpaceCheck_ = 0;
long long (*Trace::freeSpace)(int fd) = systemFreeSpace;
int Trace::fileError_ = 0;

void Trace::write(Clock &clock, const char *road, char direction, const uint8_t *data, int length)
{
    // One line per transfer: "mova-trace <ms> <road> <dir> <hex bytes>".
    static const char digits[] = "0123456789ABCDEF";
    std::string &line = lineBuffer();
    appendPrefix(line, clock, road, direction);
    for (int i = 0; i < length; ++i) {
        const char hex[3] = {' ', digits[data[i] >> 4], digits[data[i] & 0xF]};
        line.append(hex, 3);
    }
    line += '\n';
    put(line);
}

void Trace::writeNote(Clock &clock, const char *road, const char *text)
{
    std::string &line = lineBuffer();
    appendPrefix(line, clock, road, '#');
    (line += ' ') += text;
    line += '\n';
    put(line);
}

void Trace::put(const std::string &line)
{
    if (toStderr_) // queued: a slow reader of standard error drops trace lines, not the device
        OutputWriter::write(STDERR_FILENO, line, OutputWriter::Kind::Trace);
    if (!file_)
        return;
    if (fileBytes_ + long(line.size()) > fileCap_) {
        // Enough to see how the run went wrong; a device that floods the link must not fill the disk.
        std::fprintf(file_, "mova-trace cut here: the trace reached its limit of %ld bytes; the rest of the run is not kept\n",
                     fileCap_);
        stopRecording();
        return;
    }
    if (fileBytes_ >= nextSpaceCheck_) {
        // Looked at now and then, as other programs (the other devices of a batch) fill it too.
        nextSpaceCheck_ = fileBytes_ + SpaceCheckEveryBytes;
        const long long free = freeSpace(fileno(file_));
        if (free >= 0 && free < KeepFreeBytes + SpaceCheckEveryBytes) {
            std::fprintf(file_, "mova-trace cut here: the disk is nearly full, and its last %lld bytes are kept for "
                                "the run record; the rest of the run is not kept\n",
                         KeepFreeBytes);
            stopRecording();
            return;
        }
    }
    if (std::fwrite(line.data(), 1, line.size(), file_) != line.size() && !fileError_)
        fileError_ = errno;
    fileBytes_ += long(line.size());
}

bool Trace::recordTo(const std::string &path, long capBytes, const std::string &header, std::string &reason)
{
    stopRecording();
    // Emptied only once it is known to be a regular file of its own, not a link to another.
    const int fd = openRegularFile(path, O_WRONLY | O_CREAT, false, reason);
    if (fd < 0)
        return false;
    if (::ftruncate(fd, 0) != 0 || !(file_ = ::fdopen(fd, "w"))) {
        reason = std::strerror(errno);
        ::close(fd);
        return false;
    }
    // Each line reaches the file when it is written: a process killed halfway (a batch's lost
    // worker) leaves its trace up to its last line, which is what its kept trace is for.
    std::setvbuf(file_, nullptr, _IOLBF, 0);
    fileBytes_ = 0;
    fileCap_ = capBytes;
    fileError_ = 0;
    nextSpaceCheck_ = 0; // before the first line
    if (!header.empty()) {
        std::fputs(header.c_str(), file_);
        std::fputc('\n', file_);
        fileBytes_ = long(header.size()) + 1;
    }
    active_ = true;
    return true;
}

bool Trace::stopRecording(std::string *reason)
{
    if (!file_)
        return true;
    int error = fileError_;
    if (std::fflush(file_) != 0 && !error)
        error = errno;
    if (std::ferror(file_) && !error)
        error = EIO;
    if (std::fclose(file_) != 0 && !error)
        error = errno;
    file_ = nullptr;
    active_ = toStderr_;
    if (reason && error)
        *reason = std::strerror(error);
    return !error;
}
