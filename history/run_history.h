#pragma once
#include <QByteArray>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

class QJsonObject;
struct RunStore;

// Which runs to keep, asked of each as it is read; none: all of them.
using RunTest = std::function<bool(const QJsonObject &run)>;

// How many of the last runs `log` shows, and a support bundle holds, unless told.
inline constexpr int DefaultLogRuns = 20;
// A line of the record longer than this is no run the tool wrote (the record moves aside at
// 1 MiB, and a whole update's line is a few kilobytes): it is skipped unkept, and counted.
inline constexpr size_t MaxRunLineBytes = 1u << 20;

// The last `count` runs kept in the store (the moved-aside file first), newest first, each
// as its stored line without its line end; lines that are no JSON object (a write cut short)
// are left out, and lines over MaxRunLineBytes too, counted in `tooLong` when given. The files
// are read a piece at a time: only the last `count` runs are held, however long the files.
// With `keep`, only the runs it keeps count (asked while reading, so the bound still holds).
// False with `error` when a file is there but cannot be read; a moved-aside file that is no
// regular file (a link, a FIFO) is passed over, the current one read, and named with why in
// `leftOut` when given.
bool readRuns(const RunStore &store, int count, std::vector<QByteArray> &runs, std::string &error,
              int *tooLong = nullptr, const RunTest &keep = {}, std::vector<std::string> *leftOut = nullptr);
