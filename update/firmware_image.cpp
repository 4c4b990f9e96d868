#include "firmware_image.h"
#include "payload_file.h"

ImageLoad loadFirmwareImage(int hardwareVersion, const std::string &path)
{
    const std::string from = path.empty() ? std::string(":/FIRMWARE_HEX") : path;
    const PayloadFile text = readPayloadFile(from, PayloadKind::Firmware);
    if (!text.ok()) {
        ImageLoad load;
        load.message = text.readFailed ? "Cannot read Intel-Hex file" : "Hex-File cannot open!";
        load.reason = from + ": " + text.reason;
        return load;
    }
    return parseIntelHex(text.bytes.constData(), size_t(text.bytes.size()), hardwareVersion);
}
