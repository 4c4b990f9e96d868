#include "run_history.h"
#include "regular_file.h"
#include "run_record.h"

#include <QJsonDocument>
#include <cerrno>
#include <deque>
#include <sys/stat.h>

namespace {

// Appends the file's runs to `runs`, keeping only the last `count`; a missing file has none.
bool readRunsFile(const std::string &path, int count, std::deque<QByteArray> &runs, std::string &error)
{
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 && errno == ENOENT)
        return true;
    // As the record writes it: a FIFO in its place must not hold the open, a link is not followed.
    std::string bytes, reason;
    if (!readRegularFile(path, bytes, reason)) {
        error = path + ": " + reason;
        return false;
    }
    // Each line as it was kept: a support bundle carries its bytes unchanged.
    for (const QByteArray &line : QByteArray::fromStdString(bytes).split('\n')) {
        if (!QJsonDocument::fromJson(line).isObject())
            continue;
        runs.push_back(line);
        if (int(runs.size()) > count)
            runs.pop_front();
    }
    return true;
}

} // namespace

bool readRuns(const RunStore &store, int count, std::vector<QByteArray> &runs, std::string &error)
{
    std::deque<QByteArray> last;
    if (!readRunsFile(store.runsPath() + ".1", count, last, error) || !readRunsFile(store.runsPath(), count, last, error))
        return false;
    runs.assign(last.rbegin(), last.rend());
    return true;
}
