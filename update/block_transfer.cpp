#include "block_transfer.h"
#include "clock.h"
#include "protocol.h"
#include "usb_connection.h"

namespace {
constexpr int Sends = 3;
constexpr int Listens = 4;
} // namespace

BlockOutcome sendBlockAcknowledged(UsbConnection &link, const uint8_t *block, int size)
{
    const uint8_t check = blockXor(block, size);
    for (int send = 0; send < Sends; ++send) {
        link.write(block, size);
        link.write(&check, 1);
        link.clock().wait(Wait::BeforeVerdictMs);
        uint8_t verdict = 0;
        bool answered = false;
        for (int listen = 0; listen < Listens && !answered; ++listen)
            answered = link.readWithTimeout(&verdict, 1, nullptr, Wait::VerdictListenMs);
        if (!answered)
            return {BlockVerdict::NoAnswer};
        if (verdict == Reply::Accepted)
            return {BlockVerdict::Taken};
        if (verdict == Reply::Error) {
            uint8_t code = 0;
            if (!link.readWithTimeout(&code, 1, nullptr, Wait::ErrorCodeListenMs))
                code = 0;
            uint8_t spare;
            link.read(&spare, 1);
            return {BlockVerdict::Rejected, code};
        }
        if (verdict == Reply::Fatal)
            return {BlockVerdict::Refused};
        // Anything else asks for the block again.
    }
    return {BlockVerdict::NotTaken};
}

BlockFailure blockFailure(const BlockOutcome &outcome, BlockPayload payload)
{
    const bool table = payload == BlockPayload::Table;
    BlockFailure f;
    switch (outcome.verdict) {
    case BlockVerdict::Taken: return f;
    case BlockVerdict::Rejected:
        f.id = table ? MessageId::TableBlockError : MessageId::FirmwareBlockError;
        f.text = messageText(f.id, outcome.code);
        return f;
    case BlockVerdict::Refused:
        f.id = table ? MessageId::TableBlockRefused : MessageId::FirmwareBlockRefused;
        f.refused = true;
        break;
    case BlockVerdict::NoAnswer: f.id = table ? MessageId::TableBlockNoAnswer : MessageId::FirmwareBlockNoAnswer; break;
    case BlockVerdict::NotTaken: f.id = table ? MessageId::TableBlockNotTaken : MessageId::FirmwareBlockNotTaken; break;
    }
    f.text = messageText(f.id);
    return f;
}
