#pragma once
#include <QByteArray>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class QDateTime;
struct RunStore;

// A failed run's byte trace is kept: it moves into the store's failed-traces/ folder under a
// name of its own, and the run's record names it in its `trace` field.
inline constexpr const char *KeptTraceFolder = "failed-traces";
inline const std::string KeptTracePrefix = std::string(KeptTraceFolder) + "/";

// "20261209T014512Z-0A1B2C3D-3f9a2c1b04d5e6f7.log": when the run ended (UTC, so that the names
// sort by time), the device's serial in hexadecimal ("unknown" for a device never identified)
// and the run's id.
std::string keptTraceName(const QDateTime &end, const std::string &serialHex, const std::string &runId);
// True only for names keptTraceName makes (and those of earlier versions, which ended in the
// place of the trace instead of the run): nothing else in the folder is ever removed.
bool isKeptTraceName(std::string_view name);

// Moves the store's trace file `traceName` to failed-traces/`keptName` (a rename: the same
// file system, never a copy) and keeps the folder within the store's bounds. Returns its name
// relative to the store's folder ("failed-traces/<name>"), empty when there is nothing to keep
// (no such file) or with `reason` when it could not be moved. A symbolic link is never
// followed, nor moved.
std::string keepTrace(const RunStore &store, const std::string &traceName, const std::string &keptName,
                      std::string &reason);
// A successful run's trace becomes the store's last-trace.log (RunStore::LastTrace), in place
// of the one before; nothing when there is no such file, or `reason`.
void leaveAsLastTrace(const RunStore &store, const std::string &traceName, std::string &reason);

// The kept traces the records `runs` name in their `trace` fields ("failed-traces/<name>"),
// each once, oldest first. A field that names anything else is no trace of the store's.
std::vector<std::string> keptTracesOf(const std::vector<QByteArray> &runs);

// Reads a kept trace ("failed-traces/<name>") as the bundle takes it: a regular file of at
// most `maxBytes`, through no symbolic link; false with the reason.
bool readKeptTrace(const RunStore &store, const std::string &kept, size_t maxBytes, std::string &bytes,
                   std::string &reason);
