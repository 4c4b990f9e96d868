#pragma once
#include <cstdint>

class Clock;

// Byte trace for support: with QTX_MOVA_TRACE set (to anything but 0), every byte that goes
// to or comes from the device is written to standard error with a millisecond timestamp
// and the road. Off by default; when off it costs one test of a flag.
class Trace {
public:
    static bool enabled() { return enabled_; }
    static void setEnabled(bool on) { enabled_ = on; }
    static void bytes(Clock &clock, const char *road, char direction, const uint8_t *data, int length)
    {
        if (enabled_ && length > 0)
            write(clock, road, direction, data, length);
    }
    static void note(Clock &clock, const char *road, const char *text)
    {
        if (enabled_)
            writeNote(clock, road, text);
    }

private:
    static void write(Clock &clock, const char *road, char direction, const uint8_t *data, int length);
    static void writeNote(Clock &clock, const char *road, const char *text);
    static bool enabled_;
};
