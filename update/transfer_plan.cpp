#include "transfer_plan.h"
#include "payload_file.h"
#include "protocol.h"

namespace {
constexpr int Choose512Above1K = 30;  // small devices take 512-byte blocks for larger images
constexpr int FallbackLimit1K = 16;   // the fallback transfer takes at most this many blocks
} // namespace

std::vector<uint8_t> TransferPlan::countBytes() const
{
    if (countWidth == 2)
        return {uint8_t(blockCount >> 8), uint8_t(blockCount & 0xFF)};
    if (countWidth == 1)
        return {uint8_t(blockCount & 0xFF)};
    return {};
}

BlockCounts firmwareBlockCounts(uint32_t length)
{
    return {int((uint64_t(length) + LargeBlock - 1) / LargeBlock), int((uint64_t(length) + SmallBlock - 1) / SmallBlock)};
}

TransferPlan firmwareTransferPlan(uint32_t length, int hardwareVersion)
{
    const BlockCounts blocks = firmwareBlockCounts(length);
    if (hardwareVersion > LastSmallHardware)
        return {Cmd::Transfer512Wide, SmallBlock, blocks.of512, 2};
    if (blocks.of1K > Choose512Above1K)
        return {Cmd::Transfer512, SmallBlock, blocks.of512, 1};
    return {Cmd::Transfer1K, LargeBlock, blocks.of1K, 1};
}

std::optional<TransferPlan> firmwareFallbackPlan(uint32_t length)
{
    const BlockCounts blocks = firmwareBlockCounts(length);
    if (blocks.of1K > FallbackLimit1K)
        return std::nullopt;
    return TransferPlan {Cmd::Transfer1KNoCount, LargeBlock, blocks.of1K, 0};
}

TransferPlan tableTransferPlan(int64_t length)
{
    return {Cmd::Language, TableBlockSize, int((length + TableBlockSize - 1) / TableBlockSize), 2};
}
