#pragma once
#include <QByteArray>
#include <string>
#include <vector>

struct RunStore;

// How many of the last runs `log` shows, and a support bundle holds, unless told.
inline constexpr int DefaultLogRuns = 20;

// The last `count` runs kept in the store (the moved-aside file first), newest first, each
// as its stored line without its line end; lines that are no JSON object (a write cut short)
// are left out. False with `error` when a file is there but cannot be read.
bool readRuns(const RunStore &store, int count, std::vector<QByteArray> &runs, std::string &error);
