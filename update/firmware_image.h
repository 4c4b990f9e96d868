#pragma once
#include "operator_messages.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct Calibration;
struct DeviceRecord;

// What the update keeps of the device in its new image: the serial number's text, the seven
// calibration values and the device-information tag.
struct ServiceFields {
    std::string serial;
    int koefX = 0, offsX = 0, koefY = 0, offsY = 0, koefZ = 0, offsZ = 0, koefM = 0;
    int deviceInfo = 0;
};
// The fields of the device as it was read: the serial's text up to its first zero byte (a
// blank serial is no text at all), the calibration and the tag as they came.
ServiceFields headerFieldsOf(const DeviceRecord &record, const Calibration &calibration);

// The firmware as the device's memory will hold it: a zero-filled buffer of the device's
// capacity, addressed from the HEX text's first non-zero extended linear address.
struct FirmwareImage {
    std::vector<uint8_t> buffer; // capacity bytes; offsets no record sets stay 0
    uint32_t linearBase = 0;     // 0 while unset
    uint32_t imageTop = 0;       // highest offset a data byte went to
    int records = 0;             // records read before the end-of-file record
    bool endOfFile = false;      // the text ended properly

    uint32_t capacity() const { return uint32_t(buffer.size()); }
    uint32_t length() const { return imageTop + 1; }
};

// Memory of a device of this hardware version.
uint32_t imageCapacity(int hardwareVersion);

struct ImageLoad {
    bool ok = false;
    std::string message; // the operator's text when !ok
    FirmwareImage image;
    std::string reason;  // a file that could not be read: "<path>: <why>", said beside the message
    MessageId messageId = MessageId::None; // which message `message` is
};

// One pass over Intel HEX text, strict about records (types, checksums, bounds), lenient
// about what stands between them. Never reads past `length`: a record cut off by the end
// fails as that record's checksum error.
ImageLoad parseIntelHex(const char *text, size_t length, int hardwareVersion);

// The same into a load whose buffer the caller keeps from one text to the next: it must come
// zero-filled and the device's capacity long, and only offsets up to the returned imageTop are
// written, so clearing those readies it for the next text. Everything else in `load` is set
// afresh. For callers that load texts by the thousand, where a fresh zeroed megabyte per text
// would cost more than the parsing.
void parseIntelHex(const char *text, size_t length, ImageLoad &load);

// The carried firmware (:/FIRMWARE_HEX), or the text of `path` when one is given, read as
// readPayloadFile() reads it.
ImageLoad loadFirmwareImage(int hardwareVersion, const std::string &path = {});

// The 12 bytes at 0x200 that keep the device's own serial number, calibration and
// information byte across the update. The serial goes as its last four characters,
// right-aligned with '0' in front: a device without one gets "0000".
void writeServiceHeader(std::vector<uint8_t> &image, const ServiceFields &fields);
