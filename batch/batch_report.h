#pragma once
#include "json_line.h"
#include "outcome.h"
#include "run_events.h"

#include <QJsonObject>
#include <chrono>
#include <functional>
#include <optional>
#include <string>

// One device of a batch, as its report row says it.
struct ReportRow {
    std::string time; // when its update ended, ISO 8601 with the offset
    std::string port, serial; // the serial shown safely
    std::string socket;       // the station's name for where the device sat
    std::string serialHex;    // and its four bytes exactly
    std::optional<int> hardwareVersion, firmwareBefore, firmwareAfter;
    bool firmwareAfterConfirmed = false; // known from the device confirming the carried firmware, not read back
    std::string battery;
    std::optional<int> batteryPercent;
    Outcome outcome = Outcome::Internal;
    std::string message;
    double durationS = 0;
    // Its device may be without working firmware (mayBeWithoutFirmware() of its run, or of its
    // batch worker): a failure that wrote nothing leaves the device as it was.
    bool mayBeWithoutFirmware = false;
    std::string run; // the run's id (run_record.h): its record, its journal entry and its trace name it too
    bool firmwareNewer = false; // its firmware is newer than the carried one, as its plan said
    // Why it waits for a person's decision rather than failed (its "put_aside" field); None for the others.
    Aside aside() const { return asideOf(outcome, firmwareNewer); }

    // Every field a device or a file name chose is escaped, and a CSV field that a
    // spreadsheet would run as a formula is neutralised.
    std::string csv() const;
    // The row's fields in the report's order (the CSV's, with serial_hex beside the serial).
    JsonLine object() const;
    std::string json() const;
};
// A row as object() gave it (a batch's worker tells its batch the row it wrote so); an
// outcome it does not name is Internal.
ReportRow reportRowOf(const QJsonObject &o);

// The --report file: CSV with a header line when it starts empty, or JSON lines when its
// name ends in .jsonl. Rows are appended, so one file can hold many batches.
class BatchReport {
public:
    // Checks that the file can be written before any device is touched; false with the reason.
    bool open(const std::string &path, std::string &error);
    // Appends one row; false with the reason (the batch goes on, the row is still shown).
    bool append(const ReportRow &row, std::string &error);
    bool active() const { return !path_.empty(); }

    static constexpr const char *CsvHeader =
        "time,port,serial,hardware_version,firmware_before,firmware_after,battery,outcome,exit,message,duration_s,"
        "serial_hex,battery_percent,socket,may_be_without_firmware,run,put_aside";

private:
    std::string path_;
    bool json_ = false;
};

// Now, as a report row's time says it: ISO 8601 with the offset.
std::string reportTime();

// The report of one device updated alone: the row a batch writes for each of its devices,
// its device's facts noted as the update learns them, appended once as the update ends.
class SingleReport : public RunListener {
public:
    // Checks that the file can be written before the device is touched; false with the reason.
    bool open(const std::string &path, std::string &error);
    ReportRow row; // the port and the device as they are learnt; the rest at the end
    std::string hint; // why the device could not be opened, said after the row's message
    // The record's folder: the row is appended under its lock (StoreLock); empty: no lock.
    std::string lockFolder;
    std::function<void(const std::string &)> failed; // called on the file writer's thread
    // Appends the row, ended with this outcome, once, on the file writer's thread (file_writer.h);
    // a file that cannot be written is told to `failed` (the update's own outcome stands). Once
    // FileWriter::drain() returns it is in the file.
    void end(Outcome outcome, const std::string &message, bool withoutFirmware = false);
    // Not a run after all (a batch's device updated just before): no row, and no hook.
    void forget() { ended_ = forgotten_ = true; }
    // Its row was appended (or tried to be): the hook is told it.
    bool kept() const { return ended_ && !forgotten_; }

    void device(const DeviceFacts &facts) override;
    void plan(const RunPlan &p) override { row.firmwareNewer = p.firmwareIs == FirmwareAge::Older; }
    void after(const DeviceFacts &facts) override;
    void result(const RunEnd &end) override;

private:
    BatchReport file_;
    std::chrono::steady_clock::time_point since_ = std::chrono::steady_clock::now();
    bool ended_ = false, forgotten_ = false;
};
