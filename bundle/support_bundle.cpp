#include "support_bundle.h"
#include "build_settings.h"
#include "build_settings_generated.h"
#include "discovery.h"
#include "kept_traces.h"
#include "regular_file.h"
#include "run_history.h"
#include "run_store.h"
#include "tar_gz.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef QTX_APP_VERSION
#error "QTX_APP_VERSION names the version the bundle carries"
#endif

namespace {

const std::string BundleFolder = "mova-support/";

// The store's trace files: the last successful run's first, then those of runs still going
// or lost (and an earlier version's places) by name.
bool traceNames(const std::string &folder, std::vector<std::string> &names, std::string &error)
{
    DIR *dir = folder.empty() ? nullptr : ::opendir(folder.c_str());
    if (!dir) {
        if (folder.empty() || errno == ENOENT)
            return true;
        error = folder + ": " + std::strerror(errno);
        return false;
    }
    while (const dirent *entry = ::readdir(dir))
        if (RunStore::isTraceFileName(entry->d_name))
            names.push_back(entry->d_name);
    ::closedir(dir);
    std::sort(names.begin(), names.end(), [](const std::string &a, const std::string &b) {
        return std::make_pair(a != RunStore::LastTrace, a) < std::make_pair(b != RunStore::LastTrace, b);
    });
    return true;
}

std::string buildSettingsText(const BuildSettings &build)
{
    return "\nbuild settings\nfirmware name     " + build.firmwareName + "\nfirmware version  " +
           build.firmwareVersion + "\nfirmware date     " + build.firmwareDate + "\nhardware version  " +
           build.hardwareVersion + "\ndevice USB id     " QTX_DEVICE_USB_ID "\nUSB id in use     " +
           usbIdText(deviceUsbId()) + "\n";
}

// A trace in the store is cut at 8 MiB; a file far over it is no trace the tool wrote.
constexpr size_t MaxTraceBytes = 64u << 20;
constexpr const char *TemporaryEnd = ".XXXXXX"; // mkostemp's letters

// The temporary file being written, for a signal that ends the program to take along: a
// handler reads only these two.
char temporaryPath[PATH_MAX];
volatile sig_atomic_t temporaryKept = 0;

// Signals that end the program wait while the temporary's name is set or cleared.
class QuietSignals {
public:
    QuietSignals()
    {
        sigset_t stop;
        sigemptyset(&stop);
        for (int s : {SIGINT, SIGTERM, SIGHUP})
            sigaddset(&stop, s);
        ::pthread_sigmask(SIG_BLOCK, &stop, &before_);
    }
    ~QuietSignals() { ::pthread_sigmask(SIG_SETMASK, &before_, nullptr); }
    QuietSignals(const QuietSignals &) = delete;
    QuietSignals &operator=(const QuietSignals &) = delete;

private:
    sigset_t before_;
};

void forgetTemporary()
{
    QuietSignals quiet;
    temporaryKept = 0;
}

// The temporary's name: ".<name>.XXXXXX", the name cut (at a character's start) so that the
// whole fits in a folder entry however long the user's name is.
std::string temporaryName(const std::string &base)
{
    size_t keep = std::min(base.size(), size_t(NAME_MAX) - 1 - std::strlen(TemporaryEnd));
    while (keep < base.size() && keep > 0 && (uint8_t(base[keep]) & 0xC0) == 0x80)
        --keep; // not inside a UTF-8 character
    return "." + base.substr(0, keep) + TemporaryEnd;
}

// The temporary file beside `path` the archive is written to; -1 with the reason.
int openBeside(const std::string &path, std::string &temporary, std::string &error)
{
    const size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    temporary = folder + "/" + temporaryName(base);
    if (temporary.size() >= sizeof temporaryPath) {
        error = path + ": " + std::strerror(ENAMETOOLONG);
        return -1;
    }
    QuietSignals quiet;
    // Private to its owner, as the record it carries is.
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        error = path + ": cannot make a file in " + folder + ": " + std::strerror(errno);
        return fd;
    }
    std::memcpy(temporaryPath, temporary.c_str(), temporary.size() + 1);
    temporaryKept = 1;
    return fd;
}

} // namespace

void removeBundleTemporary() noexcept
{
    if (temporaryKept)
        ::unlink(temporaryPath);
}

std::string versionText(const BuildSettings &build)
{
    return "mova-update " QTX_APP_VERSION "\ncarried firmware  " + build.firmwareName + "\nhardware version  " +
           std::to_string(build.expectedHardwareVersion()) + "\n";
}

std::string supportBundleName(const std::string &who, int64_t unixSeconds)
{
    std::string name = "mova-support-";
    for (const char c : who) {
        const bool kept = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                          c == '.' || c == '_' || c == '-';
        name += kept ? c : '_';
    }
    if (!who.empty())
        name += '-';
    const time_t when = time_t(unixSeconds);
    tm local {};
    char stamp[32] = {};
    localtime_r(&when, &local);
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    return name + stamp + ".tar.gz";
}

std::string SupportBundle::summary() const
{
    std::string text = std::to_string(runs) + (runs == 1 ? " run, " : " runs, ");
    // The store's traces by name; the kept ones, up to one for each run, by their number.
    std::vector<std::string> parts(traces.begin(), traces.end() - std::min<size_t>(keptTraces, traces.size()));
    if (keptTraces > 0)
        parts.push_back(std::to_string(keptTraces) + (keptTraces == 1 ? " of a failed run" : " of failed runs"));
    if (traces.empty())
        text += "no trace";
    else
        text += std::to_string(traces.size()) + (traces.size() == 1 ? " trace (" : " traces (");
    for (size_t i = 0; i < parts.size(); ++i)
        text += (i == 0 ? "" : i + 1 == parts.size() ? " and " : ", ") + parts[i];
    return text + (traces.empty() ? "" : ")") + ", the version and the device list";
}

namespace {

// Adds the traces `names` to the archive, each read by `read`; those that cannot be read are
// said in the bundle's left-out list. False when the archive could not take one.
template <typename Read>
bool addTraces(TarGzWriter &archive, const std::vector<std::string> &names, Read read, SupportBundle &bundle)
{
    for (const std::string &name : names) {
        std::string bytes, reason;
        if (!read(name, bytes, reason)) {
            bundle.leftOut.push_back(name + ": " + reason);
            continue;
        }
        if (!archive.add(BundleFolder + "traces/" + name, QByteArray::fromStdString(bytes)))
            return false;
        bundle.traces.push_back(name);
    }
    return true;
}

// The bundle of these runs (newest first, as readRuns gives them).
bool writeBundle(const std::string &path, const RunStore &store, const std::vector<QByteArray> &runs,
                 const std::string &listText, SupportBundle &bundle, std::string &error)
{
    bundle = {};
    struct stat st;
    if (path.empty() || path.back() == '/') {
        error = path + ": not a file name";
        return false;
    }
    // A file there is replaced as a whole; what is not a file (a folder, a device, a link to
    // somewhere) is not the user's earlier bundle and stays as it is.
    if (::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        error = path + ": " + (S_ISLNK(st.st_mode) ? LinkNotFollowed : NotARegularFile) + ", not replaced";
        return false;
    }
    std::vector<std::string> traces;
    if (!store.folder.empty() && !traceNames(store.folder, traces, error))
        return false;
    QByteArray kept;
    for (auto run = runs.rbegin(); run != runs.rend(); ++run)
        kept += *run + '\n';

    std::string temporary;
    const int fd = openBeside(path, temporary, error);
    if (fd < 0)
        return false;
    TarGzWriter archive(fd, int64_t(std::time(nullptr)));
    bool ok = archive.add(BundleFolder + "runs.jsonl", kept);
    // Read only from a regular file of its own, as the record writes it.
    ok = ok && addTraces(archive, traces, [&](const std::string &name, std::string &bytes, std::string &reason) {
        return readRegularFile(store.folder + "/" + name, MaxTraceBytes, bytes, reason);
    }, bundle);
    const size_t placeTraces = bundle.traces.size();
    ok = ok && addTraces(archive, keptTracesOf(runs), [&](const std::string &name, std::string &bytes, std::string &reason) {
        return readKeptTrace(store, name, MaxTraceBytes, bytes, reason);
    }, bundle);
    bundle.keptTraces = int(bundle.traces.size() - placeTraces);
    ok = ok && archive.add(BundleFolder + "version.txt",
                           QByteArray::fromStdString(versionText(BuildSettings::compiled()) +
                                                     buildSettingsText(BuildSettings::compiled())));
    ok = ok && archive.add(BundleFolder + "list.txt", QByteArray::fromStdString(listText)) && archive.finish();
    // Only a whole archive on the disk takes the name; the system's reason is kept for the
    // first step that failed.
    std::string reason = archive.error;
    auto step = [&](bool done) {
        if (!done && reason.empty())
            reason = std::strerror(errno);
        return done;
    };
    ok = ok && step(::fsync(fd) == 0);
    ok = step(::close(fd) == 0) && ok;
    ok = ok && step(::rename(temporary.c_str(), path.c_str()) == 0);
    if (!ok)
        ::unlink(temporary.c_str());
    forgetTemporary();
    if (!ok) {
        error = path + ": " + reason;
        return false;
    }
    bundle.runs = int(runs.size());
    return true;
}

} // namespace

bool writeSupportBundle(const std::string &path, const RunStore &store, int count, const std::string &listText,
                        SupportBundle &bundle, std::string &error, const RunTest &keep)
{
    std::vector<QByteArray> runs;
    int tooLong = 0;
    std::vector<std::string> leftOut;
    if (!store.folder.empty() && !readRuns(store, count, runs, error, &tooLong, keep, &leftOut))
        return false;
    const bool written = writeBundle(path, store, runs, listText, bundle, error);
    bundle.runsTooLong = tooLong;
    bundle.runsLeftOut = std::move(leftOut);
    return written;
}

