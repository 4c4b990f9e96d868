#include "json_line.h"
#include "readout.h"
#include "safe_text.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

JsonLine JsonLine::event(std::string_view name)
{
    return JsonLine().text("event", name);
}

JsonLine &JsonLine::add(std::string_view key, std::string encoded)
{
    if (fields_.empty())
        fields_.reserve(8); // most objects have a few fields: room for them at once
    fields_.emplace_back(std::string(key), std::move(encoded));
    return *this;
}

JsonLine &JsonLine::text(std::string_view key, std::string_view value) { return add(key, jsonQuoted(value)); }
JsonLine &JsonLine::number(std::string_view key, long long value) { return add(key, std::to_string(value)); }
JsonLine &JsonLine::flag(std::string_view key, bool value) { return add(key, value ? "true" : "false"); }
JsonLine &JsonLine::null(std::string_view key) { return add(key, "null"); }
JsonLine &JsonLine::fixed(std::string_view key, double value, int decimals)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, std::isfinite(value) ? value : 0.0);
    return add(key, text);
}

JsonLine &JsonLine::append(const JsonLine &other)
{
    fields_.insert(fields_.end(), other.fields_.begin(), other.fields_.end());
    return *this;
}

JsonLine &JsonLine::object(std::string_view key, const JsonLine &value) { return add(key, value.str()); }

JsonLine &JsonLine::objects(std::string_view key, const std::vector<JsonLine> &values)
{
    std::string list = "[";
    for (const JsonLine &v : values)
        list += (list.size() > 1 ? "," : "") + v.str();
    return add(key, list + "]");
}

namespace {

std::string encoded(const QJsonValue &v)
{
    switch (v.type()) {
    case QJsonValue::Bool:
        return v.toBool() ? "true" : "false";
    case QJsonValue::Double: {
        const double d = v.toDouble();
        if (std::isfinite(d) && d == std::trunc(d) && std::fabs(d) < 9e15)
            return std::to_string((long long)d);
        return QJsonDocument(QJsonArray {v}).toJson(QJsonDocument::Compact).mid(1).chopped(1).toStdString();
    }
    case QJsonValue::String:
        return jsonQuoted(v.toString().toStdString());
    case QJsonValue::Array: {
        std::string list = "[";
        for (const QJsonValue &e : v.toArray())
            list += (list.size() > 1 ? "," : "") + encoded(e);
        return list + "]";
    }
    case QJsonValue::Object:
        return JsonLine().fields(v.toObject()).str();
    default:
        return "null";
    }
}

} // namespace

JsonLine &JsonLine::value(std::string_view key, const QJsonValue &v) { return add(key, encoded(v)); }

JsonLine &JsonLine::fields(const QJsonObject &o, const std::vector<std::string> &except)
{
    auto excepted = [&](const std::string &k) { return std::find(except.begin(), except.end(), k) != except.end(); };
    if (o.contains("event") && !excepted("event") && !has("event"))
        value("event", o.value("event"));
    for (auto it = o.begin(); it != o.end(); ++it) { // QJsonObject keeps its keys sorted
        const std::string key = it.key().toStdString();
        if (key != "event" && !excepted(key))
            value(key, it.value());
    }
    return *this;
}

bool JsonLine::has(std::string_view key) const
{
    return std::any_of(fields_.begin(), fields_.end(), [&](const auto &f) { return f.first == key; });
}

namespace {

// Whether JSON says `key` as it is between its quotes (jsonQuoted adds nothing else): true
// for every key this program names itself.
bool plainKey(std::string_view key)
{
    for (const char c : key)
        if (c < 0x20 || c > 0x7E || c == '"' || c == '\\')
            return false;
    return true;
}

} // namespace

std::string JsonLine::str() const
{
    // One allocation for the line: every report row and record line is written this way.
    size_t size = 2;
    for (const auto &[key, value] : fields_)
        size += key.size() + value.size() + 4;
    std::string line;
    line.reserve(size);
    line += '{';
    for (const auto &[key, value] : fields_) {
        if (line.size() > 1)
            line += ',';
        if (plainKey(key))
            line.append(1, '"').append(key).append("\":");
        else
            line.append(jsonQuoted(key)).append(1, ':');
        line += value;
    }
    line += '}';
    return line;
}

JsonLine identityJson(const DeviceRecord &record)
{
    const std::string serial = serialBytes(record);
    JsonLine o;
    o.text("serial", shownText(serial)).text("serial_hex", hexBytes(serial));
    o.number("hardware_version", record.hardwareVersion);
    record.firmwareUnreadable ? o.null("firmware_version") : o.number("firmware_version", record.firmwareVersion);
    return o.text("firmware_date", firmwareDateText(record));
}

namespace {

bool digits(std::string_view text)
{
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

std::string firmwareDateText(const DeviceRecord &record)
{
    const std::string d(record.firmwareDate, strnlen(record.firmwareDate, sizeof record.firmwareDate));
    if (d.size() != 6 || !digits(d))
        return shownText(d); // the device's bytes, whatever they are
    return "20" + d.substr(0, 2) + "-" + d.substr(2, 2) + "-" + d.substr(4, 2);
}

std::string deviceDateOf(std::string_view text)
{
    if (text.size() != 10 || text.substr(0, 2) != "20" || text[4] != '-' || text[7] != '-')
        return {};
    const std::string d = std::string(text.substr(2, 2)) + std::string(text.substr(5, 2)) + std::string(text.substr(8, 2));
    return digits(d) ? d : std::string();
}
