#pragma once
#include <cstdint>

class UsbConnection;

// What the device said to a block.
enum class BlockVerdict {
    Taken,
    Rejected, // it answered with an error code
    Refused,  // it refused the block outright
    NoAnswer, // it said nothing within four short listens
    NotTaken, // it asked for the block again on every send
};

struct BlockOutcome {
    BlockVerdict verdict = BlockVerdict::Taken;
    uint8_t code = 0; // the device's error code when Rejected (0 when it did not come)
};

// One block to the device with its check byte, until the device takes it: up to three
// sends, each answered within four short listens.
BlockOutcome sendBlockAcknowledged(UsbConnection &link, const uint8_t *block, int size);
