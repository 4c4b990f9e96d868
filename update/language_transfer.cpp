#include "language_transfer.h"
#include "block_transfer.h"
#include "clock.h"
#include "discovery.h"
#include "handshake.h"
#include "identity_check.h"
#include "payload_file.h"
#include "protocol.h"
#include "readout.h"
#include "run_events.h"
#include "session.h"
#include "transfer_plan.h"
#include "usb_connection.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <vector>

namespace {

constexpr int Attempts = 200;           // at least 100 s for the device's restart
constexpr int AskDiscoveryFrom = 120;   // from about a minute on, the device may have a new path
constexpr int AskDiscoveryEvery = 10;
constexpr int GiveUpWithoutDeviceFrom = 180;

// What ended the table's transfer, by its message.
struct TableFailure {
    MessageId id;
    std::string text;
};

[[noreturn]] void fail(MessageId id, std::string text = {})
{
    throw TableFailure {id, text.empty() ? messageText(id) : std::move(text)};
}

class TableRun {
public:
    TableRun(Session &s, RunListener &events, Clock &clock, const QByteArray &table)
        : s_(s), tell_(events), clock_(clock), table_(table), link_(*s.link), plan_(tableTransferPlan(table.size()))
    {
    }

    void run()
    {
        clock_.wait(Wait::BeforeTableMs);
        tell_.writing(true);
        tell_.stage(ProgressStage::TableConnect, "Connect...");
        pump();
        reconnect();
        readStatus();
        tell_.stage(ProgressStage::TableSend, "Send languages");
        tell_.progress(0);
        pump();
        announce();
        sendBlocks();
        uint8_t scratch[4];
        link_.read(scratch, 4);
        link_.sendCommand(Cmd::Leave);
        link_.read(scratch, 4);
        link_.close();
    }

    // The device went away under the line opened to it: whichever step noticed, it is lost,
    // whatever that step took its silence for.
    bool deviceLost() const { return reconnected_ && link_.deviceLost(); }
    // Who answered in its place, when another device did.
    const std::optional<DeviceRecord> &otherDevice() const { return otherDevice_; }

private:
    void pump()
    {
        clock_.pump();
        if (s_.stopRequested)
            fail(MessageId::Stopped);
    }

    bool open(const std::string &candidate)
    {
        if (!candidate.empty())
            return link_.openComPort(candidate, false);
        // The converter list holds every USB device: the docking station is found by name again.
        return link_.openFtdi(findFtdiDevice(link_.ftdiLibrary(), DockingStationDescription), false);
    }

    void reconnect()
    {
        std::string candidate = s_.portPath;
        for (int counter = 0; !link_.isOpen() && counter < Attempts;) {
            clock_.wait(Wait::ReopenGapMs);
            if (open(candidate) && greetAfterReopen(link_)) {
                // Whatever path it answers at, only the device just updated may get its table.
                DeviceRecord answered;
                const Answerer found = whoAnswers(link_, s_.record, answered);
                if (found == Answerer::Planned) {
                    s_.portPath = candidate;
                    reconnected_ = true;
                    break;
                }
                sayGoodbye(link_); // the other device goes back to its own business
                link_.close();
                // Another device holds its place: asking it again and again would only
                // pester that one, and the operator has to tell the two apart anyway.
                if (found == Answerer::Other && candidate == s_.portPath) {
                    otherDevice_ = answered;
                    fail(MessageId::TableOtherDevice);
                }
                candidate = s_.portPath; // elsewhere, it was a neighbour: look on
            }
            tell_.progress(std::min(counter / 2, 100));
            pump();
            ++counter;
            if (!candidate.empty() && counter >= AskDiscoveryFrom && counter % AskDiscoveryEvery == 0) {
                candidate = s_.findPort ? s_.findPort() : findInterfacePath(deviceUsbId());
                if (candidate.empty()) {
                    if (counter >= GiveUpWithoutDeviceFrom)
                        break;
                    candidate = s_.portPath;
                }
            }
        }
        if (!link_.isOpen())
            fail(MessageId::TableReconnectLost);
    }

    void readStatus()
    {
        ::drain(link_, 4, Wait::DrainMs);
        uint8_t status = DeviceRecord::NoStatus, byte = 0;
        if (link_.sendCommand(Cmd::StatusShort) && link_.read(&byte, 1))
            status = byte;
        ::drain(link_, 4, Wait::SettleDrainMs);
        if (status == DeviceRecord::NoStatus)
            fail(MessageId::StatusMissing);
    }

    void announce()
    {
        if (!link_.sendCommand(plan_.command))
            fail(MessageId::TableNoEcho);
        uint8_t scratch[2];
        int heard = 0;
        link_.readWithTimeout(scratch, 2, &heard, Wait::RefusalListenMs);
        if (heard > 0)
            fail(MessageId::TableRefused);
        const std::vector<uint8_t> count = plan_.countBytes();
        link_.write(count.data(), int(count.size()));
        uint8_t answer = 0;
        if (!link_.read(&answer, 1) || answer != Reply::Marker)
            fail(MessageId::TableCountRefused);
    }

    void sendBlocks()
    {
        const int size = plan_.blockSize;
        std::vector<uint8_t> block(static_cast<size_t>(size));
        for (int j = 0; j < plan_.blockCount; ++j) {
            // A short last block is padded with zeros.
            const qsizetype from = qsizetype(j) * size, n = std::min<qsizetype>(size, table_.size() - from);
            std::fill(block.begin(), block.end(), 0);
            std::memcpy(block.data(), table_.constData() + from, size_t(n));
            const BlockOutcome outcome = sendBlockAcknowledged(link_, block.data(), size);
            if (const BlockFailure f = blockFailure(outcome, BlockPayload::Table); f.failed())
                fail(f.id, f.text);
            clock_.wait(Wait::AfterBlockMs);
            tell_.progress((j + 1) * 100 / plan_.blockCount);
            pump();
        }
    }

    Session &s_;
    RunListener &tell_;
    Clock &clock_;
    const QByteArray &table_;
    UsbConnection &link_;
    const TransferPlan plan_;
    bool reconnected_ = false; // the line is open to this device again
    std::optional<DeviceRecord> otherDevice_;
};

} // namespace

TableResult sendLanguageTable(Session &session, RunListener &events, Clock &clock, const std::string &tablePath,
                              std::string *skippedBecause)
{
    // Missing, empty or more blocks than the count's two bytes hold: nothing to send (the
    // build refuses such a carried table, the command line a given one before it starts).
    const PayloadFile table = readPayloadFile(tablePath, PayloadKind::Table);
    if (!table.ok()) {
        if (skippedBecause)
            *skippedBecause = tablePath + ": " + table.reason;
        return {TableOutcome::Skipped};
    }
    TableFailure failure {MessageId::None, {}};
    TableRun run(session, events, clock, table.bytes);
    bool lost = false;
    try {
        run.run();
    } catch (const TableFailure &ended) {
        failure = ended;
        lost = ended.id != MessageId::Stopped && run.deviceLost();
    } catch (const std::exception &error) {
        failure = {MessageId::SystemError, error.what()};
    } catch (...) {
        failure = {MessageId::TableUnknownFailure, messageText(MessageId::TableUnknownFailure)};
    }
    if (failure.id == MessageId::None) {
        const RunMessage sent = RunMessage::of(MessageId::FirmwareAndTableSent);
        events.message(sent);
        return {TableOutcome::Sent, sent.id, sent.text};
    }
    session.link->close();
    events.writing(false);
    events.holding(false);
    // The step's message stays; a device that went away is explained as lost.
    RunMessage said = RunMessage::of(failure.id, failure.text);
    said.explainedBy = lost ? MessageId::TableDeviceLost : failure.id;
    events.message(said);
    const TableOutcome outcome = failure.id == MessageId::Stopped ? TableOutcome::Stopped
                                 : lost                           ? TableOutcome::Lost
                                                                  : TableOutcome::Failed;
    return {outcome, failure.id, failure.text, run.otherDevice()};
}
