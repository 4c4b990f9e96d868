#include "language_transfer.h"
#include "abort.h"
#include "block_transfer.h"
#include "clock.h"
#include "discovery.h"
#include "handshake.h"
#include "payload_file.h"
#include "protocol.h"
#include "readout.h"
#include "run_screen.h"
#include "session.h"
#include "update_run.h"
#include "usb_connection.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <vector>

namespace {

constexpr int BlockSize = TableBlockSize;
constexpr int BeforeReconnectMs = 500;
constexpr int Attempts = 200;           // at least 100 s for the device's restart
constexpr int AttemptGapMs = 500;
constexpr int AskDiscoveryFrom = 120;   // from about a minute on, the device may have a new path
constexpr int AskDiscoveryEvery = 10;
constexpr int GiveUpWithoutDeviceFrom = 180;
constexpr int RefusalListenMs = 10;
constexpr int AfterBlockMs = 100;

class TableRun {
public:
    TableRun(Session &s, RunScreen &screen, Clock &clock, const QByteArray &table)
        : s_(s), screen_(screen), clock_(clock), table_(table), link_(*s.link)
    {
    }

    void run()
    {
        clock_.wait(BeforeReconnectMs);
        screen_.showProgress();
        screen_.progressCaption(ProgressStage::TableConnect, "Connect...");
        pump();
        reconnect();
        readStatus();
        screen_.progressCaption(ProgressStage::TableSend, "Send languages");
        screen_.setProgress(0);
        pump();
        announce();
        sendBlocks();
        uint8_t scratch[4];
        link_.read(scratch, 4);
        link_.sendCommand(Cmd::Leave, link_.doubled());
        link_.read(scratch, 4);
        link_.close();
    }

private:
    void pump()
    {
        clock_.pump();
        if (s_.stopRequested)
            throw Abort(StoppedByOperator);
    }

    bool open(const std::string &candidate)
    {
        if (!candidate.empty())
            return link_.openComPort(candidate, false);
        // The converter list holds every USB device: the docking station is found by name again.
        return link_.openFtdi(findFtdiDevice(link_.ftdiLibrary(), DockingStationDescription), false);
    }

    // The device found under a new path must be the one just updated.
    bool sameDevice()
    {
        ::drain(link_, 4, 100);
        DeviceRecord fresh;
        if (!readDeviceRecord(link_, fresh))
            return false;
        return fresh.hardwareVersion == s_.record.hardwareVersion &&
               std::memcmp(fresh.serialNumber, s_.record.serialNumber, sizeof fresh.serialNumber) == 0;
    }

    void reconnect()
    {
        std::string candidate = s_.portPath;
        for (int counter = 0; !link_.isOpen() && counter < Attempts;) {
            clock_.wait(AttemptGapMs);
            if (open(candidate) && greetAfterReopen(link_)) {
                if (candidate == s_.portPath)
                    break;
                if (sameDevice()) {
                    s_.portPath = candidate;
                    break;
                }
                candidate = s_.portPath;
                link_.close();
            }
            screen_.setProgress(counter / 2);
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
            throw Abort("Cannot connect to device for Language update. Please try again.");
    }

    void readStatus()
    {
        ::drain(link_, 4, 100);
        uint8_t status = 0xFF, byte = 0;
        if (link_.sendCommand(Cmd::StatusShort, link_.doubled()) && link_.read(&byte, 1))
            status = byte;
        ::drain(link_, 4, 500);
        if (status == 0xFF)
            throw Abort("Device status cannot receive");
    }

    void announce()
    {
        if (!link_.sendCommand(Cmd::Language, link_.doubled()))
            throw Abort("Error by senden Language.6");
        uint8_t scratch[2];
        int heard = 0;
        link_.readWithTimeout(scratch, 2, &heard, RefusalListenMs);
        if (heard > 0)
            throw Abort("Error by senden Language.5");
        blocks_ = int((table_.size() + BlockSize - 1) / BlockSize);
        const uint8_t count[2] = {uint8_t(blocks_ >> 8), uint8_t(blocks_ & 0xFF)};
        link_.write(count, 2);
        uint8_t answer = 0;
        if (!link_.read(&answer, 1) || answer != Reply::Marker)
            throw Abort("Error by senden Language.4");
    }

    void sendBlocks()
    {
        std::vector<uint8_t> block(BlockSize);
        for (int j = 0; j < blocks_; ++j) {
            // A short last block is padded with zeros.
            const qsizetype from = qsizetype(j) * BlockSize, n = std::min<qsizetype>(BlockSize, table_.size() - from);
            std::fill(block.begin(), block.end(), 0);
            std::memcpy(block.data(), table_.constData() + from, size_t(n));
            sendBlockAcknowledged(link_, block.data(), BlockSize, "Error by senden Language");
            clock_.wait(AfterBlockMs);
            screen_.setProgress((j + 1) * 100 / blocks_);
            pump();
        }
    }

    Session &s_;
    RunScreen &screen_;
    Clock &clock_;
    const QByteArray &table_;
    UsbConnection &link_;
    int blocks_ = 0;
};

} // namespace

TableOutcome sendLanguageTable(Session &session, RunScreen &screen, Clock &clock, const std::string &tablePath,
                               std::string *skippedBecause)
{
    // Missing, empty or more blocks than the count's two bytes hold: nothing to send (the
    // build refuses such a carried table, the command line a given one before it starts).
    const PayloadFile table = readPayloadFile(tablePath, PayloadKind::Table);
    if (!table.ok()) {
        if (skippedBecause)
            *skippedBecause = tablePath + ": " + table.reason;
        return TableOutcome::Skipped;
    }
    std::string failure;
    try {
        TableRun(session, screen, clock, table.bytes).run();
    } catch (const Abort &abort) {
        failure = abort.message();
    } catch (const std::exception &error) {
        failure = error.what();
    } catch (...) {
        failure = "Error by senden Language: unknown failure";
    }
    if (failure.empty()) {
        screen.message("Update and Language sended success!");
        return TableOutcome::Sent;
    }
    session.link->close();
    screen.closeProgress();
    screen.setBusy(false);
    screen.failure(failure);
    return failure == StoppedByOperator ? TableOutcome::Stopped : TableOutcome::Failed;
}
