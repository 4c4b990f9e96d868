#pragma once
#include <QByteArray>
#include <iosfwd>
#include <string>
#include <vector>

struct RunStore;

// The last `count` runs kept in the store (the moved-aside file first), newest first, each
// as its stored line; lines that are no JSON object (a write cut short) are left out.
// False with `error` when a file is there but cannot be read.
bool readRuns(const RunStore &store, int count, std::vector<QByteArray> &runs, std::string &error);

// One run on one line: end time, serial, port, outcome, and the last thing the operator
// was told.
std::string runSummary(const QByteArray &run);

// `mova-update log`: the runs newest first, as summaries or (json) as stored; the exit code.
int printLog(const RunStore &store, bool json, int count, std::ostream &out, std::ostream &err);
