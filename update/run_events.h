#pragma once
#include "device_record.h"
#include "operator_messages.h"
#include "readout.h"
#include "run_outcome.h"

#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

struct Session;

// The steps the progress window names while the run writes the device, in their order: a
// listener that tells them apart (an estimate, a record) keys on these, never on the caption.
enum class ProgressStage { Reset, Erase, Send, Verify, TableConnect, TableSend };
// The stage's id in JSON and the record: "reset", "erase", "send", "verify", "table_connect",
// "table_send".
const char *progressStageId(ProgressStage stage);

// Who the device is, as it was read before the run: the record with the serial's exact bytes,
// its calibration, and the battery last read.
struct DeviceFacts {
    std::string port; // its path; empty for the docking station
    DeviceRecord record;
    Calibration calibration;
    std::optional<int> batteryPercent; // none while no reading is on hand
    bool batteryUnreadable = false;    // a poll asked and got nothing ("N/A")
    std::string socket;                // the station's name for where it sits; empty: none

    // The device as the session read it last.
    static DeviceFacts of(const Session &session);
    std::string line() const;        // "FW 68 from 19.10.21, SerialNr: 0042"
    std::string batteryText() const; // "Accu: 76 %", "N/A" or nothing
    bool operator==(const DeviceFacts &) const = default;
};

// What goes onto the device and how, said before it is written.
struct RunPlan {
    std::string port;          // as said: the path, or "the docking station"
    std::string firmwareName, tableName;
    int firmwareBlocks = 0, tableBlocks = 0;
    FirmwareAge firmwareIs = FirmwareAge::Unknown; // than the device's
    std::string downgradeText; // said when it is older
    std::string run;           // the run's id, as its record and its trace file name it
};

// A text the operator meets, with the message it is (so that nobody finds it again by its
// words) and the message whose explanation fits the cause.
struct RunMessage {
    MessageId id = MessageId::None;
    MessageKind kind = MessageKind::Failure;
    std::string text;
    MessageId explainedBy = MessageId::None;
    std::string file; // a file given to the tool where the failure lies, and its line (0: none)
    int line = 0;

    // A catalogue message, its text the id's own unless given.
    static RunMessage of(MessageId id, std::string text = {});
    bool failure() const { return kind == MessageKind::Failure; }
};

// A question the run put (or that was answered for the operator), with its answer.
struct RunQuestion {
    enum class Topic { Erase, LowBattery, FirmwareAge } topic = Topic::Erase;
    std::string caption, text;
    int batteryPercent = 0; // for the low battery
    bool yes = false;
    int64_t askedAtMs = 0;
    std::string notAskedBecause = {}; // nobody was asked, and why
};

// What a command came to: its outcome (the exit status), the words it ended with, and the
// run's own result when an update ran.
struct RunEnd {
    Outcome outcome = Outcome::Internal;
    std::string text;
    std::optional<RunResult> run = std::nullopt; // none when the command ended before an update ran
    bool readOnly = false; // a command that only reads: its success is "ok"
    // No run's result: the device was being written when the run was lost (a batch's worker
    // that ended without its result after it said so).
    bool lostWhileWriting = false;

    // May the device be without working firmware: the run's own fact, or the lost run's.
    bool mayBeWithoutFirmware() const { return run ? ::mayBeWithoutFirmware(*run) : lostWhileWriting; }
};

// Whoever shows, keeps or passes on what a run tells. Every event has a default that ignores
// it, so a listener names only what it renders.
class RunListener {
public:
    virtual ~RunListener() = default;
    virtual void device(const DeviceFacts &) {}
    virtual void plan(const RunPlan &) {}
    // The run holds the device from here (the polling stays off, the operator waits), or no
    // longer.
    virtual void holding(bool) {}
    // The device is written from here (from now on a run that ends without its result may leave
    // it without working firmware), or no longer.
    virtual void writing(bool) {}
    virtual void stage(ProgressStage, const std::string & /*caption*/) {}
    virtual void progress(int /*percent*/) {}
    virtual void message(const RunMessage &) {}
    virtual void question(const RunQuestion &) {}
    // The run is done with the device for now: whoever watches it may look at it again at once.
    virtual void released() {}
    // The device as read again after its update (the firmware it runs now).
    virtual void after(const DeviceFacts &) {}
    virtual void result(const RunEnd &) {}
};

// Passes each event on to its listeners, in the order they were added. Who the device is
// goes on once however often it is told.
class RunEvents : public RunListener {
public:
    RunEvents() = default;
    RunEvents(std::initializer_list<RunListener *> listeners) : listeners_(listeners) {}
    void listen(RunListener &listener) { listeners_.push_back(&listener); }
    bool empty() const { return listeners_.empty(); }

    void device(const DeviceFacts &facts) override;
    void plan(const RunPlan &p) override { each(&RunListener::plan, p); }
    void holding(bool on) override { each(&RunListener::holding, on); }
    void writing(bool on) override { each(&RunListener::writing, on); }
    void stage(ProgressStage s, const std::string &caption) override { each(&RunListener::stage, s, caption); }
    void progress(int percent) override { each(&RunListener::progress, percent); }
    void message(const RunMessage &m) override { each(&RunListener::message, m); }
    void question(const RunQuestion &q) override { each(&RunListener::question, q); }
    void released() override { each(&RunListener::released); }
    void after(const DeviceFacts &facts) override { each(&RunListener::after, facts); }
    void result(const RunEnd &end) override { each(&RunListener::result, end); }

private:
    template <typename... Params>
    void each(void (RunListener::*event)(Params...), std::type_identity_t<Params>... args)
    {
        for (RunListener *l : listeners_)
            (l->*event)(args...);
    }
    std::vector<RunListener *> listeners_;
    std::optional<DeviceFacts> device_;
};

// An answer to a question: yes for OK; when nobody could be asked (and no option answered it
// for the operator), why not.
struct Answer {
    bool yes = false;
    std::string notAskedBecause = {};
    bool asked = true; // false: nobody was asked, an option answered (or nothing could)
};

// What an operator is asked, whatever draws it: the listener that shows the run, and its
// questions.
class RunScreen : public RunListener {
public:
    // The carried firmware is the same as the device's, or older (the device's record): whether
    // to install it all the same. Asked before the run's other questions; no leaves the device
    // as it is.
    virtual Answer confirmFirmwareAge(FirmwareAge age, const DeviceRecord &device) = 0;
    virtual Answer confirm(const std::string &caption, const std::string &text) = 0;
    // The battery last read is this low: whether to update all the same. A run that stops
    // halfway leaves the device without working firmware. Not asked: the setting that said no.
    virtual Answer confirmLowBattery(int percent) = 0;
};
