#pragma once
#include "device_record.h"
#include "operator_messages.h"

#include <optional>
#include <string>

class Clock;
class RunListener;
struct Session;

enum class TableOutcome {
    Sent,    // the device took the whole table (its success message shown)
    Skipped, // there was no table to send
    Failed,  // the transfer failed (its message shown)
    Lost,    // the device went away during it (the failing step's message shown)
    Stopped, // the operator stopped it
};

struct TableResult {
    TableOutcome outcome = TableOutcome::Skipped;
    MessageId messageId = MessageId::None; // the message it ended with (success or failure)
    std::string message = {};              // and its text as shown
    std::optional<DeviceRecord> otherDevice = {}; // who answered in the device's place, if another did
};

// After a confirmed firmware: reconnects to the restarted device (at its path or under a new
// one, provided it is the same device: another one in its place is only asked who it is, and
// no table is sent), then sends the translation table in acknowledged 512-byte blocks. Unless
// the table was sent, the firmware's success is told after it. A table that cannot be read
// is skipped, and why goes to `skippedBecause`. What it does is told to `events`.
TableResult sendLanguageTable(Session &session, RunListener &events, Clock &clock, const std::string &tablePath,
                              std::string *skippedBecause = nullptr);
