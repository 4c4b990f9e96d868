#include "batch_report.h"
#include "file_writer.h"
#include "run_record.h"
#include "safe_text.h"

#include <QDateTime>
#include <cmath>
#include <cstdio>
#include <sys/stat.h>

namespace {

std::string number(const std::optional<int> &value)
{
    return value ? std::to_string(*value) : std::string();
}

std::string seconds(double s)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", s);
    return text;
}

} // namespace

std::string ReportRow::csv() const
{
    return csvField(time) + "," + csvField(port) + "," + csvField(serial) + "," + number(hardwareVersion) + "," +
           number(firmwareBefore) + "," + number(firmwareAfter) + "," + csvField(battery) + "," +
           csvField(outcomeName(outcome)) + "," + std::to_string(exitStatus(outcome)) + "," + csvField(message) +
           "," + seconds(durationS) + "," + csvField(serialHex) + "," + number(batteryPercent) + "," +
           csvField(socket) + "," + (mayBeWithoutFirmware ? "yes" : "no") + "," + csvField(run) +
           "," + asideName(aside());
}

JsonLine ReportRow::object() const
{
    auto numberOrNull = [](JsonLine &o, const char *key, const std::optional<int> &v) -> JsonLine & {
        return v ? o.number(key, *v) : o.null(key);
    };
    JsonLine o;
    o.text("time", shownText(time)).text("port", shownText(port)).text("serial", shownText(serial));
    o.text("serial_hex", shownText(serialHex));
    numberOrNull(o, "hardware_version", hardwareVersion);
    numberOrNull(o, "firmware_before", firmwareBefore);
    numberOrNull(o, "firmware_after", firmwareAfter);
    if (firmwareAfter)
        o.text("firmware_after_known", firmwareAfterKnown({*firmwareAfter, !firmwareAfterConfirmed}));
    o.text("battery", shownText(battery));
    numberOrNull(o, "battery_percent", batteryPercent);
    o.text("outcome", outcomeName(outcome)).number("exit", exitStatus(outcome));
    o.text("message", shownText(message)).fixed("duration_s", durationS, 1);
    o.text("socket", shownText(socket)).flag("may_be_without_firmware", mayBeWithoutFirmware);
    o.text("run", shownText(run)).text("put_aside", asideName(aside()));
    return o; // moved out, where returning what fixed() returns would copy every field
}

std::string ReportRow::json() const
{
    return object().str();
}

ReportRow reportRowOf(const QJsonObject &o)
{
    const auto text = [&](const char *key) { return o[key].toString().toStdString(); };
    const auto number = [&](const char *key) {
        return o[key].isDouble() ? std::optional<int>(o[key].toInt()) : std::nullopt;
    };
    ReportRow row;
    row.time = text("time"), row.port = text("port"), row.serial = text("serial");
    row.serialHex = text("serial_hex"), row.socket = text("socket");
    row.hardwareVersion = number("hardware_version");
    row.firmwareBefore = number("firmware_before"), row.firmwareAfter = number("firmware_after");
    row.firmwareAfterConfirmed = text("firmware_after_known") == "confirmed";
    row.battery = text("battery"), row.batteryPercent = number("battery_percent");
    row.outcome = outcomeByName(text("outcome")).value_or(Outcome::Internal);
    row.message = text("message");
    row.durationS = o["duration_s"].toDouble();
    row.mayBeWithoutFirmware = o["may_be_without_firmware"].toBool();
    row.firmwareNewer = asideByName(text("put_aside")) == Aside::NewerFirmware;
    return row;
}

bool BatchReport::open(const std::string &path, std::string &error)
{
    const std::string suffix = ".jsonl";
    json_ = path.size() >= suffix.size() && path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0;
    path_ = path;
    struct stat st;
    // Whatever its size says (a FIFO's is 0): rows into a FIFO would wait for a reader.
    const bool exists = ::stat(path.c_str(), &st) == 0, fresh = !exists || st.st_size == 0;
    if (exists && !S_ISREG(st.st_mode)) {
        error = path + ": not a regular file";
        path_.clear();
        return false;
    }
    // The operator names this file: a link to it is followed.
    const bool ok = appendWhole(path, fresh && !json_ ? std::string(CsvHeader) + "\n" : std::string(), error, true);
    if (!ok)
        path_.clear();
    return ok;
}

bool BatchReport::append(const ReportRow &row, std::string &error)
{
    // One write a row: another batch writing the same file does not split it.
    return !active() || appendWhole(path_, (json_ ? row.json() : row.csv()) + "\n", error, true);
}

std::string reportTime()
{
    const QDateTime now = QDateTime::currentDateTime();
    return now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODate).toStdString();
}

bool SingleReport::open(const std::string &path, std::string &error)
{
    since_ = std::chrono::steady_clock::now();
    return file_.open(path, error);
}

void SingleReport::device(const DeviceFacts &facts)
{
    const std::string serial = serialBytes(facts.record);
    row.port = row.port.empty() ? facts.port : row.port;
    row.serial = shownText(serial), row.serialHex = hexBytes(serial);
    row.battery = facts.batteryText(), row.batteryPercent = facts.batteryPercent;
    row.socket = facts.socket;
    row.hardwareVersion = facts.record.hardwareVersion;
    if (!facts.record.firmwareUnreadable)
        row.firmwareBefore = facts.record.firmwareVersion;
}

void SingleReport::after(const DeviceFacts &facts)
{
    row.firmwareAfter = facts.record.firmwareVersion, row.firmwareAfterConfirmed = false;
}

void SingleReport::result(const RunEnd &end)
{
    // The run's own fact, where it has one: the firmware the device confirmed, or read back.
    if (end.run && end.run->firmwareAfter)
        row.firmwareAfter = end.run->firmwareAfter->version, row.firmwareAfterConfirmed = !end.run->firmwareAfter->readBack;
    this->end(end.outcome, end.text, end.mayBeWithoutFirmware());
}

void SingleReport::end(Outcome outcome, const std::string &message, bool withoutFirmware)
{
    if (ended_)
        return;
    ended_ = true;
    row.time = reportTime();
    row.outcome = outcome;
    row.message = message;
    row.mayBeWithoutFirmware = withoutFirmware;
    if (!hint.empty())
        row.message += ": " + hint;
    row.durationS = std::chrono::duration<double>(std::chrono::steady_clock::now() - since_).count();
    // On the file writer's thread, under the record's lock: a file that stalls never holds the
    // device's thread, and a batch's rows and records never cross.
    FileWriter::post([file = file_, row = row, failed = failed, folder = lockFolder]() mutable {
        bool appended = false;
        std::string error;
        {
            const StoreLock lock(folder);
            appended = file.append(row, error);
        }
        if (!appended && failed)
            failed("mova-update: cannot write the report: " + error);
    });
}
