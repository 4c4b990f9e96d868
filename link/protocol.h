#pragma once
#include <cstdint>

// Command bytes. Every command is one byte that the device echoes before anything else.
namespace Cmd {
constexpr uint8_t Erase = 0x51;           // clear the memory; progress bytes follow
constexpr uint8_t BatteryExtended = 0x5A; // 0xAA, N, N big-endian words, 1 spare byte
constexpr uint8_t BatteryRaw = 0x65;      // one big-endian raw reading, 1 spare byte
constexpr uint8_t DeviceInfo = 0x66;      // 14-byte identity record, optional status byte
constexpr uint8_t Calibration = 0x68;     // 8 bytes of coefficients and offsets
constexpr uint8_t Leave = 0x70;           // the program is done with the device
constexpr uint8_t Reset = 0x71;           // the device restarts and leaves the link
constexpr uint8_t Transfer1KNoCount = 0x75;
constexpr uint8_t Transfer1K = 0x76;
constexpr uint8_t Transfer512 = 0x77;
constexpr uint8_t Transfer512Wide = 0x78;
constexpr uint8_t Start = 0x90;           // opens an exchange; one reply byte
constexpr uint8_t Probe = 0xB0;           // only the echo matters; always sent single
constexpr uint8_t Language = 0xCA;        // translation table transfer
constexpr uint8_t Status = 0xE0;          // one status byte, 0xFF = none
constexpr uint8_t StatusShort = 0xEE;     // one status byte; single in the connect handshake
} // namespace Cmd

// Bytes that answer rather than command.
namespace Reply {
constexpr uint8_t Accepted = 0x80;   // block taken (both directions)
constexpr uint8_t SendAgain = 0x81;  // program asks the device to repeat a read-back block
constexpr uint8_t Error = 0xF0;      // an error code byte follows
constexpr uint8_t Fatal = 0xFF;      // refused or failed; also "no status"
constexpr uint8_t Marker = 0xAA;     // battery reply marker; acceptance of the table count
} // namespace Reply

namespace Wait {
constexpr int StandingReadMs = 1000;  // echoes and fixed replies
constexpr int TtyListenMs = 500;      // the tty road's short reads listen this long, whatever is asked
constexpr int TtyWriteMs = 800;       // one write call may take this long on the tty road
constexpr int FtdiWriteMs = 800;      // FTDI write time-out at open
constexpr int FtdiShortWriteMs = 500; // FTDI write time-out once a short read has been made
constexpr int AfterOpenMs = 50;       // the device settles after the line is opened
constexpr int AfterReopenMs = 200;    // a device back from its restart settles after the line is opened again
constexpr int TtyConfigMs = 100;      // between configuring the port and sizing its queues
constexpr int BetweenDoubledMs = 5;   // between the two halves of a doubled command
constexpr int DrainMs = 100;          // swallow stale bytes before a command whose echo matters
constexpr int ProbeGapMs = 10;        // before the 0xB0 probes of the connect handshake
constexpr int RunStartDrainMs = 200;  // the run's first drain: the last poll's reply may still be on its way
constexpr int ReopenGapMs = 500;      // between attempts to reopen a restarting device (reset, table reconnect)
constexpr int ErasePollMs = 200;      // between reads of the erase's progress bytes
constexpr int AfterEraseMs = 200;     // the device finishes the erase before it listens again
constexpr int SettleDrainMs = 500;    // stale bytes after a step that leaves the device talking (erase, table status)
constexpr int RefusalListenMs = 10;   // a byte this soon after a transfer command refuses it
constexpr int BeforeVerdictMs = 50;   // the device checks the block before it answers
constexpr int VerdictListenMs = 500;  // one of the four listens for a block's verdict
constexpr int ErrorCodeListenMs = 100; // the error code follows its 0xF0 at once
constexpr int AfterBlockMs = 100;     // the device stores a taken block before the next comes
constexpr int BeforeVerifyMs = 100;   // the device turns from taking blocks to sending them back
constexpr int BeforeReadBackMs = 20;  // before each block the device sends back
constexpr int AfterConfirmMs = 250;   // the device confirms its firmware before the spare byte comes
constexpr int BeforeTableMs = 500;    // the device starts its restart after confirming the firmware
constexpr int BeforeCalibrationMs = 200; // the device needs a moment after its identity before its calibration
constexpr int BatteryHeadMs = 100;    // the battery marker and count come at once or not at all
} // namespace Wait

// How often the monitoring asks the device: the host's own timer, not a wait for a reply.
namespace Poll {
constexpr int ConnectedMs = 10'000;   // a device on line, its battery shown
constexpr int RetryMs = 5'000;        // no battery reading, or one held back
constexpr int AfterOkMs = 1'000;      // the operator says the device is plugged in now
} // namespace Poll

namespace Line {
constexpr int FtdiBaud = 460800;
constexpr int FtdiLatencyMs = 5;
constexpr int FtdiReadChunk = 2048;
constexpr int TtyPiece = 64;          // the tty road moves at most this much per system call
} // namespace Line

// The check byte of a block: XOR of all its bytes, from 0.
inline uint8_t blockXor(const uint8_t *data, int length)
{
    uint8_t x = 0;
    for (int i = 0; i < length; ++i)
        x ^= data[i];
    return x;
}
