#pragma once
#include "run_history.h"

#include <QByteArray>
#include <cstdint>
#include <string>
#include <vector>

struct BuildSettings;
struct RunStore;

// What `mova-update --version` prints: the program's version, the carried firmware and the
// build's hardware version, each line ended.
std::string versionText(const BuildSettings &build);

// The name a support bundle is offered under, the same from the window and the station:
// "mova-support-WHO-YYYYMMDD-HHMMSS.tar.gz" in local time, WHO the device's serial (or its
// socket's name) with each byte but a letter, digit, '.', '_' or '-' as '_', and left out
// with its dash when empty.
std::string supportBundleName(const std::string &who, int64_t unixSeconds);

// What a support bundle took in, for the line that says it was written.
struct SupportBundle {
    int runs = 0;                     // run records in mova-support/runs.jsonl
    std::vector<std::string> traces;  // trace files in mova-support/traces/ (failed-traces/<name> for a kept one)
    int keptTraces = 0;               // of them, traces kept of failed runs
    std::vector<std::string> leftOut; // "<trace>: <why>" of those that could not be read
    int runsTooLong = 0;              // lines of the record over MaxRunLineBytes, left out
    std::vector<std::string> runsLeftOut; // "<record file>: <why>" of a link or FIFO in its place
    // "3 runs, 3 traces (last-trace.log, trace-3f9a2c1b04d5e6f7.log and 1 of a failed run), the
    // version and the device list"
    std::string summary() const;
};

// Writes the support bundle `path`, a gzip-compressed tar archive of exactly these members
// (mode 0644, owner root, the time of writing), and nothing else from the store's folder:
//   mova-support/runs.jsonl            the last `count` run records as `log` finds them,
//                                      oldest first, each line's bytes as kept
//   mova-support/traces/last-trace.log and each trace-<run id>.log (of a run still going, or
//                                      lost), byte for byte; a link, FIFO or device in a
//                                      trace's place is left out unread
//   mova-support/traces/failed-traces/ the kept traces of those runs that failed, by the
//                                      records' `trace` fields (keptTracesOf), by the same rules
//   mova-support/version.txt           versionText() and the build's settings
//   mova-support/list.txt              `listText`: what `mova-update list` prints
// The archive goes to a temporary file beside `path` (".<path's name>.XXXXXX", the name cut to
// fit) and is renamed into place once whole; a regular file there is replaced, anything else
// refused. A trace over 64 MiB is left out unread. False with `error` and no file left behind
// when it could not be written.
// With `keep`, the last `count` of the runs it keeps (readRuns).
bool writeSupportBundle(const std::string &path, const RunStore &store, int count, const std::string &listText,
                        SupportBundle &bundle, std::string &error, const RunTest &keep = {});

// Removes the temporary file of a bundle being written, if any: for the handler of a signal
// that ends the program, so that no half archive stays behind (async-signal-safe).
void removeBundleTemporary() noexcept;
