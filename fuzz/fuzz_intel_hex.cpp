// The Intel HEX loader on any bytes, for a device of either memory size. libFuzzer hands
// over a heap buffer exactly `size` long, so any read past the end is caught by ASan.
#include "firmware_image.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void check(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "intel_hex: %s\n", what);
        std::abort();
    }
}

ImageLoad loadFor(const uint8_t *data, size_t size, int hardwareVersion)
{
    ImageLoad load = parseIntelHex(reinterpret_cast<const char *>(data), size, hardwareVersion);
    const FirmwareImage &image = load.image;
    check(image.capacity() == imageCapacity(hardwareVersion), "the buffer is not the device's capacity");
    check(load.ok == load.message.empty(), "a failure without its text, or a success with one");
    check(load.message.rfind("Error in Zeile ", 0) == 0 || load.ok, "a failure text of another form");
    if (load.ok) {
        // Every data byte went inside the device's memory.
        check(image.imageTop < image.capacity(), "image top beyond the capacity");
        check(image.records >= 0, "negative record count");
    }
    return load;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const ImageLoad small = loadFor(data, size, 22);
    const ImageLoad large = loadFor(data, size, 24);
    // The two memories differ only above the small one's end: a text that fits the small
    // device loads the same on the large one, and one that fails for any other reason than
    // an address fails alike.
    if (small.ok) {
        check(large.ok, "fits the small memory but not the large one");
        check(large.image.imageTop == small.image.imageTop && large.image.records == small.image.records &&
                  large.image.endOfFile == small.image.endOfFile &&
                  large.image.linearBase == small.image.linearBase,
              "the two memories read the same text differently");
        check(std::memcmp(large.image.buffer.data(), small.image.buffer.data(), small.image.capacity()) == 0,
              "the two memories hold different bytes");
    } else if (small.message.find("Adresse out memory") == std::string::npos) {
        check(!large.ok && large.message == small.message, "a failure that depends on the memory size");
    }
    return 0;
}
