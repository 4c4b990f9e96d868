#include "block_transfer.h"
#include "abort.h"
#include "clock.h"
#include "protocol.h"
#include "usb_connection.h"

#include <cstdio>

namespace {
constexpr int Sends = 3;
constexpr int Listens = 4;
constexpr int BeforeVerdictMs = 50; // the device checks the block before it answers
constexpr int VerdictListenMs = 500;
constexpr int ErrorCodeListenMs = 100;
} // namespace

void sendBlockAcknowledged(UsbConnection &link, const uint8_t *block, int size, const std::string &what)
{
    const uint8_t check = blockXor(block, size);
    for (int send = 0; send < Sends; ++send) {
        link.write(block, size);
        link.write(&check, 1);
        link.clock().wait(BeforeVerdictMs);
        uint8_t verdict = 0;
        bool answered = false;
        for (int listen = 0; listen < Listens && !answered; ++listen)
            answered = link.readWithTimeout(&verdict, 1, nullptr, VerdictListenMs);
        if (!answered)
            throw Abort(what + ".2");
        if (verdict == Reply::Accepted)
            return;
        if (verdict == Reply::Error) {
            uint8_t code = 0;
            if (!link.readWithTimeout(&code, 1, nullptr, ErrorCodeListenMs))
                code = 0;
            uint8_t spare;
            link.read(&spare, 1);
            char text[16];
            std::snprintf(text, sizeof text, ". (0x%02X)", code);
            throw Abort(what + text);
        }
        if (verdict == Reply::Fatal)
            throw BlockRefused(what + ".1");
        // Anything else asks for the block again.
    }
    throw Abort(what + ".3");
}
