#pragma once
#include "operator_messages.h"

#include <string>

// The service fields the readout filled: the serial number's text, the seven calibration
// values and the device-information tag.
struct ServiceFields {
    std::string serial;
    int koefX = 0, offsX = 0, koefY = 0, offsY = 0, koefZ = 0, offsZ = 0, koefM = 0;
    int deviceInfo = 0;
};

// The steps the progress window names while the run writes the device, in their order: a
// screen that tells them apart (an estimate, a record) keys on these, never on the caption.
enum class ProgressStage { Reset, Erase, Send, Verify, TableConnect, TableSend };

// What the update run shows and asks, whatever draws it.
class RunScreen {
public:
    virtual ~RunScreen() = default;
    // The topmost OK/Cancel question; true for OK.
    virtual bool confirm(const std::string &caption, const std::string &text) = 0;
    // The battery last shown is this low: whether to update all the same. A run that stops
    // halfway leaves the device without working firmware.
    virtual bool confirmLowBattery(int percent) = 0;
    virtual void message(const std::string &text) = 0;
    // A message that ends the run (or its table transfer) in failure; shown as any other
    // unless the screen tells failures apart.
    virtual void failure(const std::string &text) { message(text); }
    // The same, with the message whose explanation fits the cause: the text's own, or another
    // where the cause is not what the text says (a device that went away during a step).
    virtual void failure(MessageId /*explainedBy*/, const std::string &text) { failure(text); }
    virtual void setBusy(bool busy) = 0;
    virtual void showProgress() = 0;
    virtual void closeProgress() = 0;
    // A step begins: which one, and the caption the progress window shows for it.
    virtual void progressCaption(ProgressStage stage, const std::string &text) = 0;
    virtual void setProgress(int position) = 0;
    virtual int progress() = 0;
    // The status timer: stopped for the run; polled at once when the operator declines.
    virtual void stopPolling() = 0;
    virtual void pollNow() = 0;
    virtual ServiceFields serviceFields() = 0;
    // Two lines of the verify pass go to standard output, for support.
    virtual void diagnostic(const std::string &line) = 0;
    // The run is over and the device updated: the program ends.
    virtual void closeWindow() = 0;
};
