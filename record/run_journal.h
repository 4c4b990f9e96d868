#pragma once
#include "outcome.h"
#include "run_outcome.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// One update run as the system journal keeps it: a structured entry under one fixed message
// id, so that the runs of many stations can be gathered (systemd-journal-upload) and picked
// out (journalctl MESSAGE_ID=...) with the journal's own tools, whatever the text says.
struct JournalEntry {
    // "The update run of a device ended", the same for every run of every version.
    static constexpr const char *MessageId = "2a1d9d5624c64fa1b42afe175fd657ab";

    std::string program;   // who ran it: mova-update, QTX_MOVA_Update
    std::string port;      // where the device was, or where it was looked for
    std::string socket;    // the station's name for that place; empty: none
    bool identified = false;
    std::string serial;    // the device's own bytes (given only when identified)
    std::optional<int> firmwareBefore;
    std::optional<FirmwareAfter> firmwareAfter; // read back, or the carried firmware confirmed
    std::optional<int> batteryPercent; // the battery as read before the run
    std::string stage;     // the step the run reached, when it began to run
    Outcome outcome = Outcome::Internal;
    std::string text;      // what the operator was told it came to
    std::string batch;     // the batch it was a device of
    std::string run;       // the run's own id, as its record, report and trace file name it
    bool mayBeWithoutFirmware = false; // the run may have left the device without working firmware
    std::optional<int64_t> durationMs; // from the run's start to its end

    // The entry's fields, "NAME=value" each, every value one line of UTF-8 (the serial also
    // as its exact bytes in hexadecimal).
    std::vector<std::string> fields() const;
};

// Hands the entry to the journal; false when there is none to take it (no journal runs on
// this machine, as in most containers): the run and its record go on all the same.
bool sendToJournal(const JournalEntry &entry);
