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

// The line was opened again after the device's restart (the update's reset, the table's
// reconnect): the device settles, stale bytes go, and the 0xB0 probe says whether it is on
// line. The line is closed again when it is not.
bool greetAfterReopen(UsbConnection &link);

// The goodbye when the program lets the device go (the window closes, the command line is
// done or stopped): what it still had to say is read, then 0x70, whose echo is read when it
// came. The device goes back to its own business. Nothing when the line is closed.
void sayGoodbye(UsbConnection &link);

// Reads and forgets up to n stale bytes, listening at most ms.
void drain(UsbConnection &link, int n, int ms);
