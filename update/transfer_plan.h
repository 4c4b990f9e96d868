#pragma once
#include <cstdint>
#include <optional>
#include <vector>

#include "device_record.h"

// The two block sizes the device takes.
inline constexpr int SmallBlock = 512, LargeBlock = 1024;

// How a payload goes to the device: the command that opens the transfer, the size of its
// blocks, how many there are, and how many bytes of that count follow the command.
struct TransferPlan {
    uint8_t command = 0;
    int blockSize = 0;
    int blockCount = 0;
    int countWidth = 0; // 0 (no count), 1 (its low byte) or 2 (big-endian)

    // The count as it follows the command.
    std::vector<uint8_t> countBytes() const;
};

// The image's length in blocks of 1024 and of 512 bytes, a short last block counted whole.
struct BlockCounts {
    int of1K = 0;
    int of512 = 0;
};
BlockCounts firmwareBlockCounts(uint32_t length);

// The firmware's transfer to a device of this hardware version: the larger devices take
// 512-byte blocks with a two-byte count, the small ones 1K blocks unless the image is too
// large for a one-byte count of them.
TransferPlan firmwareTransferPlan(uint32_t length, int hardwareVersion);

// When the device refuses the planned transfer, a small image may still go in 1K blocks
// without a count; nothing for a larger one.
std::optional<TransferPlan> firmwareFallbackPlan(uint32_t length);

// The translation table's transfer: 512-byte blocks (a short last one padded with zeros),
// the count in two bytes.
TransferPlan tableTransferPlan(int64_t length);

