#pragma once
#include "run_history.h"

#include <QByteArray>
#include <iosfwd>
#include <string>
#include <vector>

struct RunFilter;
struct RunStore;

// One run of the record on one line (see runLine): end time, serial, port, outcome, firmware
// before and after, duration, and the last thing the operator was told.
std::string runSummary(const QByteArray &run);

// `mova-update log`: the last `count` runs that pass the filter, newest first, as summaries or
// (json) as stored; the exit code.
int printLog(const RunStore &store, bool json, int count, const RunFilter &filter, std::ostream &out,
             std::ostream &err);

// `mova-update log --journal` (folder empty) or `--journal-dir folder`: the runs the journal
// keeps, as printLog shows the record's, each with its station's host name; json: one object
// a run (journalRunJson). The exit code: 1 for a folder that is not there or holds no journal.
int printJournal(const std::string &folder, bool json, int count, const RunFilter &filter, std::ostream &out,
                 std::ostream &err);

// `mova-update log --export FILE`: the support bundle of the last `count` runs that pass the
// filter, with the device list `listText` (see writeSupportBundle), and one line (json: one
// object) saying what it holds; the exit code.
int exportLog(const RunStore &store, int count, const RunFilter &filter, const std::string &file,
              const std::string &listText, bool json, std::ostream &out, std::ostream &err);
