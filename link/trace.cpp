#include "trace.h"
#include "clock.h"
#include "file_writer.h"
#include "output_writer.h"
#include "regular_file.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
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

// "mova-trace %8lld %-4s %c", put together by hand: a format string parsed for each of a run's
// thirty thousand lines was a tenth of what its trace cost.
void appendPrefix(std::string &line, Clock &clock, const char *road, char direction)
{
    char ms[24];
    const auto [end, error] = std::to_chars(ms, ms + sizeof ms, static_cast<long long>(sinceStart(clock)));
    const size_t digits = error == std::errc() ? size_t(end - ms) : 0;
    line += "mova-trace ";
    if (digits < 8)
        line.append(8 - digits, ' ');
    line.append(ms, digits);
    line += ' ';
    const size_t roadLength = std::strlen(road);
    line.append(road, roadLength);
    if (roadLength < 4)
        line.append(4 - roadLength, ' ');
    line += ' ';
    line += direction;
}

} // namespace

// A recorded run's trace file: lines are queued here by the device's thread and written by
// the file writer's, all that waits in one write.
struct TraceFile {
    std::string path;
    long cap = 0;
    std::function<void(const std::string &)> failed;
    std::atomic<bool> ended {false}; // cut, or found unusable: no more lines are taken

    // Shared by both threads.
    std::mutex m;
    std::condition_variable gathered; // enough waits to be written at once, or the file closes
    std::string pending;
    bool flushQueued = false;
    bool hurried = false; // the flush that waits was told enough waits
    std::chrono::steady_clock::time_point queuedAt; // of the flush that waits
    long accepted = 0;             // bytes taken for the file, the header's included
    long lost = 0, lostHere = 0;   // lines not taken: in all, and since the last one taken

    // The writer's own.
    std::string spare;
    int fd = -1;
    bool full = false; // cut where the disk was nearly full: nothing more goes in
    long written = 0, nextSpaceCheck = 0;
    int error = 0;
};

namespace {

// Long enough that the writer's thread wakes a few times a second, not for every line (each
// wake costs both threads more than the write); short enough that a killed worker's trace
// still holds all but its last quarter of a second.
constexpr auto GatherFor = std::chrono::milliseconds(250);

void say(TraceFile &f, const std::string &reason)
{
    if (f.failed)
        f.failed(reason);
}

void writeOut(TraceFile &f, const char *data, size_t size)
{
    FileWriter::stallBeforeWrite(f.written + long(size));
    for (size_t done = 0; done < size && !f.error;) {
        const ssize_t n = ::write(f.fd, data + done, size - done);
        if (n > 0)
            done += size_t(n);
        else if (!(n < 0 && errno == EINTR))
            f.error = n < 0 ? errno : ENOSPC;
    }
    f.written += long(size);
    if (f.error)
        f.ended = true;
}

// What waits goes to the file, in pieces of about a space check's worth: the disk is looked
// at between them, as other programs (the other devices of a batch) fill it too.
void flush(TraceFile &f)
{
    // The writer's own buffer: swapped with the queue's, each keeps its room for the next time
    // instead of growing again from nothing ten times a second.
    std::string &chunk = f.spare;
    chunk.clear();
    {
        // Lines are gathered for a moment and written in one go: a whole update takes about a
        // thousand writes instead of one a line.
        std::unique_lock lock(f.m);
        f.gathered.wait_until(lock, f.queuedAt + GatherFor,
                              [&] { return f.ended || f.pending.size() >= size_t(Trace::SpaceCheckEveryBytes); });
        chunk.swap(f.pending);
        f.flushQueued = false;
        f.hurried = false;
    }
    for (size_t at = 0; f.fd >= 0 && !f.error && !f.full && at < chunk.size();) {
        if (f.written >= f.nextSpaceCheck) {
            f.nextSpaceCheck = f.written + Trace::SpaceCheckEveryBytes;
            const long long free = Trace::freeSpace(f.fd);
            if (free >= 0 && free < Trace::KeepFreeBytes + Trace::SpaceCheckEveryBytes) {
                f.ended = true, f.full = true;
                const std::string cut = "mova-trace cut here: the disk is nearly full, and its last " +
                                        std::to_string(Trace::KeepFreeBytes) +
                                        " bytes are kept for the run record; the rest of the run is not kept\n";
                writeOut(f, cut.data(), cut.size());
                return;
            }
        }
        size_t end = std::min(chunk.size(), at + size_t(Trace::SpaceCheckEveryBytes));
        if (end < chunk.size())
            if (const size_t newline = chunk.rfind('\n', end - 1); newline != std::string::npos && newline >= at)
                end = newline + 1;
        writeOut(f, chunk.data() + at, end - at);
        at = end;
    }
}

void open(TraceFile &f)
{
    // Emptied only once it is known to be a regular file of its own, not a link to another.
    std::string reason;
    f.fd = openRegularFile(f.path, O_WRONLY | O_CREAT, false, reason);
    if (f.fd >= 0 && ::ftruncate(f.fd, 0) != 0) {
        reason = std::strerror(errno);
        ::close(f.fd);
        f.fd = -1;
    }
    if (f.fd < 0) {
        f.ended = true;
        say(f, reason);
        return;
    }
    flush(f);
}

void close(TraceFile &f)
{
    flush(f);
    if (f.fd < 0)
        return;
    if (::close(f.fd) != 0 && !f.error)
        f.error = errno;
    f.fd = -1;
    if (f.error)
        say(f, std::strerror(f.error));
}

// What the line just taken asks of the writer. Decided with the file's lock held, done after
// it is let go: a writer woken then does not wait for that lock at once.
enum class Wake { None, Flush, Hurry };

Wake queueFlush(TraceFile &f)
{
    if (std::exchange(f.flushQueued, true)) // once: the writer comes as soon as it can
        return f.pending.size() >= size_t(Trace::SpaceCheckEveryBytes) && !std::exchange(f.hurried, true) ? Wake::Hurry
                                                                                                         : Wake::None;
    f.queuedAt = std::chrono::steady_clock::now();
    return Wake::Flush;
}

void wake(const std::shared_ptr<TraceFile> &f, Wake what)
{
    if (what == Wake::Hurry)
        f->gathered.notify_one();
    else if (what == Wake::Flush)
        FileWriter::post([f] { flush(*f); });
}

// The line that says where lines went missing, and how many.
std::string lostLine(long lines)
{
    return "# " + std::to_string(lines) + " trace lines lost here: the trace file did not take them in time\n";
}

} // namespace

bool Trace::toStderr_ = fromEnvironment();
std::shared_ptr<TraceFile> Trace::file_;
bool Trace::active_ = Trace::toStderr_;
long long (*Trace::freeSpace)(int fd) = systemFreeSpace;
size_t Trace::queueCapBytes = 4u << 20;

void Trace::write(Clock &clock, const char *road, char direction, const uint8_t *data, int length)
{
    // One line per transfer: "mova-trace <ms> <road> <dir> <hex bytes>".
    static const char digits[] = "0123456789ABCDEF";
    std::string &line = lineBuffer();
    appendPrefix(line, clock, road, direction);
    // Sized once and filled in place: a block's thousand bytes are most of a run's trace.
    const size_t at = line.size();
    line.resize(at + 3 * size_t(length) + 1);
    char *out = line.data() + at;
    for (int i = 0; i < length; ++i, out += 3) {
        out[0] = ' ';
        out[1] = digits[data[i] >> 4];
        out[2] = digits[data[i] & 0xF];
    }
    *out = '\n';
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
    if (!file_ || file_->ended)
        return;
    TraceFile &f = *file_;
    Wake what = Wake::None;
    {
        std::lock_guard lock(f.m);
        if (f.accepted + long(line.size()) > f.cap) {
            // Enough to see how the run went wrong; a device that floods the link must not fill the disk.
            f.pending += "mova-trace cut here: the trace reached its limit of " + std::to_string(f.cap) +
                         " bytes; the rest of the run is not kept\n";
            f.ended = true;
        } else if (f.pending.size() + line.size() > queueCapBytes) {
            ++f.lost, ++f.lostHere;
            return;
        } else {
            if (f.lostHere > 0)
                f.pending += lostLine(std::exchange(f.lostHere, 0));
            f.pending += line;
            f.accepted += long(line.size());
        }
        what = queueFlush(f);
    }
    wake(file_, what);
}

void Trace::recordTo(const std::string &path, long capBytes, const std::string &header,
                     std::function<void(const std::string &reason)> failed)
{
    stopRecording();
    auto f = std::make_shared<TraceFile>();
    f->path = path;
    f->cap = capBytes;
    f->failed = std::move(failed);
    if (!header.empty())
        f->pending = header + "\n";
    f->accepted = long(f->pending.size());
    f->flushQueued = true; // the open writes what waits
    FileWriter::post([f] { open(*f); });
    file_ = std::move(f);
    active_ = true;
}

long Trace::stopRecording()
{
    if (!file_)
        return 0;
    const std::shared_ptr<TraceFile> f = std::move(file_);
    file_ = nullptr;
    active_ = toStderr_;
    std::lock_guard lock(f->m);
    if (f->lostHere > 0 && !f->ended)
        f->pending += lostLine(std::exchange(f->lostHere, 0));
    f->ended = true;
    f->gathered.notify_one(); // a flush that gathers writes now
    f->flushQueued = true;    // and the close writes what is left
    FileWriter::post([f] { close(*f); });
    return f->lost;
}

bool Trace::recording()
{
    return file_ && !file_->ended;
}
