// One battery poll against a device whose replies are the fuzz input: the extended reply
// (marker, count, words), the fall-back raw reading, and every way of them breaking off.
#include "battery.h"
#include "scripted_wire.h"
#include "usb_connection.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

void check(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "battery: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    // The first byte picks the wire's behaviour; the rest is what the device says.
    VirtualClock clock;
    auto wire = std::make_unique<ScriptedWire>(clock, data + 1, size - 1, WireBehaviour::fromByte(data[0]));
    UsbConnection link(clock, UsbConnection::Options {}, std::move(wire));
    check(link.openComPort("/dev/fuzz", false), "the scripted wire did not open");
    const int64_t start = clock.nowMs();
    const std::optional<int> level = pollBattery(link);
    // A figure is a percentage or a 16-bit word the device sent as its own.
    if (level)
        check(*level >= 0 && *level <= 0xFFFF, "battery figure outside a word");
    // Every wait is bounded by the link's deadlines, however the device behaves: two
    // commands with their echoes and replies, each at most a standing read time-out, plus
    // one read per promised word (at most 255).
    check(clock.nowMs() - start <= 300 * 1000, "the poll waited without bound");
    link.close();

    // Every reading two reply bytes can carry maps into 0..100.
    if (size >= 3) {
        const int raw = data[1] << 8 | data[2];
        const int percent = batteryPercent(raw);
        check(percent >= 0 && percent <= 100, "percentage outside 0..100");
        // A fuller cell never shows less.
        if (raw < 0xFFFF)
            check(batteryPercent(raw + 1) >= percent, "percentage falls as the reading rises");
    }
    return 0;
}
