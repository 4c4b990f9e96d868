#pragma once
#include <functional>

class UsbConnection;

// The connect handshake after every open: purge, drain, 0xEE single, drain, 0x90 (doubled
// on the FTDI road, tried twice), then one reply byte, or up to four 0xB0 probes with the
// event loop pumped between them. True when the device is on line.
bool connectHandshake(UsbConnection &link);

// The probe alone: 0xB0 single, up to four sends. With drains, each retry is preceded by a
// pump and a drain of 2 bytes (100 ms); without, `beforeRetry(r)` runs before retry r.
bool probeHandshake(UsbConnection &link, bool withDrains,
                    const std::function<void(int)> &beforeRetry = {});

// Reads and forgets up to n stale bytes, listening at most ms.
void drain(UsbConnection &link, int n, int ms);
