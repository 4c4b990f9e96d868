#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

class Clock;

// Byte trace for support: with QTX_MOVA_TRACE set (to anything but 0), every byte that goes
// to or comes from the device is written to standard error with a millisecond timestamp
// and the road. While a run is recorded, the same lines also go to the run's trace file.
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
    // False with the reason when the file cannot be opened; only a regular file is written,
    // and a symbolic link in its place is not followed.
    static bool recordTo(const std::string &path, long capBytes, const std::string &header, std::string &reason);
    // The trace is also cut where it would leave less than this free on its file system: the
    // run's record line, written when the run ends, still finds its room.
    static constexpr long long KeepFreeBytes = 1LL << 20;
    static constexpr long SpaceCheckEveryBytes = 64L << 10;
    // Bytes free to this user on the file system of `fd` (-1: unknown). Tests set their own.
    static long long (*freeSpace)(int fd);
    // Closes the file; false with the reason when what was written did not all reach it.
    static bool stopRecording(std::string *reason = nullptr);
    static bool recording() { return file_ != nullptr; }

private:
    static void write(Clock &clock, const char *road, char direction, const uint8_t *data, int length);
    static void writeNote(Clock &clock, const char *road, const char *text);
    static void put(const std::string &line);

    static bool active_, toStderr_;
    static std::FILE *file_;
    static long fileBytes_, fileCap_, nextSpaceCheck_;
    static int fileError_; // the first write to the file that failed
};
