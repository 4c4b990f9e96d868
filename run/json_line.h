#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class QJsonObject;
class QJsonValue;

// One JSON object, written with its fields in the order they are added: an event's name
// first, then its fields in the order the code that builds it chose, so every line of the
// same event reads the same. Texts are always strict UTF-8 (jsonQuoted); nothing is ever
// edited as text once built: a field is added to the object, and the object written.
class JsonLine {
public:
    JsonLine() = default;
    // An event: its "event" field comes first.
    static JsonLine event(std::string_view name);

    JsonLine &text(std::string_view key, std::string_view value);
    JsonLine &number(std::string_view key, long long value);
    JsonLine &flag(std::string_view key, bool value);
    JsonLine &null(std::string_view key);
    // A number with this many digits after the point: 12.0, 0.5.
    JsonLine &fixed(std::string_view key, double value, int decimals);
    JsonLine &object(std::string_view key, const JsonLine &value);
    JsonLine &objects(std::string_view key, const std::vector<JsonLine> &values);
    // A value read from another program's line (a worker's event), written compactly.
    JsonLine &value(std::string_view key, const QJsonValue &value);
    // Every field of `o` but those in `except`, "event" first when it is there and not
    // excepted, then the rest in the order their keys sort: a line read back keeps one order.
    JsonLine &fields(const QJsonObject &o, const std::vector<std::string> &except = {});

    // Another object's fields after these, in their order.
    JsonLine &append(const JsonLine &other);

    bool has(std::string_view key) const;
    bool empty() const { return fields_.empty(); }
    // The object on one line, without a line end.
    std::string str() const;

private:
    JsonLine &add(std::string_view key, std::string encoded);
    std::vector<std::pair<std::string, std::string>> fields_;
};

struct DeviceRecord;
// Who a device is, the same in every line that names one (a plan, info's device, a record's
// device, the other device that answered in a planned one's place): its serial shown safely
// and as its bytes in hexadecimal, its hardware version, its firmware version (null when it
// was no two digits: the 0 the record was cleared to is none) and its firmware's date.
JsonLine identityJson(const DeviceRecord &record);
// The device's firmware date as identityJson writes it, YYYY-MM-DD; empty when it gave none,
// and its bytes shown escaped when they are not six digits.
std::string firmwareDateText(const DeviceRecord &record);
// The device's six digits (YYMMDD) of such a date, as a batch reads a worker's plan; empty
// for anything else.
std::string deviceDateOf(std::string_view text);
