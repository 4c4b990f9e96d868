// The identity record, the device line and the calibration bytes: first the pure parsers
// on the input's bytes, then the same bytes as the device's replies to 0x66 and 0x68.
#include "readout.h"
#include "scripted_wire.h"
#include "usb_connection.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

void check(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "readout: %s\n", what);
        std::abort();
    }
}

void checkRecord(const DeviceRecord &r, const uint8_t (&reply)[14])
{
    check(r.hardwareVersion == reply[0], "hardware version is not the first byte");
    // Only two digits make a version; anything else is unreadable, never a guess.
    const bool twoDigits = reply[5] >= '0' && reply[5] <= '9' && reply[6] >= '0' && reply[6] <= '9';
    check(r.firmwareUnreadable == !twoDigits, "firmware version read although it is not two digits");
    check(r.firmwareUnreadable || (r.firmwareVersion >= 0 && r.firmwareVersion <= 99), "firmware version outside two digits");
    check(serialText(r).size() <= 4, "serial text longer than its four bytes");
    const std::string line = deviceLine(r);
    // Every field is bounded, so a readable identity always fits and never falls back.
    if (r.firmwareUnreadable)
        return;
    check(line.rfind("FW ", 0) == 0, "device line fell back");
    check(line.find("SerialNr: " + serialText(r)) != std::string::npos, "serial missing from the line");
}

void checkCalibration(const Calibration &c)
{
    check(c.koefX >= 0 && c.koefX <= 255 && c.koefM >= 0 && c.koefM <= 255, "coefficient outside a byte");
    check(c.offsX >= -128 && c.offsX <= 127 && c.offsZ >= -128 && c.offsZ <= 127, "offset outside a signed byte");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    // Pure parsing: 14 record bytes, an optional status byte, 8 calibration bytes.
    uint8_t reply[14] = {};
    std::memcpy(reply, data, std::min<size_t>(size, 14));
    std::optional<uint8_t> status;
    if (size > 14)
        status = data[14];
    DeviceRecord record;
    parseDeviceRecord(reply, status, record);
    checkRecord(record, reply);
    check(status || record.deviceStatus == DeviceRecord::NoStatus, "status set without a status byte");
    updateAllowed(0, record);
    updateAllowed(24, record);
    uint8_t calibrationReply[8] = {};
    if (size > 15)
        std::memcpy(calibrationReply, data + 15, std::min<size_t>(size - 15, 8));
    checkCalibration(Calibration::fromReply(calibrationReply));

    // Over a link: the first byte picks the wire's behaviour, the rest is what the device
    // says to the identity request and then to the calibration request.
    VirtualClock clock;
    auto wire = std::make_unique<ScriptedWire>(clock, data + 1, size - 1, WireBehaviour::fromByte(data[0]));
    UsbConnection link(clock, UsbConnection::Options {}, std::move(wire));
    check(link.openComPort("/dev/fuzz", false), "the scripted wire did not open");
    DeviceRecord linked;
    const DeviceRecord before = linked;
    if (readDeviceRecord(link, linked)) {
        // Whatever came is shown to the operator.
        deviceLine(linked);
    } else {
        check(std::memcmp(&before, &linked, sizeof linked) == 0, "a failed readout touched the record");
    }
    checkCalibration(readCalibration(link));
    link.close();
    return 0;
}
