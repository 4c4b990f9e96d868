#pragma once
#include "run_history.h"

#include <QByteArray>
#include <iosfwd>
#include <string>
#include <vector>

struct RunStore;

// One run on one line: end time, serial, port, outcome, and the last thing the operator
// was told.
std::string runSummary(const QByteArray &run);

// `mova-update log`: the runs newest first, as summaries or (json) as stored; the exit code.
int printLog(const RunStore &store, bool json, int count, std::ostream &out, std::ostream &err);

// `mova-update log --export FILE`: the support bundle of the last `count` runs with the
// device list `listText` (see writeSupportBundle), and one line (json: one object) saying
// what it holds; the exit code.
int exportLog(const RunStore &store, int count, const std::string &file, const std::string &listText, bool json,
              std::ostream &out, std::ostream &err);
