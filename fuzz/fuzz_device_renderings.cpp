// Bytes a device chooses (its serial, its USB strings) or a port's name, in the lines built
// from them: a batch report row as CSV and as JSON, and the `log` line read back from a run
// record. Each is read with readers of the fuzz targets' own (text_readers.h) and must say
// what the text rules say; those rules themselves are fuzz_device_text's part.
#include "batch_report.h"
#include "cli_log.h"
#include "safe_text.h"
#include "text_readers.h"

#include <QByteArray>
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

using namespace readers;

const char readers::TargetName[] = "device_renderings";

namespace {

// The value of a JSON object's field this target reads, once read.
struct Wanted {
    std::string_view key;
    std::string value;
    bool seen = false;
};

size_t skipSpace(std::string_view t, size_t at)
{
    while (at < t.size() && (t[at] == ' ' || t[at] == '\t' || t[at] == '\n' || t[at] == '\r'))
        ++at;
    return at;
}

// A JSON number, true, false or null at t[at], `at` past it.
bool readScalar(std::string_view t, size_t &at)
{
    for (const std::string_view word : {"true", "false", "null"})
        if (t.substr(at, word.size()) == word)
            return at += word.size(), true;
    const auto digits = [&] {
        const size_t from = at;
        while (at < t.size() && t[at] >= '0' && t[at] <= '9')
            ++at;
        return at > from;
    };
    if (at < t.size() && t[at] == '-')
        ++at;
    if (at < t.size() && t[at] == '0')
        ++at;
    else if (!digits())
        return false;
    if (at < t.size() && t[at] == '.' && (++at, !digits()))
        return false;
    if (at < t.size() && (t[at] == 'e' || t[at] == 'E')) {
        if (++at < t.size() && (t[at] == '+' || t[at] == '-'))
            ++at;
        return digits();
    }
    return true;
}

// A report row's JSON line: one flat object of strings, numbers, true, false and null, the
// wanted fields' strings kept. False for anything else, and for a wanted field that is no
// string or comes twice.
bool readFlatObject(std::string_view t, Wanted *wanted, size_t count)
{
    static std::string key, skipped;
    size_t at = skipSpace(t, 0);
    if (at >= t.size() || t[at] != '{')
        return false;
    if (at = skipSpace(t, at + 1); at < t.size() && t[at] == '}')
        return skipSpace(t, at + 1) == t.size();
    for (;;) {
        if (!readJsonString(t, at, key) || (at = skipSpace(t, at)) >= t.size() || t[at] != ':')
            return false;
        at = skipSpace(t, at + 1);
        Wanted *field = std::find_if(wanted, wanted + count, [](const Wanted &w) { return w.key == key; });
        if (field != wanted + count) {
            if (field->seen || !readJsonString(t, at, field->value))
                return false;
            field->seen = true;
        } else if (at < t.size() && t[at] == '"' ? !readJsonString(t, at, skipped) : !readScalar(t, at)) {
            return false;
        }
        if ((at = skipSpace(t, at)) >= t.size() || (t[at] != ',' && t[at] != '}'))
            return false;
        if (t[at++] == '}')
            return skipSpace(t, at) == t.size();
        at = skipSpace(t, at);
    }
}

// The report's CSV header: its columns, and where the device's texts go.
struct Columns {
    std::vector<std::string_view> names;
    size_t port, serial, message, serialHex;
    Columns()
    {
        check(csvSplit(BatchReport::CsvHeader, names), "report CSV header malformed");
        port = at("port"), serial = at("serial"), message = at("message"), serialHex = at("serial_hex");
        check(std::max({port, serial, message, serialHex}) < names.size(), "report CSV header lacks a column");
    }
    size_t at(std::string_view name) const
    {
        return size_t(std::find(names.begin(), names.end(), name) - names.begin());
    }
};

// The texts an input gives a row and a record: the serial's four bytes first (a device has
// no more), then the rest split between the port's path and the last message; each with
// the text the terminal shows for it, as the text rules say it (fuzz_device_text checks
// them): every rendering must say the same. Distinct bytes in each field also try what
// one field's bytes do to the next.
struct Texts {
    std::string_view serial, port, message;
    std::string serialShown, portShown, messageShown;

    explicit Texts(std::string_view bytes)
        : serial(bytes.substr(0, 4)), port(bytes.substr(serial.size(), (bytes.size() - serial.size()) / 2)),
          message(bytes.substr(serial.size() + port.size())), serialShown(shownText(serial)),
          portShown(shownText(port)), messageShown(shownText(message))
    {
    }
};

void checkCsvRow(std::string_view csv, const Texts &texts)
{
    static const Columns columns;
    static std::vector<std::string_view> fields;
    static std::string hex;
    check(safeLine(csv), "report CSV line not safe UTF-8 on one line");
    check(csvSplit(csv, fields) && fields.size() == columns.names.size(),
          "report CSV line has other columns than its header");
    checkCsvField(fields[columns.serial], texts.serial, texts.serialShown, true);
    checkCsvField(fields[columns.port], texts.port, texts.portShown, true);
    checkCsvField(fields[columns.message], texts.message, texts.messageShown, true);
    check(csvContent(fields[columns.serialHex], hex) && hexSays(hex, texts.serial),
          "report CSV serial_hex is not the serial's bytes");
}

void checkJsonRow(std::string_view json, const Texts &texts)
{
    static Wanted fields[] = {
        {"serial", {}, false}, {"port", {}, false}, {"message", {}, false}, {"serial_hex", {}, false}};
    for (Wanted &field : fields)
        field.seen = false;
    check(safeLine(json), "report JSON line not safe UTF-8 on one line");
    check(readFlatObject(json, fields, std::size(fields)), "report JSON line is no flat object");
    check(fields[0].seen && fields[0].value == texts.serialShown, "report JSON serial not as shown");
    check(fields[1].seen && fields[1].value == texts.portShown, "report JSON port not as shown");
    check(fields[2].seen && fields[2].value == texts.messageShown, "report JSON message not as shown");
    check(fields[3].seen && hexSays(fields[3].value, texts.serial),
          "report JSON serial_hex is not the serial's bytes");
}

// The `log` line: from a record as written now (the serial shown safely, the port and the
// last message as they came), and from a line of any bytes, as a damaged file holds. The
// last message is where a record keeps it: as the run's last words ("text"), or, for a run
// that ended without any, only among its messages (inputs of odd length).
void checkLog(const Texts &texts, std::string_view bytes)
{
    static std::string record, serial;
    record.assign(R"({"end":"2024-05-01T10:00:00+02:00","device":{"serial":)");
    appendJsonString(record, texts.serialShown);
    record.append(R"(},"port":)");
    appendJsonString(record, texts.port);
    record.append(bytes.size() % 2 ? R"(,"outcome":"updated","messages":[{"kind":"message","text":)"
                                   : R"(,"outcome":"updated","text":)");
    appendJsonString(record, texts.message);
    record.append(bytes.size() % 2 ? "}]}" : "}");
    const std::string summary = runSummary(QByteArray::fromRawData(record.data(), qsizetype(record.size())));
    check(safeLine(summary), "log line not safe UTF-8 on one line");
    // The serial right after the time (which has no two spaces in a row), "-" when there is none.
    serial.assign("  ").append(texts.serial.empty() ? "-" : texts.serialShown).append("  ");
    const size_t afterTime = summary.find("  ");
    check(afterTime != std::string::npos && summary.compare(afterTime, serial.size(), serial) == 0,
          "log line does not show the serial after the time");
    check(safeLine(runSummary(QByteArray::fromRawData(bytes.data(), qsizetype(bytes.size())))),
          "log line of a damaged record not safe");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // This machine's own zone, named once: without TZ the C library looks at /etc/localtime
    // again for every local time the `log` line converts, two system calls an input.
    setenv("TZ", ":/etc/localtime", 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char *>(data), size);
    const Texts texts(bytes);

    // A batch report row with the device's texts where a device or a name put them; kept from
    // one input to the next, so that its texts keep their room.
    static ReportRow row;
    row.serial.assign(texts.serial);
    row.serialHex = hexBytes(texts.serial);
    row.port.assign(texts.port);
    row.message.assign(texts.message);
    row.outcome = Outcome::Updated;
    checkCsvRow(row.csv(), texts);
    checkJsonRow(row.json(), texts);

    checkLog(texts, bytes);
    return 0;
}
