#pragma once
#include "firmware_image.h"
#include "payload_file.h"
#include "run_events.h"
#include "run_outcome.h"
#include "operator_messages.h"
#include "transfer_plan.h"

#include <QByteArray>
#include <cstdint>
#include <optional>
#include <string>

class Clock;
struct Session;
class UsbConnection;

// Where the run takes its payloads from: the carried resources, or files (tests, tools).
struct Payloads {
    std::string firmware = CarriedFirmware;
    std::string table = CarriedTable;
};

// The run behind "Update": confirm, load the image, keep the device's identity and
// calibration in it, reset and reconnect, erase, send, read back, let the device confirm,
// then send the translation table. It asks through `screen` and tells everything it does
// (the device, the stages, the progress, each message with its id) to `events`; every failure
// ends in the operator's message.
class UpdateRun {
public:
    UpdateRun(Session &session, RunScreen &screen, RunListener &events, Clock &clock, Payloads payloads = {});
    RunResult run();

    // Longest run of verify passes that take no block before the run gives up.
    static constexpr int MaxStalledVerifyPasses = 10;

private:
    bool prepare();
    bool ask();
    bool loadImage();
    void transfer();
    void reset();
    // After a reopen: the device planned answers (else the line is closed again; another
    // device ends the run).
    bool backIsPlanned();
    void connect();
    void readStatus();
    void erase();
    bool openTransfer();
    void sendBlocks();
    void verify();
    bool verifyBlock(int index);
    void confirm();
    void finish();
    void releaseLostDevice();
    void failed(MessageId id, const std::string &message);
    // What a failure the device seemed to cause comes to when the link lost the device.
    RunFailure causeOf(RunFailure kind) const;
    // The message whose explanation goes with the failure shown: the step's text stays, what
    // it means is that the device went away.
    MessageId explainedBy() const
    {
        return result_.failure == RunFailure::DeviceLost ? MessageId::DeviceLost : result_.messageId;
    }
    // The failure's message becomes the result's, and is told, explained by its cause.
    void say(MessageId id, const std::string &text);
    // A failure that shows its message and lets the run return.
    void refuse(RunFailure kind, MessageId id, const std::string &text = {});
    void reach(RunStage stage) { result_.stage = stage; }
    void showProgress(int percent);
    void diagnostic(MessageId id, int offset);

    void drain(int n, int ms);
    void pump();
    // What ends the run from within a step: its message, by id and as shown.
    struct Stop {
        MessageId id;
        std::string text;
    };
    // A failure that ends the run from wherever it is; the text is the id's own unless given.
    [[noreturn]] void fail(RunFailure kind, MessageId id, const std::string &text = {});

    Session &session_;
    RunScreen &screen_;
    RunListener &tell_;
    Clock &clock_;
    Payloads payloads_;
    UsbConnection *link_ = nullptr;
    FirmwareImage image_;
    std::vector<uint8_t> readBack_;
    uint8_t status_ = DeviceRecord::NoStatus;
    TransferPlan plan_;
    int shown_ = 0; // the progress last shown: the erase's never moves back
    bool succeeded_ = false;
    RunResult result_;
};

// Runs one update unless one is under way already (the button stays clickable while the
// run lets the window repaint) or the device is being read (its calibration is not yet
// known). What the run came to; nothing confirmed, and nothing told, when no run started.
RunResult runUpdate(Session &session, RunScreen &screen, RunListener &events, Clock &clock,
                    const Payloads &payloads = {});
