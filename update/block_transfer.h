#pragma once
#include "operator_messages.h"

#include <cstdint>
#include <string>

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

// Which payload a block belongs to: each has its own messages for a block not taken.
enum class BlockPayload { Firmware, Table };

// What a block not taken says to the operator: its message, the text with the device's error
// code in it, and whether the device refused it outright. No message for a block taken.
struct BlockFailure {
    MessageId id = MessageId::None;
    std::string text;
    bool refused = false;
    bool failed() const { return id != MessageId::None; }
};
BlockFailure blockFailure(const BlockOutcome &outcome, BlockPayload payload);
