// The update run's failures against the device model in virtual time: before the transfer,
// in the firmware's transfer and in the table's, and in the window's poll; among them the
// device pulled out or babbling at every stage. What the operator is told, what the run comes
// to as data (the command line's exit status), that each ends within bounded time with the
// window's state sound, and that a device plugged back in is found and updated by a new click.
#include "outcome.h"
#include "protocol.h"
#include "table_rows.h"
#include "update_rig.h"

#include <QTest>
#include <sys/stat.h>

namespace {

using O = Outcome;
const std::string DeviceLine = "FW 67 from 19.10.21, SerialNr: 0042";

struct BeforeRow {
    const char *name, *situation, *message; // message empty: none
    bool asked = false, polledAgain = false, timerStopped = false;
};
// A fault set in the device model, what the operator is told and what the run comes to.
struct FaultRow {
    const char *name, *fault;
    int argument;
    const char *message; // in the table's rows, the table's message before the firmware's success
    Outcome outcome;
    bool mayBeWithoutFirmware = false; // the device's firmware may be gone
    QStringList diagnostics = {};
};
struct PollRow { const char *name, *fault; int argument; const char *line; };

QStringList texts(const std::vector<std::string> &from)
{
    QStringList all;
    for (const std::string &s : from)
        all << QString::fromStdString(s);
    return all;
}

// Sets the row's fault; the faults that are no fault of the model's are set by hand.
bool setFault(UpdateRig &rig, const FaultRow &row, const char *stopAt)
{
    DeviceModel &m = rig.device.model();
    const std::string fault = row.fault;
    if (fault == "throws" || fault == "stop")
        rig.clock.onPump = [&rig, fault, stopAt] {
            const std::string stage = rig.screen.captions.empty() ? "" : rig.screen.captions.back();
            if (fault == "throws" && stage == "Memory prepare - clear")
                throw std::bad_alloc();
            if (fault == "stop" && stage == stopAt)
                rig.session.stopRequested = true;
        };
    else if (fault == "another device after the reset") // renumbered, or the next unit swapped in
        rig.device.onReset = [&m] { m.config().identity.serial = "0999"; };
    else if (fault == "nobody says who after the reset")
        rig.device.onReset = [&m] { m.setFault("silence", true, Cmd::DeviceInfo); };
    else if (fault != "status 255")
        return m.setFault(fault, true, row.argument);
    return true;
}

} // namespace

class TestUpdateFailures : public QObject {
    Q_OBJECT
private slots:
    void beforeTheTransfer_data()
    {
        addRows<BeforeRow>({
            {"link closed", "closed", "Device is not connected!"},
            {"status 0, declined", "declined", "", true, true},
            {"status 0, confirmed", "confirmed", TableSuccess, true, false, true},
            {"no firmware", "no firmware", "Hex-File cannot open!"},
            {"firmware a FIFO", "fifo firmware", "Hex-File cannot open!"},
            {"broken record", "broken", "Error in Zeile 2. Checksumme error", false, false, true},
            {"no end record", "no end", "", false, false, true},
        });
    }
    void beforeTheTransfer()
    {
        QFETCH(BeforeRow, row);
        const QString situation = row.situation;
        DeviceModel::Config config;
        if (situation == "declined" || situation == "confirmed")
            config.identity.status = 0;
        UpdateRig rig(config);
        QVERIFY(rig.connect());
        const QByteArray image = imageBytes(600);
        rig.usePayloads(hexText(image), "LANG");
        rig.screen.confirmAnswer = situation != "declined";
        if (situation == "closed")
            rig.link.close();
        if (situation == "no firmware")
            rig.payloads.firmware = rig.dir.filePath("none.hex").toStdString();
        if (situation == "fifo firmware")
            QCOMPARE(::mkfifo((rig.payloads.firmware = rig.dir.filePath("fifo.hex").toStdString()).c_str(), 0600), 0);
        if (situation == "broken")
            rig.payloads.firmware = rig.write("broken.hex", hexText(image).replace(":10001000", ":10001001"));
        if (situation == "no end")
            rig.payloads.firmware = rig.write("noend.hex", hexText(image).replace(":00000001FF", ""));
        rig.run();
        QCOMPARE(rig.screen.messages.empty() ? QString() : QString::fromStdString(rig.screen.messages.back()),
                 QString(row.message));
        QCOMPARE(!rig.screen.confirms.empty(), row.asked);
        if (row.asked)
            QCOMPARE(rig.screen.confirms.front(),
                     std::string("Update|Make sure there is no untransferred recording on your device.\n"
                                 "A firmware update will delete that recording."));
        QCOMPARE(rig.screen.pollsNow > 0, row.polledAgain);
        QCOMPARE(rig.screen.pollingStopped, row.timerStopped);
        QVERIFY(!rig.screen.busy);
        QVERIFY(!rig.session.updateRunning);
        if (situation != "confirmed") {
            QVERIFY(!rig.screen.windowClosed);
            QVERIFY(rig.device.model().commands().empty()); // the device was told nothing
        }
    }

    void firmwareFailures_data()
    {
        addRows<FaultRow>({
            {"status unusable", "status 255", -1, "Device status cannot receive", O::DeviceRefused},
            {"status silent", "silence", Cmd::Status, "Device status cannot receive", O::DeviceRefused},
            {"erase not echoed", "silence", Cmd::Erase, "Data cannot clear.1", O::DeviceRefused},
            {"erase reports 255", "erase-fail", -1, "Data cannot clear.3", O::DeviceRefused, true},
            {"erase ends badly", "erase-bad-status", -1, "Data cannot clear.2", O::DeviceRefused, true},
            {"erase stalls", "erase-stall", -1, "Data cannot clear.2", O::DeviceRefused, true},
            {"transfer refused, fallback refused", "refuse-transfer", -1, "Update error!.3", O::DeviceRefused, true},
            {"block unanswered", "block-silent", 3, "Error by senden Update.2", O::TransferFailed, true},
            {"block error code", "block-error", 0, "Error by senden Update. (0x2A)", O::TransferFailed, true},
            {"block error, no code", "block-error-nocode", 0, "Error by senden Update. (0x00)", O::TransferFailed, true},
            {"block refused", "block-fatal", 2, "Error by senden Update.1", O::DeviceRefused, true},
            {"block never taken", "block-nak-always", 1, "Error by senden Update.3", O::TransferFailed, true},
            {"no read-back at all", "readback-silent", -1, "Error by verify Update", O::VerifyFailed, true},
            {"read-back stalls", "readback-stall", -1, "Error by verify Update", O::VerifyFailed, true},
            {"read-back trickles", "readback-trickle", 1, "Error by verify Update", O::VerifyFailed, true},
            {"read-back differs", "readback-corrupt", 4, "Update error!.1", O::VerifyFailed, true},
            // The flood reads as whole blocks whose check bytes do not match; the image compares
            // different, and the babbling device never confirms it.
            {"read-back floods", "flood-on-readback", 2, "Update error!.1", O::VerifyFailed, true,
             {"Daten lesen: XOR Summe ist fehlerhaft. Offset: 400", "Daten lesen: XOR Summe ist fehlerhaft. Offset: 600",
              "Daten lesen: XOR Summe ist fehlerhaft. Offset: 800", "Daten lesen: XOR Summe ist fehlerhaft. Offset: A00",
              "Daten lesen: XOR Summe ist fehlerhaft. Offset: C00", "Daten lesen: XOR Summe ist fehlerhaft. Offset: E00",
              "Daten lesen: XOR Summe ist fehlerhaft. Offset: 1000"}},
            {"device does not confirm", "confirm-refuse", -1, "Update error!.1", O::VerifyFailed, true},
            {"no answer to the comparison", "confirm-silent", -1, "Update error!.2", O::VerifyFailed, true},
            // Pulled out, the device is lost whatever the step took its silence for; before its
            // memory was touched, it is only not there.
            {"pulled at the handshake after the reset", "pull-on-command", Cmd::Probe,
             "Cannot connect to device after Reset.", O::NotConnected},
            {"pulled at the status", "pull-on-command", Cmd::Status, "Device status cannot receive", O::NotConnected},
            // Whoever answers at the path after the reset says who it is before anything is written.
            {"another device at the port after the reset", "another device after the reset", -1,
             "Other device found after Reset. Update not sended.", O::OtherDevice},
            {"nobody says who they are after the reset", "nobody says who after the reset", -1,
             "Cannot connect to device after Reset.", O::NotConnected},
            {"pulled during the erase", "pull-during-erase", -1, "Data cannot clear.2", O::DeviceLost, true},
            // Gone, it refused nothing: it stopped answering as the firmware was to be sent.
            {"pulled at the transfer command", "pull-on-command", Cmd::Transfer512Wide, "Error by senden Update.2",
             O::DeviceLost, true},
            {"pulled on the first block", "pull-on-block", 0, "Error by senden Update.2", O::DeviceLost, true},
            {"pulled on block 2", "pull-on-block", 2, "Error by senden Update.2", O::DeviceLost, true},
            // Read-back block 0 leaves with the last block's verdict: pulled then, the verdict is lost.
            {"pulled on read-back block 0", "pull-on-readback", 0, "Error by senden Update.2", O::DeviceLost, true},
            {"pulled on read-back block 1", "pull-on-readback", 1, "Error by verify Update", O::DeviceLost, true},
            {"pulled at the comparison", "pull-on-compare", -1, "Update error!.2", O::DeviceLost, true},
            {"out of memory mid-erase", "throws", -1, "std::bad_alloc", O::Internal},
            {"operator stops it mid-transfer", "stop", -1, StoppedByOperator, O::Stopped, true},
            // These are survived: the image arrives whole and the device confirms it.
            {"block asked again twice", "block-nak", 1, TableSuccess, O::Updated},
            {"verdict on the fourth listen", "block-late", 2, TableSuccess, O::Updated},
            {"read-back short once", "readback-short", 3, TableSuccess, O::Updated},
            {"read-back check byte wrong", "readback-bad-xor", 2, TableSuccess, O::Updated, false,
             {"Daten lesen: XOR Summe ist fehlerhaft. Offset: 400"}},
            {"read-back check byte missing", "readback-no-xor", 8, TableSuccess, O::Updated, false,
             {"Daten lesen error Offset: 1000"}},
        });
    }
    void firmwareFailures()
    {
        QFETCH(FaultRow, row);
        UpdateRig rig;
        QVERIFY(rig.connect());
        rig.usePayloads(hexText(imageBytes(4096 + 100)), "LANGxx");
        if (row.fault == std::string("status 255"))
            rig.device.model().config().updateStatus = 0xFF;
        QVERIFY(setFault(rig, row, "Send update"));
        const int64_t start = rig.clock.nowMs();
        const RunResult result = rig.run();
        const bool updated = row.outcome == O::Updated;
        QCOMPARE(texts(rig.screen.messages), QStringList {row.message});
        QCOMPARE(int(outcomeOf(result)), int(row.outcome));
        QCOMPARE(mayBeWithoutFirmware(result), row.mayBeWithoutFirmware);
        QCOMPARE(result.firmwareConfirmed, updated);
        QCOMPARE(result.tableSent, updated);
        QCOMPARE(texts(rig.screen.diagnostics), row.diagnostics);
        QVERIFY(!rig.screen.busy && !rig.session.updateRunning && !rig.session.runActive);
        QCOMPARE(rig.screen.windowClosed, updated);
        if (!updated)
            QVERIFY(!rig.screen.progressVisible); // the table's window stays until the program ends
        // Every failure comes within bounded time: the slowest, a stalled read-back, in well
        // under a minute even with the device trickling bytes.
        QVERIFY2(rig.clock.nowMs() - start < 60'000, qPrintable(QString::number(rig.clock.nowMs() - start)));
        if (QByteArray(row.fault).endsWith("after the reset")) { // nothing erased, the other one named
            const std::vector<uint8_t> commands = rig.device.model().commands();
            QCOMPARE(std::count(commands.begin(), commands.end(), Cmd::Erase), 0);
            QCOMPARE(result.otherDevice ? serialText(*result.otherDevice) : std::string(),
                     std::string(row.outcome == O::OtherDevice ? "0999" : ""));
        }
        if (!QByteArray(row.fault).startsWith("pull-"))
            return;
        // Let go, so that it can be found again: the window looks for it at once.
        QVERIFY(!rig.device.plugged());
        QVERIFY(!rig.link.isOpen());
        QCOMPARE(rig.screen.pollsNow, 1);
        // Plugged back in, the next poll finds it and a new click updates it.
        rig.device.plug();
        pollDevice(rig.session, rig.monitor, rig.clock);
        QCOMPARE(rig.monitor.lastLine(), DeviceLine);
        rig.screen.messages.clear();
        rig.run();
        QCOMPARE(texts(rig.screen.messages), QStringList {TableSuccess});
        QVERIFY(rig.screen.windowClosed);
        QCOMPARE(rig.device.model().image().size(), size_t(9 * 512));
    }

    void tableFailures_data()
    {
        addRows<FaultRow>({
            {"status unusable", "status 255", -1, "Device status cannot receive", O::TableNotSent},
            {"0xCA not echoed", "silence", Cmd::Language, "Error by senden Language.6", O::TableNotSent},
            {"0xCA refused", "refuse-language", -1, "Error by senden Language.5", O::TableNotSent},
            {"count rejected", "language-count-reject", -1, "Error by senden Language.4", O::TableNotSent},
            {"block unanswered", "language-block-silent", 1, "Error by senden Language.2", O::TableNotSent},
            {"block error code", "language-block-error", 0, "Error by senden Language. (0x2A)", O::TableNotSent},
            {"block refused", "language-block-fatal", 0, "Error by senden Language.1", O::TableNotSent},
            {"block never taken", "language-block-nak-always", 1, "Error by senden Language.3", O::TableNotSent},
            // Pulled out, the device is lost whatever the step took its silence for; the firmware is in place.
            {"pulled at the status", "pull-on-command", Cmd::StatusShort, "Device status cannot receive", O::DeviceLost},
            {"pulled at 0xCA", "pull-on-command", Cmd::Language, "Error by senden Language.6", O::DeviceLost},
            {"pulled on block 1", "pull-on-table-block", 1, "Error by senden Language.2", O::DeviceLost},
            {"device does not come back", "gone", -1,
             "Cannot connect to device for Language update. Please try again.", O::TableNotSent},
            // Another device took its node while it restarted: it gets nothing.
            {"another device in its place", "serial changed", -1,
             "Other device found for Language update. Language not sended.", O::TableNotSent},
            {"no table", "no table", -1, "", O::TableNotSent},
            {"table a FIFO", "fifo table", -1, "", O::TableNotSent},
            {"operator stops it", "stop", -1, StoppedByOperator, O::Stopped},
        });
    }
    void tableFailures()
    {
        QFETCH(FaultRow, row);
        const std::string fault = row.fault;
        UpdateRig rig;
        QVERIFY(rig.connect());
        rig.usePayloads(hexText(imageBytes(2048)), QByteArray(600, 'T'));
        DeviceModel &m = rig.device.model();
        int resets = 0;
        if (fault == "status 255")
            m.config().shortStatus = 0xFF;
        else if (fault == "gone") // the reset before erasing comes back; the restart after it does not
            rig.device.onReset = [&] { rig.device.resetDowntimeMs = ++resets == 1 ? 1500 : 10'000'000; };
        else if (fault == "serial changed")
            m.config().serialAfterRestart = "0999";
        else if (fault == "no table")
            rig.payloads.table = rig.write("empty.tra", "");
        else if (fault == "fifo table")
            QCOMPARE(::mkfifo((rig.payloads.table = rig.dir.filePath("fifo.tra").toStdString()).c_str(), 0600), 0);
        else
            QVERIFY(setFault(rig, row, "Send languages"));
        const RunResult result = rig.run();
        QStringList expected = {LongSuccess}; // the firmware is in place all the same
        if (*row.message)
            expected.prepend(row.message);
        QCOMPARE(texts(rig.screen.messages), expected);
        QVERIFY(rig.screen.windowClosed); // its success closes the window after the table's failure
        QVERIFY(!rig.session.updateRunning && !rig.session.runActive && !rig.screen.busy);
        QVERIFY(!rig.link.isOpen());
        QVERIFY(m.updateConfirmed());
        QVERIFY(result.firmwareConfirmed && !result.tableSent && !mayBeWithoutFirmware(result));
        QCOMPARE(int(outcomeOf(result)), int(row.outcome));
        if (*row.message) { // a lost device is explained as lost, with its firmware in place
            QVERIFY(!rig.screen.explainedBy.empty());
            QCOMPARE(rig.screen.explainedBy.front(),
                     row.outcome == O::DeviceLost ? MessageId::TableDeviceLost : result.tableMessageId);
        }
        if (fault == "serial changed") { // asked who it is, then let go, and named
            QCOMPARE(std::count(m.commands().begin(), m.commands().end(), Cmd::Language), 0);
            QVERIFY(result.otherDevice && serialText(*result.otherDevice) == "0999");
            QCOMPARE(m.commands().back(), Cmd::Leave);
        }
    }

    // The device pulled out or babbling while the window polls it: the poll ends in its line
    // within bounded time and lets the link go, and the next poll finds the device plugged
    // back in (the babbling one put right).
    void whilePolled_data()
    {
        addRows<PollRow>({
            {"pulled during the handshake", "pull-on-command", Cmd::Start,
             "No connection - Device not connected or offline"},
            // Any byte after 0x90 counts as its reply, so the greeting passes; then no echo is right.
            {"babbling after the greeting", "flood-on-command", Cmd::StatusShort, "No connection - Communications error"},
        });
    }
    void whilePolled()
    {
        QFETCH(PollRow, row);
        UpdateRig rig;
        rig.device.model().setFault(row.fault, true, row.argument);
        const int64_t start = rig.clock.nowMs();
        pollDevice(rig.session, rig.monitor, rig.clock);
        QCOMPARE(rig.monitor.lastLine(), std::string(row.line));
        QVERIFY(!rig.link.isOpen());
        QVERIFY(rig.clock.nowMs() - start < 20'000);
        rig.device.model().clearFaults();
        rig.device.unplug();
        rig.device.plug();
        pollDevice(rig.session, rig.monitor, rig.clock);
        QCOMPARE(rig.monitor.lastLine(), DeviceLine);
    }
};

QTEST_GUILESS_MAIN(TestUpdateFailures)
#include "test_update_failures.moc"
