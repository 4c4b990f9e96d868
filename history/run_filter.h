#pragma once
#include <QDateTime>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class QJsonObject;

// What `log` shows of one run, wherever it was read from: the record's line or a journal
// entry. Texts as kept (the record and the journal keep device bytes shown safely already).
struct RunFacts {
    std::string host;         // the station it ran on (the journal's); empty for the record
    QDateTime end;            // when it ended; invalid when the record's time does not read
    std::string endKept;      // the record's time as kept, for one that does not read
    std::string serial, serialHex, port, socket, outcome, text;
    std::optional<int> firmwareBefore, firmwareAfter;
    std::string firmwareAfterKnown; // "read back", "confirmed", or empty where not said
    std::optional<int64_t> durationMs;
    std::string program, batch; // for the journal's JSON
    std::optional<int> exitStatus;
    bool mayBeWithoutFirmware = false; // as the run said it; false where it was not said
};

// The facts of one line of the record.
RunFacts recordFacts(const QJsonObject &run);

// One run on one line: end time (local), the host when there is one, serial, port (with its
// socket's name), outcome, firmware before -> after, duration and what it came to; shown safely.
std::string runLine(const RunFacts &run);

// Which runs `log` shows: each filter given must hold (all of them at once).
struct RunFilter {
    std::string serial;                 // the serial as shown, or its bytes in hex (any case)
    std::optional<QDateTime> since;     // ended at or after this
    std::optional<QDateTime> until;     // ended before this
    bool failed = false;                // only runs that did not succeed
    std::string outcome;                // only runs that came to this (the record's name)
    bool any() const { return !serial.empty() || since || until || failed || !outcome.empty(); }
    bool matches(const RunFacts &run) const;
};

// A time bound as given to --since/--until: "2026-12-09", "2026-12-09T14:30" or
// "2026-12-09 14:30:05", local time unless followed by Z or an offset (+01:00, -0500).
// A bound for --until covers the whole of what it names: the day, the minute or the second,
// so it is the first moment after it. False when the text is none of these forms.
bool parseTimeBound(const std::string &text, bool until, QDateTime &bound);
// The forms parseTimeBound reads, for a usage error.
extern const char *const TimeBoundForms;

// The outcome names the record and the journal use, in exit status order.
std::vector<std::string> outcomeNames();
// `name` as an outcome name: as it is, or with _ for its spaces; empty when it is none.
std::string outcomeNamed(const std::string &name);
