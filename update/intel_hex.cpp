#include "firmware_image.h"
#include "device_record.h"

#include <algorithm>
#include <array>
#include <optional>
#include <cstring>

namespace {

constexpr uint32_t LargeCapacity = 0xF0000; // devices after hardware version 22
constexpr uint32_t SmallCapacity = 0xA000;

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

// One pass over the text; each record is read by one of two readers and ends the same way.
class HexParser {
public:
    HexParser(const char *text, size_t length, ImageLoad &load) : text_(text), length_(length), load_(load) {}

    void run()
    {
        for (size_t p = 0;;) {
            const void *mark = p < length_ ? std::memchr(text_ + p, ':', length_ - p) : nullptr;
            if (!mark)
                break;
            const size_t colon = size_t(static_cast<const char *>(mark) - text_);
            // Most records lie wholly inside the text and are read without bounds checks; one
            // cut off by the end goes through the careful reader.
            std::optional<Step> step = wholeRecord(colon);
            if (!step)
                step = carefulRecord(colon);
            if (step->outcome == Failed)
                return;
            if (step->outcome == Ended)
                break;
            p = step->next;
        }
        load_.ok = true;
    }

private:
    enum Outcome { Next, Ended, Failed };
    struct Step {
        Outcome outcome;
        size_t next = 0;
    };

    Step fail(MessageId id)
    {
        load_.messageId = id;
        load_.message = messageText(id, load_.image.records);
        return {Failed};
    }

    // Every record ends alike: its sum, then the end of the text or the next record.
    Step finish(uint8_t type, bool sumIsZero, size_t next)
    {
        if (!sumIsZero)
            return fail(MessageId::HexChecksum);
        if (type == EndOfFile) {
            load_.image.endOfFile = true;
            return {Ended};
        }
        ++load_.image.records;
        return {Next, next};
    }

    // An extended linear address: the first non-zero one is the image's origin.
    void setLinearAddress(uint32_t upper16)
    {
        const uint32_t linear = upper16 << 16;
        FirmwareImage &image = load_.image;
        if (image.linearBase == 0)
            image.linearBase = linear;
        currentOffset_ = int32_t(linear - image.linearBase);
    }

    // The record at `colon` fits the text with `dataBytes` data bytes.
    bool fits(size_t colon, size_t dataBytes) const { return colon + 1 + 2 * (4 + dataBytes + 1) <= length_; }

    std::optional<Step> wholeRecord(size_t colon)
    {
        if (!fits(colon, 0))
            return std::nullopt;
        const WholeRecord r {text_ + colon + 1};
        const uint8_t count = r.byte(0), type = r.byte(3);
        const size_t dataBytes = type == ExtendedLinear ? 2 : count; // always two, whatever the count
        if (type > LastKnownType || !fits(colon, dataBytes))
            return std::nullopt;
        FirmwareImage &image = load_.image;
        uint8_t sum = uint8_t(count + r.byte(1) + r.byte(2) + type);
        const uint32_t base = (uint32_t(r.byte(1)) << 8 | r.byte(2)) + uint32_t(currentOffset_);
        if (type == Data) {
            if (uint64_t(base) + count > image.capacity())
                return fail(MessageId::HexAddress);
            uint8_t *out = image.buffer.data() + base;
            for (size_t i = 0; i < count; ++i) {
                out[i] = r.byte(4 + i);
                sum = uint8_t(sum + out[i]);
            }
            if (count > 0 && base + count - 1 > image.imageTop)
                image.imageTop = base + count - 1;
        } else {
            for (size_t i = 0; i < dataBytes; ++i)
                sum = uint8_t(sum + r.byte(4 + i));
            if (type == ExtendedLinear)
                setLinearAddress(uint32_t(r.byte(4)) << 8 | r.byte(5));
        }
        sum = uint8_t(sum + r.byte(4 + dataBytes));
        return finish(type, sum == 0, colon + 1 + 2 * (4 + dataBytes + 1));
    }

    Step carefulRecord(size_t colon)
    {
        RecordReader r(text_, length_, colon + 1);
        const uint8_t count = r.next();
        const uint32_t high = r.next();
        const uint32_t recordAddress = high << 8 | r.next();
        const uint8_t type = r.next();
        if (type > LastKnownType)
            return fail(MessageId::HexType);
        FirmwareImage &image = load_.image;
        if (type == Data) {
            const uint32_t base = recordAddress + uint32_t(currentOffset_);
            for (uint32_t i = 0; i < count; ++i) {
                const uint8_t byte = r.next();
                const uint32_t target = base + i;
                if (target >= image.capacity())
                    return fail(MessageId::HexAddress);
                image.buffer[target] = byte;
                image.imageTop = std::max(image.imageTop, target);
            }
        } else if (type == ExtendedLinear) {
            const uint32_t upper = r.next();
            setLinearAddress(upper << 8 | r.next());
        } else {
            for (uint32_t i = 0; i < count; ++i)
                r.next();
        }
        r.next(); // the checksum completes the sum
        return finish(type, r.sumIsZero(), r.position());
    }

    const char *text_;
    size_t length_;
    ImageLoad &load_;
    int32_t currentOffset_ = 0;
};

} // namespace

ImageLoad parseIntelHex(const char *text, size_t length, int hardwareVersion)
{
    ImageLoad load;
    load.image.buffer.assign(imageCapacity(hardwareVersion), 0);
    parseIntelHex(text, length, load);
    return load;
}

void parseIntelHex(const char *text, size_t length, ImageLoad &load)
{
    load.ok = false;
    load.message.clear();
    load.messageId = MessageId::None;
    FirmwareImage &image = load.image;
    image.linearBase = 0;
    image.imageTop = 0;
    image.records = 0;
    image.endOfFile = false;
    HexParser(text, length, load).run();
}
