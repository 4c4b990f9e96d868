#include "firmware_image.h"

#include <array>
#include <cstdio>
#include <cstring>

namespace {

constexpr uint32_t LargeCapacity = 0xF0000; // devices after hardware version 22
constexpr uint32_t SmallCapacity = 0xA000;
constexpr int LastSmallHardware = 22;

enum RecordType : uint8_t { Data = 0, EndOfFile = 1, ExtendedLinear = 4, LastKnownType = 5 };

constexpr std::array<int8_t, 256> hexDigits()
{
    std::array<int8_t, 256> t {};
    for (auto &v : t)
        v = -1;
    for (int c = '0'; c <= '9'; ++c)
        t[c] = int8_t(c - '0');
    for (int c = 'A'; c <= 'F'; ++c)
        t[c] = t[c + 32] = int8_t(c - 'A' + 10);
    return t;
}
constexpr std::array<int8_t, 256> HexDigit = hexDigits();

// The byte two characters read as, for every pair at once: both digits give their value,
// a digit and a non-digit the one digit, a non-digit first 0.
constexpr std::array<uint8_t, 65536> pairValues()
{
    std::array<uint8_t, 65536> t {};
    for (int first = 0; first < 256; ++first)
        for (int second = 0; second < 256; ++second) {
            const int hi = HexDigit[size_t(first)], lo = HexDigit[size_t(second)];
            t[size_t(first | second << 8)] = uint8_t(hi < 0 ? 0 : lo < 0 ? hi : hi << 4 | lo);
        }
    return t;
}
constexpr std::array<uint8_t, 65536> PairValue = pairValues();

std::string recordMessage(int record, const char *what)
{
    char text[64];
    std::snprintf(text, sizeof text, "Error in Zeile %d%s", record, what);
    return text;
}

// Reads the bytes of one record, keeping its running sum; a byte position past the end of
// the text reads as 0 and marks the record as cut off.
class RecordReader {
public:
    RecordReader(const char *text, size_t length, size_t at) : text_(text), length_(length), at_(at) {}

    uint8_t next()
    {
        uint8_t value = 0;
        if (at_ + 2 > length_) {
            cutOff_ = true;
        } else {
            // At most two digits; reading stops at the first character that is none.
            const int hi = HexDigit[uint8_t(text_[at_])];
            if (hi >= 0) {
                const int lo = HexDigit[uint8_t(text_[at_ + 1])];
                value = uint8_t(lo >= 0 ? hi * 16 + lo : hi);
            }
        }
        at_ += 2;
        sum_ = uint8_t(sum_ + value);
        return value;
    }
    bool sumIsZero() const { return sum_ == 0 && !cutOff_; }
    size_t position() const { return at_; }

private:
    const char *text_;
    size_t length_;
    size_t at_;
    uint8_t sum_ = 0;
    bool cutOff_ = false;
};

} // namespace

uint32_t imageCapacity(int hardwareVersion)
{
    return hardwareVersion > LastSmallHardware ? LargeCapacity : SmallCapacity;
}

namespace {

// One record that lies wholly inside the text: no position needs a bounds check.
struct WholeRecord {
    const char *at; // the character after ':'

    uint8_t byte(size_t index) const
    {
        const auto *s = reinterpret_cast<const uint8_t *>(at + 2 * index);
        return PairValue[size_t(s[0] | s[1] << 8)];
    }
};

// An extended linear address: the first non-zero one is the image's origin.
void setLinearAddress(FirmwareImage &image, int32_t &currentOffset, uint32_t upper16)
{
    const uint32_t linear = upper16 << 16;
    if (image.linearBase == 0)
        image.linearBase = linear;
    currentOffset = int32_t(linear - image.linearBase);
}

// The record at `colon` fits the text with `dataBytes` data bytes.
bool fits(size_t colon, size_t dataBytes, size_t length)
{
    return colon + 1 + 2 * (4 + dataBytes + 1) <= length;
}

} // namespace

ImageLoad parseIntelHex(const char *text, size_t length, int hardwareVersion)
{
    ImageLoad load;
    FirmwareImage &image = load.image;
    image.buffer.assign(imageCapacity(hardwareVersion), 0);
    const uint32_t capacity = image.capacity();
    int32_t currentOffset = 0;
    uint8_t *memory = image.buffer.data();
    size_t p = 0;
    for (;;) {
        const void *mark = p < length ? std::memchr(text + p, ':', length - p) : nullptr;
        if (!mark)
            break;
        const size_t colon = size_t(static_cast<const char *>(mark) - text);
        // Most records lie wholly inside the text and are read without bounds checks; one
        // cut off by the end goes through the careful reader below.
        if (fits(colon, 0, length)) {
            const WholeRecord r {text + colon + 1};
            const uint8_t count = r.byte(0), type = r.byte(3);
            const size_t dataBytes = type == ExtendedLinear ? 2 : count;
            if (type <= LastKnownType && fits(colon, dataBytes, length)) {
                const uint32_t recordAddress = uint32_t(r.byte(1)) << 8 | r.byte(2);
                uint8_t sum = uint8_t(count + r.byte(1) + r.byte(2) + type);
                const uint32_t base = recordAddress + uint32_t(currentOffset);
                if (type == Data && uint64_t(base) + count <= capacity) {
                    uint8_t *out = memory + base;
                    for (size_t i = 0; i < count; ++i) {
                        const uint8_t v = r.byte(4 + i);
                        out[i] = v;
                        sum = uint8_t(sum + v);
                    }
                    if (count > 0 && base + count - 1 > image.imageTop)
                        image.imageTop = base + count - 1;
                } else if (type == Data) {
                    load.message = recordMessage(image.records, ".Adresse out memory");
                    return load;
                } else {
                    for (size_t i = 0; i < dataBytes; ++i)
                        sum = uint8_t(sum + r.byte(4 + i));
                    if (type == ExtendedLinear)
                        setLinearAddress(image, currentOffset, uint32_t(r.byte(4)) << 8 | r.byte(5));
                }
                sum = uint8_t(sum + r.byte(4 + dataBytes));
                if (sum != 0) {
                    load.message = recordMessage(image.records, ". Checksumme error");
                    return load;
                }
                if (type == EndOfFile) {
                    image.endOfFile = true;
                    break;
                }
                ++image.records;
                p = colon + 1 + 2 * (4 + dataBytes + 1);
                continue;
            }
        }
        // The careful reader: every position checked against the end of the text.
        RecordReader r(text, length, colon + 1);
        const uint8_t count = r.next();
        const uint32_t address = uint32_t(r.next()) << 8;
        const uint32_t recordAddress = address | r.next();
        const uint8_t type = r.next();
        if (type > LastKnownType) {
            load.message = recordMessage(image.records, ". Typ error");
            return load;
        }
        if (type == Data) {
            const uint32_t base = recordAddress + uint32_t(currentOffset);
            for (uint32_t i = 0; i < count; ++i) {
                const uint8_t byte = r.next();
                const uint32_t target = base + i;
                if (target >= capacity) {
                    load.message = recordMessage(image.records, ".Adresse out memory");
                    return load;
                }
                memory[target] = byte;
                if (target > image.imageTop)
                    image.imageTop = target;
            }
        } else if (type == ExtendedLinear) {
            // Always two bytes, whatever the count says.
            const uint32_t hi = r.next();
            setLinearAddress(image, currentOffset, hi << 8 | r.next());
        } else {
            for (uint32_t i = 0; i < count; ++i)
                r.next();
        }
        r.next(); // the checksum completes the sum
        if (!r.sumIsZero()) {
            load.message = recordMessage(image.records, ". Checksumme error");
            return load;
        }
        if (type == EndOfFile) {
            image.endOfFile = true;
            break;
        }
        ++image.records;
        p = r.position();
    }
    load.ok = true;
    return load;
}
