#include "kept_traces.h"
#include "regular_file.h"
#include "run_record.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A descriptor closed when it goes out of scope.
struct Descriptor {
    int fd;
    ~Descriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

const std::string KeptPrefix = std::string(KeptTraceFolder) + "/";
// More runs than this ending in one second with one device in one place are no runs.
constexpr int MostAgain = 99;

std::string systemReason(int error)
{
    return error == ELOOP ? LinkNotFollowed : std::strerror(error);
}

// The store's kept-traces folder, opened through no symbolic link (made when `make`); -1 with
// the reason.
int openKeptFolder(int storeFolder, bool make, std::string &reason)
{
    if (make && ::mkdirat(storeFolder, KeptTraceFolder, 0700) != 0 && errno != EEXIST) {
        reason = std::string(KeptTraceFolder) + ": " + std::strerror(errno);
        return -1;
    }
    const int fd = ::openat(storeFolder, KeptTraceFolder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        reason = std::string(KeptTraceFolder) + ": " + systemReason(errno);
    return fd;
}

// Moves `from` (in `folder`) to `to` (in `kept`) unless `to` is taken: 0, or the errno.
int moveWithoutReplacing(int folder, const char *from, int kept, const char *to)
{
    if (::renameat2(folder, from, kept, to, RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL)
        return errno;
    // A file system that cannot say "not over another": looked at first, then moved.
    struct stat st;
    if (::fstatat(kept, to, &st, AT_SYMLINK_NOFOLLOW) == 0)
        return EEXIST;
    return ::renameat(folder, from, kept, to) == 0 ? 0 : errno;
}

// Removes the oldest kept traces until at most `maxCount` remain and they hold at most
// `maxBytes` together; `spare` (the one just kept) stays whatever its size. Only regular files
// of keptTraceName's names are counted or removed.
void pruneIn(int kept, int maxCount, long long maxBytes, const std::string &spare)
{
    const int listing = ::openat(kept, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *dir = listing < 0 ? nullptr : ::fdopendir(listing);
    if (!dir) {
        if (listing >= 0)
            ::close(listing);
        return;
    }
    std::vector<std::pair<std::string, long long>> traces;
    long long total = 0;
    while (const dirent *entry = ::readdir(dir)) {
        struct stat st;
        if (isKeptTraceName(entry->d_name) && ::fstatat(kept, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(st.st_mode))
            traces.emplace_back(entry->d_name, st.st_size), total += st.st_size;
    }
    ::closedir(dir);
    // Their names begin with the time their runs ended: oldest first.
    std::sort(traces.begin(), traces.end());
    size_t left = traces.size();
    for (const auto &[name, size] : traces) {
        if (left <= size_t(std::max(maxCount, 0)) && total <= maxBytes)
            break;
        // Another program's prune may have taken it already.
        if (name != spare && (::unlinkat(kept, name.c_str(), 0) == 0 || errno == ENOENT))
            --left, total -= size;
    }
}

} // namespace

std::string keptTraceName(const QDateTime &end, const std::string &serialHex, long place, int again)
{
    std::string name = end.toUTC().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'")).toStdString() + "-" +
                       (serialHex.empty() ? std::string("unknown") : serialHex) + "-" + std::to_string(place);
    if (again > 1)
        name += "-" + std::to_string(again);
    return name + ".log";
}

bool isKeptTraceName(std::string_view name)
{
    static const QRegularExpression kept(
        QStringLiteral(R"(^[0-9]{8}T[0-9]{6}Z-([0-9A-F]{2,64}|unknown)-[0-9]{1,9}(-[0-9]{1,2})?\.log$)"),
        QRegularExpression::DontCaptureOption);
    return kept.match(QString::fromUtf8(name.data(), qsizetype(name.size()))).hasMatch();
}

std::string keepTrace(const RunStore &store, const std::string &traceName, const KeptTraceOf &run,
                      std::string &reason)
{
    if (store.folder.empty() || traceName.empty())
        return {};
    const Descriptor folder {::open(store.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    struct stat st;
    if (folder.fd < 0 || ::fstatat(folder.fd, traceName.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT)
            reason = store.folder + ": " + std::strerror(errno);
        return {};
    }
    // Only what the trace wrote is moved: a regular file, written during this run.
    const int64_t writtenMs = int64_t(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1'000'000;
    if (!S_ISREG(st.st_mode) || writtenMs < run.writtenSinceMs)
        return {};
    const Descriptor kept {openKeptFolder(folder.fd, true, reason)};
    if (kept.fd < 0)
        return {};
    const long place = std::max(RunStore::traceSlot(traceName), 0L);
    for (int again = 1; again <= MostAgain; ++again) {
        const std::string name = keptTraceName(run.end, run.serialHex, place, again);
        const int error = moveWithoutReplacing(folder.fd, traceName.c_str(), kept.fd, name.c_str());
        if (error == 0) {
            pruneIn(kept.fd, store.keptTracesMax, store.keptTracesMaxBytes, name);
            return KeptPrefix + name;
        }
        if (error != EEXIST) {
            reason = traceName + " to " + KeptPrefix + name + ": " + std::strerror(error);
            return {};
        }
    }
    reason = traceName + ": " + std::strerror(EEXIST);
    return {};
}

std::vector<std::string> keptTracesOf(const std::vector<QByteArray> &runs)
{
    std::set<std::string> names; // sorted by name: by time
    for (const QByteArray &run : runs) {
        const std::string trace = QJsonDocument::fromJson(run).object().value(u"trace").toString().toStdString();
        if (trace.size() > KeptPrefix.size() && trace.compare(0, KeptPrefix.size(), KeptPrefix) == 0 &&
            isKeptTraceName(std::string_view(trace).substr(KeptPrefix.size())))
            names.insert(trace);
    }
    return {names.begin(), names.end()};
}

bool readKeptTrace(const RunStore &store, const std::string &kept, size_t maxBytes, std::string &bytes,
                   std::string &reason)
{
    const Descriptor folder {::open(store.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (folder.fd < 0) {
        reason = std::strerror(errno);
        return false;
    }
    const Descriptor keptFolder {openKeptFolder(folder.fd, false, reason)};
    if (keptFolder.fd < 0)
        return false;
    // Not held by a FIFO in its place; a link is not followed.
    const std::string name = kept.substr(KeptPrefix.size());
    const Descriptor file {::openat(keptFolder.fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)};
    struct stat st;
    if (file.fd < 0 || ::fstat(file.fd, &st) != 0) {
        reason = systemReason(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        reason = NotARegularFile;
        return false;
    }
    return readOpenedFile(file.fd, maxBytes, bytes, reason);
}
