#pragma once
#include <cstdint>
#include <string>

#include "abort.h"

class UsbConnection;

// The device refused the block outright (".1"), rather than not taking it.
class BlockRefused : public Abort {
public:
    using Abort::Abort;
};

// One block to the device with its check byte, until the device takes it: up to three
// sends, each answered within four short listens. Raises Abort with `what` followed by
// ".2" (no answer), ". (0xNN)" (the device's error code), ".1" (refused) or ".3" (never
// taken).
void sendBlockAcknowledged(UsbConnection &link, const uint8_t *block, int size, const std::string &what);
