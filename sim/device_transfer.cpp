// The device's side of the update: erase, the firmware blocks, the read-back, the
// comparison, and the translation table.
#include "device_model.h"
#include "device_bytes.h"

namespace {

using namespace DeviceByte;
constexpr uint8_t Accepted = 0x80, ReadAgain = 0x81, Error = 0xF0, Fatal = 0xFF;
constexpr uint8_t ErrorCode = 0x2A;        // what block-error reports
constexpr uint8_t Refusal = 0xFF;          // the byte that refuses a transfer command
constexpr int OpenEndedMaxBlocks = 16;     // the open-ended transfer takes at most this many
constexpr int TableBlockSize = 512;
constexpr int TrickleGapMs = 900;          // readback-trickle: one byte at this pace
constexpr int TrickleBytes = 200;

uint8_t xorOf(const uint8_t *data, size_t n)
{
    uint8_t x = 0;
    for (size_t i = 0; i < n; ++i)
        x ^= data[i];
    return x;
}

} // namespace

void DeviceModel::startErase(int64_t t)
{
    image_.clear();
    confirmed_ = false;
    const auto &progress = config_.eraseProgress;
    pullIf("pull-during-erase", -1, t + 3 * config_.eraseStepMs);
    for (size_t i = 0; i < progress.size(); ++i) {
        const int64_t at = t + int64_t(i) * config_.eraseStepMs;
        if (hasFault("erase-stall", -1) && i >= 4)
            return;
        if (hasFault("erase-fail", -1) && i == 3) {
            queueOut({Fatal}, at);
            return;
        }
        queueOut({progress[i]}, at);
    }
    const uint8_t status = hasFault("erase-bad-status", -1) ? 0 : config_.eraseStatus;
    queueOut({status}, t + int64_t(progress.size()) * config_.eraseStepMs);
}

void DeviceModel::openTransfer(uint8_t command, int64_t t)
{
    if (hasFault("refuse-transfer", command)) {
        queueOut({Refusal}, t);
        return;
    }
    transferCommand_ = command;
    blockSize_ = command == Transfer1KNoCount || command == Transfer1K ? 1024 : 512;
    blockIndex_ = 0;
    sends_ = 0;
    image_.clear();
    inbox_.clear();
    if (command == Transfer1KNoCount) {
        blocks_ = -1;
        mode_ = Mode::Blocks;
        openEndAt_ = t + OpenEndedGapMs;
    } else {
        mode_ = Mode::Count;
    }
}

void DeviceModel::openTable(int64_t t)
{
    if (hasFault("refuse-language", -1)) {
        queueOut({Refusal}, t);
        return;
    }
    table_.clear();
    tableBlocks_ = 0;
    blockIndex_ = 0;
    sends_ = 0;
    inbox_.clear();
    mode_ = Mode::TableCount;
}

void DeviceModel::takeData(uint8_t byte, int64_t t)
{
    switch (mode_) {
    case Mode::ReadBack:
        takeReadBackAnswer(byte, t);
        return;
    case Mode::Compare:
        takeComparison(byte, t);
        return;
    default:
        break;
    }
    inbox_.push_back(byte);
    const size_t need = mode_ == Mode::Count ? (transferCommand_ == Transfer512Wide ? 2 : 1)
                        : mode_ == Mode::TableCount ? 2
                        : mode_ == Mode::TableBlocks ? TableBlockSize + 1
                                                     : size_t(blockSize_) + 1;
    if (inbox_.size() < need)
        return;
    if (mode_ == Mode::Count || mode_ == Mode::TableCount)
        takeCount(t);
    else
        takeBlock(t);
    inbox_.clear();
}

void DeviceModel::takeCount(int64_t t)
{
    const int count = inbox_.size() == 2 ? (inbox_[0] << 8) | inbox_[1] : inbox_[0];
    if (mode_ == Mode::Count) {
        blocks_ = count;
        mode_ = count > 0 ? Mode::Blocks : Mode::Command;
        return;
    }
    tableBlocks_ = count;
    queueOut({hasFault("language-count-reject", -1) ? SendAgain : Marker}, t);
    mode_ = hasFault("language-count-reject", -1) || count == 0 ? Mode::Command : Mode::TableBlocks;
}

void DeviceModel::takeBlock(int64_t t)
{
    const bool table = mode_ == Mode::TableBlocks;
    const size_t size = inbox_.size() - 1;
    const bool xorGood = xorOf(inbox_.data(), size) == inbox_.back();
    ++sends_;
    pullIf(table ? "pull-on-table-block" : "pull-on-block", blockIndex_, t);
    verdict(table, blockIndex_, xorGood, t);
}

void DeviceModel::verdict(bool table, int index, bool xorGood, int64_t t)
{
    const std::string p = table ? "language-" : "";
    auto fault = [&](const char *name) { return hasFault(p + name, index); };
    if (fault("block-silent"))
        return;
    if (fault("block-fatal")) {
        queueOut({Fatal}, t);
        mode_ = Mode::Command;
        return;
    }
    if (fault("block-error") || fault("block-error-nocode")) {
        queueOut(fault("block-error") ? std::vector<uint8_t> {Error, ErrorCode, 0x00} : std::vector<uint8_t> {Error}, t);
        mode_ = Mode::Command;
        return;
    }
    if (!xorGood || fault("block-nak-always") || (fault("block-nak") && sends_ <= 2)) {
        queueOut({SendAgain}, t);
        return;
    }
    queueOut({Accepted}, fault("block-late") ? t + LateVerdictMs : t);
    std::vector<uint8_t> &store = table ? table_ : image_;
    store.insert(store.end(), inbox_.begin(), inbox_.end() - 1);
    ++blockIndex_;
    sends_ = 0;
    if (table) {
        if (blockIndex_ >= tableBlocks_)
            mode_ = Mode::Command;
        return;
    }
    if (blocks_ < 0) {
        openEndAt_ = t + OpenEndedGapMs;
        if (blockIndex_ < OpenEndedMaxBlocks)
            return;
    } else if (blockIndex_ < blocks_) {
        return;
    }
    openEndAt_.reset();
    blockIndex_ = 0;
    mode_ = Mode::ReadBack;
    sendReadBack(t, false);
}

void DeviceModel::settleTimers(int64_t nowMs)
{
    if (openEndAt_ && nowMs >= *openEndAt_ && mode_ == Mode::Blocks && inbox_.empty()) {
        const int64_t t = *openEndAt_;
        openEndAt_.reset();
        blockIndex_ = 0;
        mode_ = Mode::ReadBack;
        if (!image_.empty())
            sendReadBack(t, false);
        else
            mode_ = Mode::Command;
    }
}

void DeviceModel::sendReadBack(int64_t t, bool again)
{
    const int index = blockIndex_;
    pullIf("pull-on-readback", index, t);
    if (hasFault("flood-on-readback", index)) {
        floodSince_ = t;
        return;
    }
    const size_t at = size_t(index) * size_t(blockSize_);
    std::vector<uint8_t> block(image_.begin() + long(at), image_.begin() + long(at + size_t(blockSize_)));
    auto fault = [&](const char *name) { return !again && hasFault(name, index); };
    if (hasFault("readback-silent", -1) || (index > 0 && hasFault("readback-stall", -1)))
        return;
    if (fault("readback-corrupt"))
        block[block.size() / 2] ^= 0x01;
    uint8_t x = xorOf(block.data(), block.size());
    if (fault("readback-trickle")) {
        for (int i = 0; i < TrickleBytes; ++i)
            queueOut({block[size_t(i) % block.size()]}, t + int64_t(i + 1) * TrickleGapMs);
        return;
    }
    if (fault("readback-short")) {
        block.resize(block.size() / 2);
        queueOut(block, t);
        return;
    }
    if (fault("readback-bad-xor"))
        x ^= 0xFF;
    queueOut(block, t);
    if (!fault("readback-no-xor"))
        queueOut({x}, t);
}

void DeviceModel::takeReadBackAnswer(uint8_t answer, int64_t t)
{
    if (answer == ReadAgain) {
        sendReadBack(t, true);
        return;
    }
    if (answer != Accepted)
        return;
    ++blockIndex_;
    if (size_t(blockIndex_) * size_t(blockSize_) < image_.size()) {
        sendReadBack(t, false);
        return;
    }
    mode_ = Mode::Compare;
}

void DeviceModel::takeComparison(uint8_t result, int64_t t)
{
    mode_ = Mode::Command;
    pullIf("pull-on-compare", -1, t);
    if (hasFault("confirm-silent", -1))
        return;
    const bool confirm = result == 0 && !hasFault("confirm-refuse", -1);
    queueOut({uint8_t(confirm ? 1 : 0)}, t);
    confirmed_ = confirm;
    if (confirm && config_.restartAfterUpdate)
        resetAt_ = t + RestartAfterConfirmMs;
}
