#pragma once
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

class Clock;
struct TraceFile;

// Byte trace for support: with QTX_MOVA_TRACE set (to anything but 0), every byte that goes
// to or comes from the device is written to standard error with a millisecond timestamp
// and the road. While a run is recorded, the same lines also go to the run's trace file,
// queued for a thread of its own: a disk that stalls never holds the device's clock.
// With neither, it costs one test of a flag.
class Trace {
public:
    static bool enabled() { return toStderr_; }
    static void setEnabled(bool on)
    {
        toStderr_ = on;
        active_ = toStderr_ || file_;
    }
    static void bytes(Clock &clock, const char *road, char direction, const uint8_t *data, int length)
    {
        if (active_ && length > 0)
            write(clock, road, direction, data, length);
    }
    static void note(Clock &clock, const char *road, const char *text)
    {
        if (active_)
            writeNote(clock, road, text);
    }

    // Starts writing the trace to this file as well (replacing what it held), `header` as its
    // first line; past `capBytes` one line says the rest was cut and the file gets no more.
    // The file is opened and written by the file writer's thread (file_writer.h), never this
    // one: `failed` is called there with the reason when it cannot be opened (only a regular
    // file is written, and a symbolic link in its place is not followed) or when what was
    // written did not all reach it.
    static void recordTo(const std::string &path, long capBytes, const std::string &header,
                         std::function<void(const std::string &reason)> failed);
    // The trace is also cut where it would leave less than this free on its file system: the
    // run's record line, written when the run ends, still finds its room.
    static constexpr long long KeepFreeBytes = 1LL << 20;
    static constexpr long SpaceCheckEveryBytes = 64L << 10;
    // Bytes free to this user on the file system of `fd` (-1: unknown), asked on the writer's
    // thread. Tests set their own.
    static long long (*freeSpace)(int fd);
    // A file that falls behind costs lines, never the device's time: past this much waiting
    // for it, lines are counted instead of kept, and one line in the trace says how many went
    // missing there.
    static size_t queueCapBytes;
    // The file gets what is queued and is closed; how many lines it lost.
    static long stopRecording();
    // Lines are taken for the file (it is not cut, nor found unusable).
    static bool recording();

private:
    static void write(Clock &clock, const char *road, char direction, const uint8_t *data, int length);
    static void writeNote(Clock &clock, const char *road, const char *text);
    static void put(const std::string &line);

    static bool active_, toStderr_;
    static std::shared_ptr<TraceFile> file_;
};
