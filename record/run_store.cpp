#include "run_store.h"
#include "output_writer.h"
#include "regular_file.h"

#include <QDir>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

bool makeFolder(const std::string &path, std::string &reason)
{
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return true;
        reason = path + ": " + std::strerror(ENOTDIR);
        return false;
    }
    const size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !makeFolder(path.substr(0, slash), reason))
        return false;
    // The record holds serial numbers and ports: only its owner reads it.
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        reason = path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void RunStore::report(const std::string &reason)
{
    if (failed_->exchange(true))
        return;
    say(program + ": cannot keep the run record in " + folder + ": " + reason);
}

void RunStore::say(const std::string &text) const
{
    if (errors)
        *errors << text << std::endl;
    else // queued, from whichever thread says it
        OutputWriter::write(STDERR_FILENO, text + "\n");
}

bool RunStore::append(const std::string &line)
{
    if (folder.empty())
        return true;
    std::string reason;
    if (!makeFolder(folder, reason)) {
        report(reason);
        return false;
    }
    const std::string path = runsPath();
    const std::string data = line + '\n';
    // The devices of a batch end together: one at a time moves the file aside and appends,
    // or two could rotate it at once and lose the older half.
    const StoreLock lock(folder);
    if (!lock.refused().empty()) {
        report(lock.refused()); // the folder is not as this program left it
        return false;
    }
    // Not held: the line goes in all the same, only the file is not moved aside.
    struct stat st;
    if (lock.held() && ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
        st.st_size + long(data.size()) > rotateAtBytes && ::rename(path.c_str(), (path + ".1").c_str()) != 0) {
        report("cannot move " + path + " aside: " + std::strerror(errno));
        return false;
    }
    // A window and a command line that end together do not mix lines.
    if (!appendWhole(path, data, reason)) {
        report(reason);
        return false;
    }
    return true;
}

StoreLock::StoreLock(const std::string &folder)
{
    if (folder.empty())
        return;
    const std::string path = folder + "/runs.lock";
    std::string reason;
    fd_ = openRegularFile(path, O_RDWR | O_CREAT, false, reason);
    if (fd_ < 0 && (reason == NotARegularFile || reason == LinkNotFollowed))
        refused_ = path + ": " + reason;
    // Its holders keep it for a rename and a write. One that holds it longer (a program stopped
    // halfway) is waited for two seconds by the clock, not for good, and only ever on the file
    // writer's thread, never the device's. A lock file that cannot be opened holds nobody up:
    // the writer goes on as if it held it.
    held_ = fd_ < 0 || ::flock(fd_, LOCK_EX | LOCK_NB) == 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(RunStore::LockWaitMs);
    while (!held_ && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(RunStore::LockTryGapMs));
        held_ = ::flock(fd_, LOCK_EX | LOCK_NB) == 0;
    }
}

StoreLock::~StoreLock()
{
    if (fd_ >= 0)
        ::close(fd_);
}

bool appendWhole(const std::string &path, const std::string &data, std::string &error, bool followLink)
{
    std::string reason;
    const int fd = openRegularFile(path, O_WRONLY | O_APPEND | O_CREAT, followLink, reason);
    if (fd < 0) {
        error = path + ": " + reason;
        return false;
    }
    const off_t before = ::lseek(fd, 0, SEEK_END);
    ssize_t n = 0;
    if (!data.empty())
        do
            n = ::write(fd, data.data(), data.size());
        while (n < 0 && errno == EINTR);
    const int writeError = n < 0 ? errno : ENOSPC;
    bool ok = n == ssize_t(data.size());
    // Half a line would spoil the next writer's. Should the cut fail too, the write's own
    // error is still what the caller hears.
    if (!ok && n > 0 && before >= 0 && ::ftruncate(fd, before) != 0)
        ok = false;
    if (::close(fd) != 0 && ok) {
        ok = false;
        error = path + ": " + std::strerror(errno);
    } else if (!ok) {
        error = path + ": " + std::strerror(writeError);
    }
    return ok;
}

std::string RunStore::standardFolder()
{
    if (const char *off = std::getenv("QTX_MOVA_NO_RECORD"); off && *off && std::strcmp(off, "0") != 0)
        return {};
    // A relative XDG_STATE_HOME is to be ignored.
    const char *state = std::getenv("XDG_STATE_HOME");
    const std::string base = state && state[0] == '/' ? std::string(state)
                                                       : QDir::homePath().toStdString() + "/.local/state";
    return base + "/mova-update";
}

RunStore RunStore::standard(const std::string &program, bool keepsTraces)
{
    RunStore s;
    s.folder = standardFolder();
    s.program = program;
    s.keepsTraces = keepsTraces;
    const char *noJournal = std::getenv("QTX_MOVA_NO_JOURNAL");
    if (!s.folder.empty() && !(noJournal && *noJournal && std::strcmp(noJournal, "0") != 0))
        s.journal = [](const JournalEntry &entry) { sendToJournal(entry); };
    return s;
}

std::string RunStore::traceFileName(const std::string &runId)
{
    return "trace-" + runId + ".log";
}

bool RunStore::isTraceFileName(const std::string &name)
{
    const auto between = [&](const std::string &head, const std::string &tail) {
        return name.size() > head.size() + tail.size() && name.compare(0, head.size(), head) == 0 &&
                       name.compare(name.size() - tail.size(), tail.size(), tail) == 0
                   ? name.substr(head.size(), name.size() - head.size() - tail.size())
                   : std::string();
    };
    const std::string place = between("last-trace-", ".log");
    return name == LastTrace || isRunId(between("trace-", ".log")) ||
           (!place.empty() && place.size() <= 9 && place.find_first_not_of("0123456789") == std::string::npos);
}

std::string newRunId()
{
    uint64_t bits = 0;
    if (::getrandom(&bits, sizeof bits, 0) != ssize_t(sizeof bits)) // not to be: then the time and the process
        bits = uint64_t(std::chrono::system_clock::now().time_since_epoch().count()) * 31 + uint64_t(::getpid());
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", (unsigned long long)bits);
    return text;
}

bool isRunId(const std::string &text)
{
    return text.size() == 16 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

