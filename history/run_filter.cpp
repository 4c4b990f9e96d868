#include "run_filter.h"
#include "outcome.h"
#include "safe_text.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTimeZone>
#include <algorithm>
#include <cstdio>
#include <cstdlib>

const char *const TimeBoundForms =
    "YYYY-MM-DD, YYYY-MM-DDTHH:MM or YYYY-MM-DDTHH:MM:SS (a space for the T; local time unless "
    "followed by Z or an offset such as +01:00)";

namespace {

// A time in this machine's local time with its offset from UTC: "2026-12-08 05:20:11 +0100".
QString localTime(const QDateTime &at)
{
    const QDateTime local = at.toLocalTime();
    const int minutes = local.offsetFromUtc() / 60;
    const int away = std::abs(minutes);
    const char sign = minutes < 0 ? '-' : '+';
    const QDate day = local.date();
    const QTime time = local.time();
    // Written at once: a format string would be read anew for each of the runs `log` shows.
    // A year of more or fewer than four digits as the format says it.
    char text[64];
    if (day.year() < 1 || day.year() > 9999) {
        std::snprintf(text, sizeof text, "%c%02d%02d", sign, away / 60, away % 60);
        return local.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss ")) + QLatin1String(text);
    }
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d %c%02d%02d", day.year(), day.month(), day.day(),
                  time.hour(), time.minute(), time.second(), sign, away / 60, away % 60);
    return QString::fromLatin1(text);
}

std::optional<int> numberOf(const QJsonValue &v)
{
    return v.isDouble() ? std::optional<int>(v.toInt()) : std::nullopt;
}

// "68 -> 69", "68 -> -", or "-" when neither is known.
std::string firmwareShown(const RunFacts &run)
{
    if (!run.firmwareBefore && !run.firmwareAfter)
        return "fw -";
    auto one = [](const std::optional<int> &v) { return v ? std::to_string(*v) : std::string("-"); };
    return "fw " + one(run.firmwareBefore) + " -> " + one(run.firmwareAfter);
}

// "0.4 s", "12 s", "2 min 05 s"; "-" when unknown.
std::string durationShown(const std::optional<int64_t> &ms)
{
    if (!ms || *ms < 0)
        return "-";
    char text[48];
    if (*ms < 10'000)
        std::snprintf(text, sizeof text, "%.1f s", double(*ms) / 1000);
    else if (*ms < 120'000)
        std::snprintf(text, sizeof text, "%lld s", (long long)((*ms + 500) / 1000));
    else
        std::snprintf(text, sizeof text, "%lld min %02lld s", (long long)((*ms + 500) / 60'000),
                      (long long)((*ms + 500) / 1000 % 60));
    return text;
}

} // namespace

RunFacts recordFacts(const QJsonObject &o)
{
    RunFacts r;
    // What the run came to; a record without it says what the run said last (a question's
    // answer says less). Keys as views: `log` reads every record, and a key made a QString
    // costs an allocation each time.
    QString said = o[u"text"].toString();
    if (said.isEmpty())
        for (const QJsonValue &m : o[u"messages"].toArray())
            if (m[u"kind"].toString() != QLatin1String("question"))
                said = m[u"text"].toString();
    if (const QString hint = o[u"hint"].toString(); !hint.isEmpty())
        said += QStringLiteral(": ") + hint;
    r.text = said.toStdString();
    const QString end = o[u"end"].toString();
    r.end = QDateTime::fromString(end, Qt::ISODateWithMs);
    r.endKept = end.toStdString();
    const QDateTime start = QDateTime::fromString(o[u"start"].toString(), Qt::ISODateWithMs);
    if (start.isValid() && r.end.isValid())
        r.durationMs = start.msecsTo(r.end);
    const QJsonObject device = o[u"device"].toObject();
    r.serial = device[u"serial"].toString().toStdString();
    r.serialHex = device[u"serial_hex"].toString().toStdString();
    r.firmwareBefore = numberOf(device[u"firmware_version"]);
    r.firmwareAfter = numberOf(o[u"firmware_after"]);
    r.firmwareAfterKnown = o[u"firmware_after_known"].toString().toStdString();
    r.mayBeWithoutFirmware = o[u"may_be_without_firmware"].toBool();
    r.port = o[u"port"].toString().toStdString();
    r.socket = o[u"socket"].toString().toStdString();
    r.outcome = o[u"outcome"].toString().toStdString();
    return r;
}

std::string runLine(const RunFacts &run)
{
    auto orDash = [](const std::string &s) { return s.empty() ? std::string("-") : s; };
    std::string line = run.end.isValid() ? localTime(run.end).toStdString() : run.endKept;
    if (!run.host.empty())
        line += "  " + run.host;
    line += "  " + orDash(run.serial) + "  " + orDash(run.port);
    if (!run.socket.empty())
        line += " (" + run.socket + ")";
    line += "  " + run.outcome + (run.mayBeWithoutFirmware ? ", may be without working firmware" : "") + "  " +
            firmwareShown(run) + "  " + durationShown(run.durationMs);
    // Records written before device bytes were escaped may hold them raw: shown safely here,
    // so that no field can move the cursor or start a line of its own.
    const std::string said = QString::fromStdString(run.text).simplified().toStdString();
    return shownText(said.empty() ? line : line + "  " + said);
}

bool RunFilter::matches(const RunFacts &run) const
{
    if (!serial.empty() && run.serial != serial &&
        !(run.serialHex.size() == serial.size() &&
          std::equal(serial.begin(), serial.end(), run.serialHex.begin(),
                     [](char a, char b) { return std::toupper(uint8_t(a)) == std::toupper(uint8_t(b)); })))
        return false;
    // A run whose time does not read is in no span of time.
    if ((since || until) && !run.end.isValid())
        return false;
    if ((since && run.end < *since) || (until && !(run.end < *until)))
        return false;
    if (failed && succeeded(run.outcome))
        return false;
    return outcome.empty() || run.outcome == outcome;
}

bool parseTimeBound(const std::string &text, bool until, QDateTime &bound)
{
    static const QRegularExpression form(
        QStringLiteral(R"(^(\d{4})-(\d\d)-(\d\d)(?:[T ](\d\d):(\d\d)(?::(\d\d))?(Z|[+-]\d\d:?\d\d)?)?$)"));
    const QRegularExpressionMatch m = form.match(QString::fromStdString(text));
    if (!m.hasMatch())
        return false;
    const QDate day(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt());
    const bool timed = m.capturedLength(4) > 0, seconds = m.capturedLength(6) > 0;
    const QTime time = timed ? QTime(m.captured(4).toInt(), m.captured(5).toInt(), m.captured(6).toInt()) : QTime(0, 0);
    if (!day.isValid() || !time.isValid())
        return false;
    const QString offset = m.captured(7);
    if (offset.isEmpty()) {
        bound = QDateTime(day, time); // local time
    } else {
        const QString digits = QString(offset).remove(QLatin1Char(':'));
        const int minutes = offset == QLatin1String("Z") ? 0 : digits.mid(1, 2).toInt() * 60 + digits.mid(3, 2).toInt();
        if (minutes > 18 * 60)
            return false;
        bound = QDateTime(day, time, QTimeZone(offset.startsWith(QLatin1Char('-')) ? -minutes * 60 : minutes * 60));
    }
    if (until)
        bound = !timed ? bound.addDays(1) : bound.addSecs(seconds ? 1 : 60);
    return bound.isValid();
}

std::vector<std::string> outcomeNames()
{
    std::vector<std::string> names;
    for (const Outcome o : allOutcomes())
        for (const bool readOnly : {false, true})
            if (const std::string name = outcomeName(o, readOnly);
                std::find(names.begin(), names.end(), name) == names.end())
                names.push_back(name);
    return names;
}

std::string outcomeNamed(const std::string &name)
{
    std::string spaced = name;
    std::replace(spaced.begin(), spaced.end(), '_', ' ');
    const std::vector<std::string> names = outcomeNames();
    return std::find(names.begin(), names.end(), spaced) != names.end() ? spaced : std::string();
}
