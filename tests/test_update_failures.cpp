// The update run's failures against the device model in virtual time: before the transfer,
// in the firmware's transfer and in the table's; what the operator is told, and what the run
// comes to as data (the command line's exit status).
#include "outcome.h"
#include "protocol.h"
#include "update_rig.h"

#include <QTest>
#include <sys/stat.h>

class TestUpdateFailures : public QObject {
    Q_OBJECT
private slots:
    void beforeTheTransfer_data();
    void beforeTheTransfer();
    void firmwareFailures_data();
    void firmwareFailures();
    void tableFailures_data();
    void tableFailures();
};

void TestUpdateFailures::beforeTheTransfer_data()
{
    QTest::addColumn<QString>("situation");
    QTest::addColumn<QString>("message"); // empty: none
    QTest::addColumn<bool>("asked");
    QTest::addColumn<bool>("polledAgain");
    QTest::addColumn<bool>("timerStopped");
    QTest::newRow("link closed") << "closed" << "Device is not connected!" << false << false << false;
    QTest::newRow("status 0, declined") << "declined" << "" << true << true << false;
    QTest::newRow("status 0, confirmed") << "confirmed" << TableSuccess << true << false << true;
    QTest::newRow("no firmware") << "no firmware" << "Hex-File cannot open!" << false << false << false;
    QTest::newRow("empty firmware") << "empty firmware" << "Hex-File cannot open!" << false << false << false;
    QTest::newRow("firmware a FIFO") << "fifo firmware" << "Hex-File cannot open!" << false << false << false;
    QTest::newRow("broken record") << "broken" << "Error in Zeile 2. Checksumme error" << false << false << true;
    QTest::newRow("no end record") << "no end" << "" << false << false << true;
}

void TestUpdateFailures::beforeTheTransfer()
{
    QFETCH(QString, situation);
    QFETCH(QString, message);
    QFETCH(bool, asked);
    QFETCH(bool, polledAgain);
    QFETCH(bool, timerStopped);
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
    if (situation == "empty firmware")
        rig.payloads.firmware = rig.write("empty.hex", "");
    if (situation == "fifo firmware") {
        rig.payloads.firmware = rig.dir.filePath("fifo.hex").toStdString();
        QCOMPARE(::mkfifo(rig.payloads.firmware.c_str(), 0600), 0);
    }
    if (situation == "broken")
        rig.payloads.firmware = rig.write("broken.hex", hexText(image).replace(":10001000", ":10001001"));
    if (situation == "no end")
        rig.payloads.firmware = rig.write("noend.hex", hexText(image).replace(":00000001FF", ""));
    rig.run();
    QCOMPARE(rig.screen.messages.empty() ? QString() : QString::fromStdString(rig.screen.messages.back()), message);
    QCOMPARE(!rig.screen.confirms.empty(), asked);
    if (asked)
        QCOMPARE(rig.screen.confirms.front(),
                 std::string("Update|Make sure there is no untransferred recording on your device.\n"
                             "A firmware update will delete that recording."));
    QCOMPARE(rig.screen.pollsNow > 0, polledAgain);
    QCOMPARE(rig.screen.pollingStopped, timerStopped);
    QVERIFY(!rig.screen.busy);
    QVERIFY(!rig.session.updateRunning);
    if (situation != "confirmed") {
        QVERIFY(!rig.screen.windowClosed);
        QVERIFY(rig.device.model().commands().empty()); // the device was told nothing
    }
}

void TestUpdateFailures::firmwareFailures_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("argument");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QStringList>("diagnostics");
    QTest::addColumn<int>("outcome"); // and with it the command line's exit status
    using O = Outcome;

    QTest::newRow("status unusable") << "status 255" << -1 << "Device status cannot receive" << QStringList()
        << int(O::DeviceRefused);
    QTest::newRow("status silent") << "silence" << int(Cmd::Status) << "Device status cannot receive" << QStringList()
        << int(O::DeviceRefused);
    QTest::newRow("erase not echoed") << "silence" << int(Cmd::Erase) << "Data cannot clear.1" << QStringList()
        << int(O::DeviceRefused);
    QTest::newRow("erase reports 255") << "erase-fail" << -1 << "Data cannot clear.3" << QStringList()
        << int(O::DeviceRefused);
    QTest::newRow("erase ends badly") << "erase-bad-status" << -1 << "Data cannot clear.2" << QStringList()
        << int(O::DeviceRefused);
    QTest::newRow("erase stalls") << "erase-stall" << -1 << "Data cannot clear.2" << QStringList()
        << int(O::DeviceRefused);
    QTest::newRow("transfer refused, fallback refused") << "refuse both" << -1 << "Update error!.3" << QStringList()
        << int(O::DeviceRefused);
    QTest::newRow("block unanswered") << "block-silent" << 3 << "Error by senden Update.2" << QStringList()
        << int(O::TransferFailed);
    QTest::newRow("block error code") << "block-error" << 0 << "Error by senden Update. (0x2A)" << QStringList()
        << int(O::TransferFailed);
    QTest::newRow("block error, no code") << "block-error-nocode" << 0 << "Error by senden Update. (0x00)"
                                         << QStringList() << int(O::TransferFailed);
    QTest::newRow("block refused") << "block-fatal" << 2 << "Error by senden Update.1" << QStringList()
        << int(O::DeviceRefused);
    QTest::newRow("block never taken") << "block-nak-always" << 1 << "Error by senden Update.3" << QStringList()
        << int(O::TransferFailed);
    QTest::newRow("no read-back at all") << "readback-silent" << -1 << "Error by verify Update" << QStringList()
        << int(O::VerifyFailed);
    QTest::newRow("read-back stalls") << "readback-stall" << -1 << "Error by verify Update" << QStringList()
        << int(O::VerifyFailed);
    QTest::newRow("read-back trickles") << "readback-trickle" << 1 << "Error by verify Update" << QStringList()
        << int(O::VerifyFailed);
    QTest::newRow("read-back differs") << "readback-corrupt" << 4 << "Update error!.1" << QStringList()
        << int(O::VerifyFailed);
    QTest::newRow("device does not confirm") << "confirm-refuse" << -1 << "Update error!.1" << QStringList()
        << int(O::VerifyFailed);
    QTest::newRow("no answer to the comparison") << "confirm-silent" << -1 << "Update error!.2" << QStringList()
        << int(O::VerifyFailed);
    // Pulled out, the device is lost whatever the step took its silence for; before its memory
    // was touched, it is only not there.
    QTest::newRow("pulled at the status") << "pull-on-command" << int(Cmd::Status) << "Device status cannot receive"
        << QStringList() << int(O::NotConnected);
    QTest::newRow("pulled during the erase") << "pull-during-erase" << -1 << "Data cannot clear.2" << QStringList()
        << int(O::DeviceLost);
    QTest::newRow("pulled on block 2") << "pull-on-block" << 2 << "Error by senden Update.2" << QStringList()
        << int(O::DeviceLost);
    QTest::newRow("pulled on read-back block 1") << "pull-on-readback" << 1 << "Error by verify Update"
        << QStringList() << int(O::DeviceLost);
    QTest::newRow("pulled at the comparison") << "pull-on-compare" << -1 << "Update error!.2" << QStringList()
        << int(O::DeviceLost);
    QTest::newRow("out of memory mid-erase") << "throws" << -1 << "std::bad_alloc" << QStringList() << int(O::Internal);
    QTest::newRow("operator stops it mid-transfer") << "stop" << -1 << StoppedByOperator << QStringList()
        << int(O::Stopped);
    // These are survived: the image arrives whole and the device confirms it.
    QTest::newRow("block asked again twice") << "block-nak" << 1 << TableSuccess << QStringList() << int(O::Updated);
    QTest::newRow("verdict on the fourth listen") << "block-late" << 2 << TableSuccess << QStringList()
        << int(O::Updated);
    QTest::newRow("read-back short once") << "readback-short" << 3 << TableSuccess << QStringList() << int(O::Updated);
    QTest::newRow("read-back check byte wrong") << "readback-bad-xor" << 2 << TableSuccess
                                                << QStringList {"Daten lesen: XOR Summe ist fehlerhaft. Offset: 400"}
                                                << int(O::Updated);
    QTest::newRow("read-back check byte missing") << "readback-no-xor" << 8 << TableSuccess
                                                  << QStringList {"Daten lesen error Offset: 1000"} << int(O::Updated);
}

void TestUpdateFailures::firmwareFailures()
{
    QFETCH(QString, fault);
    QFETCH(int, argument);
    QFETCH(QString, message);
    QFETCH(QStringList, diagnostics);
    QFETCH(int, outcome);
    UpdateRig rig;
    QVERIFY(rig.connect());
    rig.usePayloads(hexText(imageBytes(4096 + 100)), "LANGxx");
    DeviceModel &m = rig.device.model();
    if (fault == "status 255")
        m.config().updateStatus = 0xFF;
    else if (fault == "refuse both")
        m.setFault("refuse-transfer", true, -1);
    else if (fault == "throws" || fault == "stop")
        rig.clock.onPump = [&] {
            const std::string stage = rig.screen.captions.empty() ? "" : rig.screen.captions.back();
            if (fault == "throws" && stage == "Memory prepare - clear")
                throw std::bad_alloc();
            if (fault == "stop" && stage == "Send update")
                rig.session.stopRequested = true;
        };
    else
        QVERIFY(m.setFault(fault.toStdString(), true, argument));
    const int64_t start = rig.clock.nowMs();
    const RunResult result = rig.run();
    QCOMPARE(rig.screen.messages, std::vector<std::string> {message.toStdString()});
    QCOMPARE(int(outcomeOf(result)), outcome);
    QCOMPARE(result.firmwareConfirmed, outcome == int(Outcome::Updated));
    QCOMPARE(result.tableSent, outcome == int(Outcome::Updated));
    QStringList seen;
    for (const auto &d : rig.screen.diagnostics)
        seen << QString::fromStdString(d);
    QCOMPARE(seen, diagnostics);
    QVERIFY(!rig.screen.busy);
    QVERIFY(!rig.session.updateRunning);
    QVERIFY(!rig.session.runActive);
    QCOMPARE(rig.screen.windowClosed, message == TableSuccess);
    if (message != TableSuccess)
        QVERIFY(!rig.screen.progressVisible); // the table's window stays until the program ends
    // Every failure comes within bounded time: the slowest, a stalled read-back, in well
    // under a minute even with the device trickling bytes.
    QVERIFY2(rig.clock.nowMs() - start < 60'000, qPrintable(QString::number(rig.clock.nowMs() - start)));
}


void TestUpdateFailures::tableFailures_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("argument");
    QTest::addColumn<QString>("message"); // the table's message before the firmware's success
    QTest::addColumn<int>("outcome");
    using O = Outcome;
    QTest::newRow("status unusable") << "status 255" << -1 << "Device status cannot receive" << int(O::TableNotSent);
    QTest::newRow("0xCA not echoed") << "silence" << int(Cmd::Language) << "Error by senden Language.6"
                                     << int(O::TableNotSent);
    QTest::newRow("0xCA refused") << "refuse-language" << -1 << "Error by senden Language.5" << int(O::TableNotSent);
    QTest::newRow("count rejected") << "language-count-reject" << -1 << "Error by senden Language.4"
                                    << int(O::TableNotSent);
    QTest::newRow("block unanswered") << "language-block-silent" << 1 << "Error by senden Language.2"
                                      << int(O::TableNotSent);
    QTest::newRow("block error code") << "language-block-error" << 0 << "Error by senden Language. (0x2A)"
                                      << int(O::TableNotSent);
    QTest::newRow("block refused") << "language-block-fatal" << 0 << "Error by senden Language.1"
                                   << int(O::TableNotSent);
    QTest::newRow("block never taken") << "language-block-nak-always" << 1 << "Error by senden Language.3"
                                       << int(O::TableNotSent);
    // Pulled out, the device is lost whatever the step took its silence for; the firmware is in place.
    QTest::newRow("pulled at the status") << "pull-on-command" << int(Cmd::StatusShort)
                                          << "Device status cannot receive" << int(O::DeviceLost);
    QTest::newRow("pulled at 0xCA") << "pull-on-command" << int(Cmd::Language) << "Error by senden Language.6"
                                    << int(O::DeviceLost);
    QTest::newRow("pulled on block 1") << "pull-on-table-block" << 1 << "Error by senden Language.2"
                                       << int(O::DeviceLost);
    QTest::newRow("device does not come back") << "gone" << -1
                                               << "Cannot connect to device for Language update. Please try again."
                                               << int(O::TableNotSent);
    // Another device took its node while it restarted: it gets nothing.
    QTest::newRow("another device in its place") << "serial changed" << -1
                                                 << "Other device found for Language update. Language not sended."
                                                 << int(O::TableNotSent);
    QTest::newRow("no table") << "no table" << -1 << "" << int(O::TableNotSent);
    QTest::newRow("table a FIFO") << "fifo table" << -1 << "" << int(O::TableNotSent);
    QTest::newRow("operator stops it") << "stop" << -1 << StoppedByOperator << int(O::Stopped);
}

void TestUpdateFailures::tableFailures()
{
    QFETCH(QString, fault);
    QFETCH(int, argument);
    QFETCH(QString, message);
    QFETCH(int, outcome);
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
    else if (fault == "stop")
        rig.clock.onPump = [&] { rig.session.stopRequested = !rig.screen.captions.empty() && rig.screen.captions.back() == "Send languages"; };
    else
        QVERIFY(m.setFault(fault.toStdString(), true, argument));
    const RunResult result = rig.run();
    std::vector<std::string> expected;
    if (!message.isEmpty())
        expected.push_back(message.toStdString());
    expected.push_back(LongSuccess); // the firmware is in place all the same
    QCOMPARE(rig.screen.messages, expected);
    QVERIFY(rig.screen.windowClosed);
    QVERIFY(!rig.session.updateRunning);
    QVERIFY(!rig.link.isOpen());
    QVERIFY(m.updateConfirmed());
    QVERIFY(result.firmwareConfirmed && !result.tableSent);
    QCOMPARE(int(outcomeOf(result)), outcome);
    if (!message.isEmpty()) { // a lost device is explained as lost, with its firmware in place
        QVERIFY(!rig.screen.explainedBy.empty());
        QCOMPARE(rig.screen.explainedBy.front(),
                 outcome == int(Outcome::DeviceLost) ? MessageId::TableDeviceLost : result.tableMessageId);
    }
    if (fault == "serial changed") { // asked who it is, then let go
        QCOMPARE(std::count(m.commands().begin(), m.commands().end(), Cmd::Language), 0);
        QCOMPARE(m.commands().back(), Cmd::Leave);
    }
}

QTEST_GUILESS_MAIN(TestUpdateFailures)
#include "test_update_failures.moc"
