#include "firmware_image.h"
#include "payload_file.h"
#include "readout.h"

#include <algorithm>

ImageLoad loadFirmwareImage(int hardwareVersion, const std::string &path)
{
    const std::string from = path.empty() ? std::string(CarriedFirmware) : path;
    const PayloadFile text = readPayloadFile(from, PayloadKind::Firmware);
    if (!text.ok()) {
        ImageLoad load;
        load.messageId = text.readFailed ? MessageId::FirmwareUnreadable : MessageId::FirmwareCannotOpen;
        load.message = messageText(load.messageId);
        load.reason = from + ": " + text.reason;
        return load;
    }
    return parseIntelHex(text.bytes.constData(), size_t(text.bytes.size()), hardwareVersion);
}

ServiceFields headerFieldsOf(const DeviceRecord &record, const Calibration &c)
{
    return {serialText(record), c.koefX, c.offsX, c.koefY, c.offsY, c.koefZ, c.offsZ, c.koefM, record.deviceInfo};
}

void writeServiceHeader(std::vector<uint8_t> &image, const ServiceFields &f)
{
    constexpr size_t At = 0x200;
    // The last four characters of the serial number, right-aligned, '0' in front.
    const std::string serial = f.serial.size() > 4 ? f.serial.substr(f.serial.size() - 4) : f.serial;
    const std::string padded = std::string(4 - serial.size(), '0') + serial;
    std::copy(padded.begin(), padded.end(), image.begin() + At);
    const int values[] = {f.koefX, f.offsX, f.koefY, f.offsY, f.koefZ, f.offsZ, f.koefM, f.deviceInfo};
    for (size_t i = 0; i < std::size(values); ++i)
        image[At + 4 + i] = uint8_t(values[i] & 0xFF);
}
