#include "run_history.h"
#include "regular_file.h"
#include "run_store.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <cerrno>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The runs of one file, line by line, keeping only the last `count`.
class RunLines {
public:
    RunLines(int count, std::deque<QByteArray> &runs, int &tooLong, const RunTest &keep)
        : count_(count), runs_(runs), tooLong_(tooLong), keep_(keep)
    {
    }

    void take(const char *data, size_t size)
    {
        while (size > 0) {
            const char *end = static_cast<const char *>(std::memchr(data, '\n', size));
            const size_t part = end ? size_t(end - data) : size;
            if (!overLong_ && size_t(line_.size()) + part > MaxRunLineBytes) {
                overLong_ = true;
                line_.clear();
            }
            if (!overLong_)
                line_.append(data, qsizetype(part));
            if (!end)
                return;
            endLine();
            data = end + 1;
            size -= part + 1;
        }
    }
    // The last line, should the file not end with a line end.
    void finish()
    {
        if (overLong_ || !line_.isEmpty())
            endLine();
    }

private:
    void endLine()
    {
        // Each line as it was kept: a support bundle carries its bytes unchanged.
        if (overLong_) {
            ++tooLong_;
        } else if (const QJsonDocument run = QJsonDocument::fromJson(line_);
                   run.isObject() && (!keep_ || keep_(run.object()))) {
            runs_.push_back(line_);
            if (int(runs_.size()) > count_)
                runs_.pop_front();
        }
        line_.clear();
        overLong_ = false;
    }

    int count_;
    std::deque<QByteArray> &runs_;
    int &tooLong_;
    const RunTest &keep_;
    QByteArray line_;
    bool overLong_ = false;
};

// Appends the file's runs to `runs`, keeping only the last `count`; a missing file has none.
// With `leftOut`, so has one the record never writes there (a link, a FIFO), named in it.
bool readRunsFile(const std::string &path, int count, std::deque<QByteArray> &runs, int &tooLong, const RunTest &keep,
                  std::string &error, std::vector<std::string> *leftOut)
{
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 && errno == ENOENT)
        return true;
    // As the record writes it: a FIFO in its place must not hold the open, a link is not followed.
    std::string reason;
    const int fd = openRegularFile(path, O_RDONLY, false, reason);
    if (fd < 0 && leftOut && (reason == NotARegularFile || reason == LinkNotFollowed)) {
        leftOut->push_back(path + ": " + reason); // the other file's runs are still shown
        return true;
    }
    if (fd < 0) {
        error = path + ": " + reason;
        return false;
    }
    RunLines lines(count, runs, tooLong, keep);
    char buffer[64 << 10];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = path + ": " + std::strerror(errno);
            ::close(fd);
            return false;
        }
        lines.take(buffer, size_t(n));
    }
    ::close(fd);
    lines.finish();
    return true;
}

} // namespace

bool readRuns(const RunStore &store, int count, std::vector<QByteArray> &runs, std::string &error, int *tooLong,
              const RunTest &keep, std::vector<std::string> *leftOut)
{
    std::deque<QByteArray> last;
    int skipped = 0;
    std::vector<std::string> notRead;
    // Something odd in the moved-aside file's place hides none of the current runs; in the
    // current file's place it stops the reading, as it stops the record's writing.
    if (!readRunsFile(store.runsPath() + ".1", count, last, skipped, keep, error, &notRead) ||
        !readRunsFile(store.runsPath(), count, last, skipped, keep, error, nullptr))
        return false;
    if (leftOut)
        *leftOut = std::move(notRead);
    runs.assign(last.rbegin(), last.rend());
    if (tooLong)
        *tooLong = skipped;
    return true;
}
