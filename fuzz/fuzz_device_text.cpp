// Bytes a device chooses (its serial, its USB strings) or a port's name, through every place
// they are shown or written: the terminal line, a JSON string, a CSV field, a batch report
// row in both forms, and the `log` line read back from a run record. What each place needs is
// checked with readers of this target's own, not with the rules under test.
#include "batch_report.h"
#include "cli_log.h"
#include "safe_text.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

// The readers below are this target's own: coverage of them would only lead the fuzzer away
// from the code under test, and their comparisons would slow every input.
#define READER __attribute__((no_sanitize("coverage")))

void check(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "device_text: %s\n", what);
        std::abort();
    }
}

// Hands each code point of strict UTF-8 to `f` (no overlong form, no surrogate, nothing past
// U+10FFFF); false at the first flaw, or when `f` says so.
template <typename F>
READER bool eachCodePoint(std::string_view s, F f)
{
    for (size_t i = 0; i < s.size();) {
        const auto lead = static_cast<unsigned char>(s[i]);
        size_t n = 1;
        char32_t cp = lead, least = 0;
        if (lead >= 0x80) {
            if ((lead & 0xE0) == 0xC0)
                n = 2, cp = lead & 0x1F, least = 0x80;
            else if ((lead & 0xF0) == 0xE0)
                n = 3, cp = lead & 0x0F, least = 0x800;
            else if ((lead & 0xF8) == 0xF0)
                n = 4, cp = lead & 0x07, least = 0x10000;
            else
                return false;
        }
        if (s.size() - i < n)
            return false;
        for (size_t k = 1; k < n; ++k) {
            const auto c = static_cast<unsigned char>(s[i + k]);
            if ((c & 0xC0) != 0x80)
                return false;
            cp = cp << 6 | (c & 0x3F);
        }
        if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF) || !f(cp))
            return false;
        i += n;
    }
    return true;
}

READER bool isControl(char32_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

// Valid UTF-8 holding no control of either set: one line that moves no cursor.
READER bool safeLine(std::string_view s)
{
    return eachCodePoint(s, [](char32_t c) { return !isControl(c); });
}

READER std::optional<std::string> fromHex(std::string_view hex)
{
    const auto digit = [](char c) { return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1; };
    if (hex.size() % 2)
        return std::nullopt;
    std::string bytes;
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int hi = digit(hex[i]), lo = digit(hex[i + 1]);
        if (hi < 0 || lo < 0)
            return std::nullopt;
        bytes += char(hi << 4 | lo);
    }
    return bytes;
}

// The fields of one CSV line, each still as written; nothing when a quoted field is not
// closed, or is followed by anything but a comma.
READER std::optional<std::vector<std::string_view>> csvSplit(std::string_view line)
{
    std::vector<std::string_view> fields;
    for (size_t at = 0;;) {
        size_t end = at;
        if (end < line.size() && line[end] == '"') {
            for (++end;; end += 2) {
                end = line.find('"', end);
                if (end == std::string_view::npos)
                    return std::nullopt;
                if (end + 1 >= line.size() || line[end + 1] != '"')
                    break;
            }
            ++end;
        } else {
            end = std::min(line.find(',', at), line.size());
        }
        fields.push_back(line.substr(at, end - at));
        if (end == line.size())
            return fields;
        if (line[end] != ',')
            return std::nullopt;
        at = end + 1;
    }
}

// What one CSV field holds, or nothing when it is malformed: quoted with its inner quotes
// doubled, or bare without a quote, a comma or a line break.
READER std::optional<std::string> csvContent(std::string_view field)
{
    if (field.empty() || field.front() != '"') {
        if (field.find_first_of(",\"\r\n") != std::string_view::npos)
            return std::nullopt;
        return std::string(field);
    }
    if (field.size() < 2 || field.back() != '"')
        return std::nullopt;
    std::string content;
    for (size_t i = 1; i + 1 < field.size(); ++i) {
        if (field[i] == '"') {
            if (i + 2 >= field.size() || field[i + 1] != '"')
                return std::nullopt;
            ++i;
        }
        content += field[i];
    }
    return content;
}

READER bool startsFormula(std::string_view text, std::string_view leads)
{
    return !text.empty() && leads.find(text.front()) != std::string_view::npos;
}

// One field as a spreadsheet meets it: nothing it runs, and the text as the terminal shows
// it behind the apostrophe that neutralises a formula.
READER void checkCsvField(std::string_view field, std::string_view bytes, std::string_view shown)
{
    check(safeLine(field), "CSV field not safe UTF-8 on one line");
    const auto content = csvContent(field);
    check(content.has_value(), "CSV field malformed");
    check(!startsFormula(*content, "=+-@"), "CSV field starts a formula");
    const bool formula = startsFormula(bytes, "=+-@\t\r");
    check(!formula || content->rfind('\'', 0) == 0, "formula not led by an apostrophe");
    check(std::string_view(*content).substr(formula ? 1 : 0) == shown, "CSV field says other than the terminal");
}

// The JSON text's one string, when it is exactly one valid JSON string.
READER std::optional<QString> jsonString(const std::string &quoted)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString("[" + quoted + "]"), &error);
    if (error.error != QJsonParseError::NoError || !doc.isArray() || doc.array().size() != 1 || !doc.array()[0].isString())
        return std::nullopt;
    return doc.array()[0].toString();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string bytes(reinterpret_cast<const char *>(data), size);
    const bool printable = safeLine(bytes);
    const bool noC1 = eachCodePoint(bytes, [](char32_t c) { return c < 0x80 || c > 0x9F; });

    // The terminal line.
    const std::string shown = shownText(bytes);
    check(safeLine(shown), "shown text not safe UTF-8 on one line");
    check(shownText(shown) == shown, "showing the shown text changes it");
    check(!printable || shown == bytes, "printable text not shown as it is");

    // The exact bytes.
    const std::string hex = hexBytes(bytes);
    check(fromHex(hex) == bytes, "hexadecimal does not give back the bytes");

    // A JSON string: strict UTF-8, no raw control, and the text itself whenever it is UTF-8.
    const std::string quoted = jsonQuoted(bytes);
    check(safeLine(quoted), "JSON string not safe UTF-8 on one line");
    const auto value = jsonString(quoted);
    check(value.has_value(), "JSON string does not parse as one string");
    check(!noC1 || value->toStdString() == bytes, "JSON string does not carry the text");

    // A CSV field.
    checkCsvField(csvField(bytes), bytes, shown);

    // A batch report row with the bytes wherever a device or a name put them.
    ReportRow row;
    row.port = row.serial = row.message = bytes;
    row.serialHex = hex;
    row.outcome = Outcome::Updated;
    const std::string csv = row.csv();
    check(safeLine(csv), "report CSV line not safe UTF-8 on one line");
    static const std::vector<std::string_view> header =
        csvSplit(BatchReport::CsvHeader).value_or(std::vector<std::string_view> {});
    const auto column = [](std::string_view name) { return size_t(std::find(header.begin(), header.end(), name) - header.begin()); };
    static const size_t port = column("port"), serial = column("serial"), message = column("message"),
                        serialHex = column("serial_hex");
    const auto fields = csvSplit(csv);
    check(std::max({port, serial, message, serialHex}) < header.size(), "report CSV header lacks a column");
    check(fields && fields->size() == header.size(), "report CSV line has other columns than its header");
    for (const size_t at : {port, serial, message})
        checkCsvField((*fields)[at], bytes, shown);
    check(fromHex(csvContent((*fields)[serialHex]).value_or("-")) == bytes, "report CSV serial_hex is not the bytes");

    const std::string json = row.json();
    check(safeLine(json), "report JSON line not safe UTF-8 on one line");
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(json));
    check(doc.isObject(), "report JSON line is no object");
    for (const char *key : {"serial", "port"})
        check(doc.object()[key].toString().toStdString() == shown, "report JSON serial or port not as shown");
    check(fromHex(doc.object()["serial_hex"].toString().toStdString()) == bytes, "report JSON serial_hex is not the bytes");

    // The `log` line: from a record as written now (the serial shown safely, the port and
    // the last message as they came), and from a line of any bytes, as a damaged file holds.
    const QString raw = QString::fromUtf8(bytes.data(), qsizetype(bytes.size()));
    const QJsonObject record {{"end", "2024-05-01T10:00:00+02:00"},
                              {"device", QJsonObject {{"serial", QString::fromStdString(shown)}}},
                              {"port", raw},
                              {"outcome", "updated"},
                              {"text", raw},
                              {"messages", QJsonArray {QJsonObject {{"kind", "message"}, {"text", raw}}}}};
    const std::string summary = runSummary(QJsonDocument(record).toJson(QJsonDocument::Compact));
    check(safeLine(summary), "log line not safe UTF-8 on one line");
    check(bytes.empty() || summary.find(shown) != std::string::npos, "log line does not show the serial");
    check(safeLine(runSummary(QByteArray::fromStdString(bytes))), "log line of a damaged record not safe");
    return 0;
}
