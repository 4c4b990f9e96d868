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

// Whether n bytes from p are all zero. Runs over up to 80 KB per input, so it is kept out of
// the instrumentation: the buffer is sized by the loader and wholly addressable.
__attribute__((no_sanitize("address", "coverage"))) bool allZero(const uint8_t *p, size_t n)
{
    while (n > 0 && reinterpret_cast<uintptr_t>(p) % sizeof(uint64_t) != 0) {
        if (*p++)
            return false;
        --n;
    }
    uint64_t any = 0;
    for (; n >= 4 * sizeof(uint64_t); n -= 4 * sizeof(uint64_t), p += 4 * sizeof(uint64_t)) {
        const auto *w = reinterpret_cast<const uint64_t *>(p);
        any |= w[0] | w[1] | w[2] | w[3];
    }
    for (; n > 0; --n)
        any |= *p++;
    return any == 0;
}

// The stretch both memories have: the small one's whole capacity.
const uint32_t Compared = imageCapacity(22);

// One memory per device size, kept from input to input: a fresh zeroed 960 KB for every
// input was most of the target's time. Clearing up to the image top after each input, and
// checking that nothing lies above it, hands every input the zeroes a fresh buffer would.
struct Memory {
    explicit Memory(int hardwareVersion) : hardwareVersion(hardwareVersion)
    {
        load.image.buffer.assign(imageCapacity(hardwareVersion), 0);
    }

    void loadFrom(const uint8_t *data, size_t size)
    {
        parseIntelHex(reinterpret_cast<const char *>(data), size, load);
        const FirmwareImage &image = load.image;
        check(image.capacity() == imageCapacity(hardwareVersion), "the buffer is not the device's capacity");
        check(load.ok == load.message.empty(), "a failure without its text, or a success with one");
        check(load.message.rfind("Error in Zeile ", 0) == 0 || load.ok, "a failure text of another form");
        // Every data byte went inside the device's memory, at or below the image top: what
        // clear() relies on to hand the next input a zeroed buffer. The loader only writes
        // the buffer, never reads it, so stale bytes could only matter where the two memories
        // are compared: that stretch is checked whole.
        check(image.imageTop < image.capacity(), "image top beyond the capacity");
        if (image.imageTop + 1 < Compared)
            check(allZero(image.buffer.data() + image.imageTop + 1, Compared - image.imageTop - 1),
                  "a byte written above the image top");
        if (load.ok)
            check(image.records >= 0, "negative record count");
    }

    void clear() { std::memset(load.image.buffer.data(), 0, load.image.imageTop + 1); }

    const int hardwareVersion;
    ImageLoad load;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Memory smallMemory(22), largeMemory(24);
    smallMemory.loadFrom(data, size);
    largeMemory.loadFrom(data, size);
    const ImageLoad &small = smallMemory.load, &large = largeMemory.load;
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
    smallMemory.clear();
    largeMemory.clear();
    return 0;
}
