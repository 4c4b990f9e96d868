#include "kept_traces.h"
#include "regular_file.h"
#include "run_store.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
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

const std::string &KeptPrefix = KeptTracePrefix;

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

std::string keptTraceName(const QDateTime &end, const std::string &serialHex, const std::string &runId)
{
    return end.toUTC().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'")).toStdString() + "-" +
           (serialHex.empty() ? std::string("unknown") : serialHex) + "-" + runId + ".log";
}

bool isKeptTraceName(std::string_view name)
{
    // Read by hand, not by a pattern: the file writer's thread asks it, and may still be at it
    // while the program's statics go.
    auto all = [](std::string_view text, const char *of, size_t least, size_t most) {
        return text.size() >= least && text.size() <= most && text.find_first_not_of(of) == std::string_view::npos;
    };
    const std::string_view tail = ".log";
    if (name.size() < 17 + tail.size() || name.substr(name.size() - tail.size()) != tail)
        return false;
    name.remove_suffix(tail.size());
    if (!all(name.substr(0, 8), "0123456789", 8, 8) || name[8] != 'T' || !all(name.substr(9, 6), "0123456789", 6, 6) ||
        name.substr(15, 2) != "Z-")
        return false;
    name.remove_prefix(17);
    const size_t dash = name.find('-');
    const std::string_view serial = name.substr(0, dash), run = dash == name.npos ? std::string_view() : name.substr(dash + 1);
    if (!(serial == "unknown" || all(serial, "0123456789ABCDEF", 2, 64)))
        return false;
    // The run's id; an earlier version's place, and its count of runs ending together.
    const size_t again = run.find('-');
    return isRunId(std::string(run)) ||
           (all(run.substr(0, again), "0123456789", 1, 9) &&
            (again == run.npos || all(run.substr(again + 1), "0123456789", 1, 2)));
}

std::string keepTrace(const RunStore &store, const std::string &traceName, const std::string &keptName,
                      std::string &reason)
{
    if (store.folder.empty() || traceName.empty() || !isKeptTraceName(keptName))
        return {};
    const Descriptor folder {::open(store.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    struct stat st;
    if (folder.fd < 0 || ::fstatat(folder.fd, traceName.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT)
            reason = store.folder + ": " + std::strerror(errno);
        return {};
    }
    if (!S_ISREG(st.st_mode)) // only what the trace wrote is moved
        return {};
    const Descriptor kept {openKeptFolder(folder.fd, true, reason)};
    if (kept.fd < 0)
        return {};
    if (const int error = moveWithoutReplacing(folder.fd, traceName.c_str(), kept.fd, keptName.c_str())) {
        reason = traceName + " to " + KeptPrefix + keptName + ": " + std::strerror(error);
        return {};
    }
    pruneIn(kept.fd, store.keptTracesMax, store.keptTracesMaxBytes, keptName);
    return KeptPrefix + keptName;
}

void leaveAsLastTrace(const RunStore &store, const std::string &traceName, std::string &reason)
{
    if (store.folder.empty() || traceName.empty())
        return;
    const Descriptor folder {::open(store.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    struct stat st;
    if (folder.fd < 0 || ::fstatat(folder.fd, traceName.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT)
            reason = store.folder + ": " + std::strerror(errno);
        return;
    }
    if (!S_ISREG(st.st_mode)) // only what the trace wrote is moved
        return;
    // A rename replaces a link or a file in its place, never writes through it.
    if (::renameat(folder.fd, traceName.c_str(), folder.fd, RunStore::LastTrace) != 0)
        reason = traceName + " to " + RunStore::LastTrace + ": " + std::strerror(errno);
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
