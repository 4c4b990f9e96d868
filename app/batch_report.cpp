#include "batch_report.h"
#include "console_progress.h"
#include "run_record.h"

#include <cstdio>
#include <sys/stat.h>

namespace {

std::string csvField(const std::string &text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (const char c : text)
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

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
           csvField(outcomeName(outcome)) + "," + std::to_string(int(outcome)) + "," + csvField(message) + "," +
           seconds(durationS);
}

std::string ReportRow::json() const
{
    auto numberOrNull = [](const std::optional<int> &v) { return v ? std::to_string(*v) : std::string("null"); };
    return "{\"time\":" + jsonQuoted(time) + ",\"port\":" + jsonQuoted(port) + ",\"serial\":" + jsonQuoted(serial) +
           ",\"hardware_version\":" + numberOrNull(hardwareVersion) +
           ",\"firmware_before\":" + numberOrNull(firmwareBefore) + ",\"firmware_after\":" + numberOrNull(firmwareAfter) +
           ",\"battery\":" + jsonQuoted(battery) + ",\"outcome\":" + jsonQuoted(outcomeName(outcome)) +
           ",\"exit\":" + std::to_string(int(outcome)) + ",\"message\":" + jsonQuoted(message) +
           ",\"duration_s\":" + seconds(durationS) + "}";
}

bool BatchReport::open(const std::string &path, std::string &error)
{
    const std::string suffix = ".jsonl";
    json_ = path.size() >= suffix.size() && path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0;
    path_ = path;
    struct stat st;
    const bool fresh = ::stat(path.c_str(), &st) != 0 || st.st_size == 0;
    if (!fresh && !S_ISREG(st.st_mode)) {
        error = path + ": not a regular file";
        path_.clear();
        return false;
    }
    const bool ok = appendWhole(path, fresh && !json_ ? std::string(CsvHeader) + "\n" : std::string(), error);
    if (!ok)
        path_.clear();
    return ok;
}

bool BatchReport::append(const ReportRow &row, std::string &error)
{
    // One write a row: another batch writing the same file does not split it.
    return !active() || appendWhole(path_, (json_ ? row.json() : row.csv()) + "\n", error);
}
