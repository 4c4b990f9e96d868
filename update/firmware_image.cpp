#include "firmware_image.h"

#include <QFile>

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
