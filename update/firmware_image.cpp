#include "firmware_image.h"

#include <QFile>
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
        const void *colon = p < length ? std::memchr(text + p, ':', length - p) : nullptr;
        if (!colon)
            break;
        RecordReader r(text, length, size_t(static_cast<const char *>(colon) - text) + 1);
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
            const uint32_t linear = ((hi << 8) | r.next()) << 16;
            if (image.linearBase == 0)
                image.linearBase = linear;
            currentOffset = int32_t(linear - image.linearBase);
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

ImageLoad loadFirmwareImage(int hardwareVersion, const std::string &path)
{
    QFile file(path.empty() ? QStringLiteral(":/FIRMWARE_HEX") : QString::fromLocal8Bit(path.c_str()));
    ImageLoad load;
    if (!file.open(QIODevice::ReadOnly) || file.size() == 0) {
        load.message = "Hex-File cannot open!";
        return load;
    }
    const QByteArray text = file.readAll();
    if (text.isEmpty()) {
        load.message = "Cannot read Intel-Hex file";
        return load;
    }
    return parseIntelHex(text.constData(), size_t(text.size()), hardwareVersion);
}
