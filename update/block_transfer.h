#pragma once
#include <cstdint>
#include <string>

class UsbConnection;

// One block to the device with its check byte, until the device takes it: up to three
// sends, each answered within four short listens. Raises Abort with `what` followed by
// ".2" (no answer), ". (0xNN)" (the device's error code), ".1" (refused) or ".3" (never
// taken).
void sendBlockAcknowledged(UsbConnection &link, const uint8_t *block, int size, const std::string &what);
