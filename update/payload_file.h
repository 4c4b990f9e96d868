#pragma once
#include "transfer_plan.h"

#include <QByteArray>
#include <string>

// The payloads the program carries inside itself, and whether a path names one of them.
inline constexpr const char *CarriedFirmware = ":/FIRMWARE_HEX";
inline constexpr const char *CarriedTable = ":/LANGUAGE_TRA";
inline bool isCarried(const std::string &path)
{
    return path.rfind(":/", 0) == 0;
}

// The translation table goes in the small blocks, and their count travels in two bytes.
inline constexpr int TableBlockSize = SmallBlock;
inline constexpr int MaxTableBlocks = 0xFFFF;

// The firmware's HEX text for the largest memory (0xF0000 bytes) is about 2.8 MB at 16 data
// bytes a line and under 15 MB even at one byte a line: more than this is no firmware.
inline constexpr qint64 MaxFirmwareTextBytes = qint64(16) << 20;

enum class PayloadKind { Firmware, Table };

// A translation table begins with these four bytes; the device takes anything else as its
// menu texts all the same, so a wrong file is caught before it is sent.
inline constexpr char TableMagic[] = "LANG";
// Why these bytes are no translation table; empty when they begin as one.
std::string tableFormatProblem(const QByteArray &bytes);

struct PayloadFile {
    QByteArray bytes;
    std::string reason; // why it cannot be used ("not found", "not a regular file", ...); empty when fine
    bool readFailed = false; // it was opened, but reading it failed
    bool ok() const { return reason.empty(); }
};

// Reads a firmware text or a translation table whole: a regular file only, opened without
// waiting (a FIFO or a device never holds the program up), its size checked against the
// kind's limit before a byte is read, and never more read than that limit. ":/" paths are
// the carried resources.
PayloadFile readPayloadFile(const std::string &path, PayloadKind kind);
