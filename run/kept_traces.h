#pragma once
#include <QByteArray>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class QDateTime;
struct RunStore;

// A failed run's byte trace outlives the next run in its place (the next device of its batch
// slot writes the same last-trace-K.log): it moves into the store's failed-traces/ folder
// under a name of its own, and the run's record names it in its `trace` field.
inline constexpr const char *KeptTraceFolder = "failed-traces";

// "20261209T014512Z-0A1B2C3D-2.log": when the run ended (UTC, so that the names sort by
// time), the device's serial in hexadecimal ("unknown" for a device never identified) and the
// place of the trace it was (0 for a single run's); `again` > 1 for another run that ended in
// the same second with the same device and place: "...-2-3.log".
std::string keptTraceName(const QDateTime &end, const std::string &serialHex, long place, int again = 1);
// True only for names keptTraceName makes: nothing else in the folder is ever removed.
bool isKeptTraceName(std::string_view name);

// Which run the trace was, for its kept name.
struct KeptTraceOf {
    const QDateTime &end;
    std::string serialHex;   // empty: unknown
    int64_t writtenSinceMs = 0; // only a file written since then (ms since the epoch) is the run's
};

// Moves the store's trace file `traceName` into failed-traces/ (a rename: the same file
// system, never a copy) and keeps the folder within the store's bounds. Returns its name
// relative to the store's folder ("failed-traces/<name>"), empty when there is nothing to keep
// (no such file, or not written since `writtenSinceMs`) or with `reason` when it could not
// be moved. A symbolic link is never followed, nor moved.
std::string keepTrace(const RunStore &store, const std::string &traceName, const KeptTraceOf &run,
                      std::string &reason);

// The kept traces the records `runs` name in their `trace` fields ("failed-traces/<name>"),
// each once, oldest first. A field that names anything else is no trace of the store's.
std::vector<std::string> keptTracesOf(const std::vector<QByteArray> &runs);

// Reads a kept trace ("failed-traces/<name>") as the bundle takes it: a regular file of at
// most `maxBytes`, through no symbolic link; false with the reason.
bool readKeptTrace(const RunStore &store, const std::string &kept, size_t maxBytes, std::string &bytes,
                   std::string &reason);
