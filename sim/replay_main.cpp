// mova-sim --replay TRACE: the device's side of a recorded run, played on a pseudo-terminal.
#include "replay_main.h"
#include "argument_reader.h"
#include "pty_emulator.h"
#include "regular_file.h"
#include "replay_device.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <iostream>
#include <poll.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

// A trace, a bundle, a bundle's member: far above the 8 MiB a run's trace is cut at.
constexpr size_t MaxTraceBytes = 64u << 20;
constexpr const char *BundleTraces = "mova-support/traces/";
constexpr const char *BundleTrace = "mova-support/traces/last-trace.log";
constexpr int StatusEveryMs = 20;

const char *ReplayUsage = R"(replay a recorded run:
  mova-sim --replay TRACE [--link PATH] [--link-after-reset PATH] [--replay-member NAME]
                          plays the device's side of a run's trace (last-trace.log, a run's
                          trace-RUN.log, or a support bundle .tar.gz from mova-update log
                          --export, whose traces/last-trace.log or traces/NAME it takes, NAME
                          also a kept trace as a run's record names it: failed-traces/...) on a
                          pseudo-terminal published at --link; the device is away where the
                          recording shows it away, and comes back under --link-after-reset when
                          the tool found it under another path. Each reply goes out once the
                          tool has sent what it had sent before it, after the recorded delay.
                          A tool that sends other bytes is reported on standard error (offset,
                          stage, expected and received bytes), and the device says nothing more.
                          The replay ends by itself once the recording was played out and the
                          tool has let go of the line (0.2 s after), or once the tool was quiet
                          5 s longer than its longest silence in the recording (65 s longer
                          while it holds the line open); SIGINT or SIGTERM end it at once.
                          A recorded wait over 120 s (no device waits so long) is played as
                          120 s. Only a regular file of at most 64 MiB is read.
  exit status: 0 matched the recording to its end, 1 the pseudo-terminal could not be set up,
               2 usage, 3 diverged (other bytes, more, or the tool stopped early),
               4 the trace could not be read (a malformed line names its number)
)";

struct ReplayOptions {
    std::string trace, member, link = "/tmp/mova-sim/ttyMOVA", linkAfterReset;
};

bool parseReplay(int argc, char **argv, ReplayOptions &o, std::string &error)
{
    ArgumentReader in(argc, argv);
    while (in.next()) {
        const std::string a = in.arg();
        if (in.asksHelp()) {
            error.clear();
            return false;
        }
        std::string *target = a == "--replay"             ? &o.trace
                              : a == "--link"             ? &o.link
                              : a == "--link-after-reset" ? &o.linkAfterReset
                              : a == "--replay-member"    ? &o.member
                                                          : nullptr;
        if (!target) {
            error = "--replay takes only --link, --link-after-reset and --replay-member, not " + a;
            return false;
        }
        const std::optional<std::string> value = in.value();
        if (!value || value->empty()) {
            error = a + " needs a value";
            return false;
        }
        *target = *value;
    }
    // A name tar would take for an option must never reach it.
    if (!o.member.empty() && o.member.front() == '-') {
        error = "--replay-member " + o.member + ": not a member's name";
        return false;
    }
    return true;
}

// Runs tar on the bundle open at `archive` (no shell: its words are data; the archive comes
// on tar's standard input, so that tar reads the very file that was looked at) and takes the
// member's text.
bool readBundleMember(int archive, const std::string &bundle, const std::string &member, std::string &text,
                      std::string &error)
{
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, archive, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    std::vector<char *> args {const_cast<char *>("tar"), const_cast<char *>("-xzOf"), const_cast<char *>("-"),
                              const_cast<char *>(member.c_str()), nullptr};
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, "tar", &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    std::string said;
    bool tooLarge = false;
    for (bool outOpen = spawned == 0, errOpen = spawned == 0; outOpen || errOpen;) {
        pollfd fds[2] = {{outOpen ? out[0] : -1, POLLIN, 0}, {errOpen ? err[0] : -1, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            break;
        char chunk[65536];
        for (int k = 0; k < 2; ++k) {
            if (!(fds[k].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            const ssize_t n = ::read(fds[k].fd, chunk, sizeof chunk);
            if (n <= 0) {
                (k == 0 ? outOpen : errOpen) = false;
            } else if (k == 1) {
                said.append(chunk, size_t(std::min<ssize_t>(n, 4096)));
            } else if (text.size() + size_t(n) > MaxTraceBytes) {
                tooLarge = true;
                outOpen = errOpen = false;
                ::kill(pid, SIGTERM);
            } else {
                text.append(chunk, size_t(n));
            }
        }
    }
    ::close(out[0]);
    ::close(err[0]);
    if (spawned != 0) {
        error = std::string("cannot run tar: ") + std::strerror(spawned);
        return false;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    while (!said.empty() && (said.back() == '\n' || said.back() == '\r'))
        said.pop_back();
    if (tooLarge)
        error = member + " in " + bundle + " is " + largerThan(MaxTraceBytes);
    else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        error = "cannot take " + member + " from " + bundle + (said.empty() ? "" : ": " + said);
    return error.empty();
}

// Only a regular file is read, and its size is looked at before its first byte: a FIFO would
// hold the open, a device or a huge file would be read without end.
bool readTraceText(const ReplayOptions &o, std::string &text, std::string &error)
{
    std::string reason;
    const int fd = openRegularFile(o.trace, O_RDONLY, true, reason);
    if (fd < 0) {
        error = o.trace + ": " + reason;
        return false;
    }
    uint8_t magic[2] = {};
    struct stat st {};
    const bool bundle = ::pread(fd, magic, 2, 0) == 2 && magic[0] == 0x1F && magic[1] == 0x8B; // gzip
    bool read = false;
    if (::fstat(fd, &st) != 0 || uint64_t(st.st_size) > MaxTraceBytes) {
        error = o.trace + ": " + largerThan(MaxTraceBytes);
    } else if (bundle) {
        // A bare name, or a kept trace as the record names it, is one of the bundle's traces.
        const bool ofTraces = o.member.find('/') == std::string::npos || o.member.rfind("failed-traces/", 0) == 0;
        const std::string member = o.member.empty() ? BundleTrace : ofTraces ? BundleTraces + o.member : o.member;
        read = readBundleMember(fd, o.trace, member, text, error);
    } else if (!o.member.empty()) {
        error = "--replay-member is for a support bundle; " + o.trace + " is a trace";
    } else if (!(read = readOpenedFile(fd, MaxTraceBytes, text, reason))) {
        error = o.trace + ": " + reason;
    }
    ::close(fd);
    return read;
}

// Whether the tool holds the device's line open: the pseudo-terminal's opens and closes, as
// the system tells them, less the emulator's own hold on it. A new line (the device came
// back) starts a new count.
class LineWatch {
public:
    LineWatch() : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}
    ~LineWatch()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    LineWatch(const LineWatch &) = delete;
    LineWatch &operator=(const LineWatch &) = delete;
    // Unknown (no watch): taken as held, so that only the quiet time ends a played replay.
    bool toolHolds(const std::string &slavePath)
    {
        if (fd_ < 0)
            return true;
        if (slavePath != path_) {
            if (watch_ >= 0)
                inotify_rm_watch(fd_, watch_);
            path_ = slavePath;
            opens_ = 0;
            watch_ = path_.empty() ? -1 : inotify_add_watch(fd_, path_.c_str(), IN_OPEN | IN_CLOSE);
        }
        alignas(inotify_event) char buffer[4096];
        for (ssize_t n; (n = ::read(fd_, buffer, sizeof buffer)) > 0;) {
            for (ssize_t at = 0; at < n;) {
                const auto *e = reinterpret_cast<const inotify_event *>(buffer + at);
                if (e->wd == watch_)
                    opens_ += (e->mask & IN_OPEN) ? 1 : (e->mask & IN_CLOSE) ? -1 : 0;
                at += ssize_t(sizeof(inotify_event) + e->len);
            }
        }
        return opens_ > 0;
    }

private:
    int fd_;
    int watch_ = -1;
    std::string path_;
    int opens_ = 0;
};

} // namespace

void printReplayUsage(std::ostream &out)
{
    out << ReplayUsage;
}

bool replayRequested(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--replay") == 0)
            return true;
    return false;
}

int replayMain(int argc, char **argv)
{
    ReplayOptions o;
    std::string error, text;
    if (!parseReplay(argc, argv, o, error)) {
        if (error.empty()) { // asked for help
            std::cout << ReplayUsage;
            return int(ReplayExit::Matched);
        }
        std::cerr << "mova-sim: " << error << "\n" << ReplayUsage;
        return int(ReplayExit::Usage);
    }
    if (!readTraceText(o, text, error)) {
        std::cerr << "mova-sim: cannot read the trace: " << error << "\n";
        return int(ReplayExit::TraceUnreadable);
    }
    const TraceRead read = readTrace(text);
    if (!read.error.empty()) {
        std::cerr << "mova-sim: cannot read the trace " << o.trace << ": " << read.error << "\n";
        return int(ReplayExit::TraceUnreadable);
    }
    ReplayDevice device(buildScript(read), PtyEmulator::nowMs());
    device.setLinks(o.link, o.linkAfterReset);
    std::error_code made; // a folder it cannot make shows when the link fails
    for (const std::string &link : {o.link, o.linkAfterReset})
        if (const size_t slash = link.rfind('/'); slash != std::string::npos && slash > 0)
            std::filesystem::create_directories(link.substr(0, slash), made);

    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&signals, s);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    const int signalFd = signalfd(-1, &signals, SFD_CLOEXEC);

    PtyEmulator::Options options;
    options.link = o.link;
    options.linkAfterReset = o.linkAfterReset;
    PtyEmulator emulator(options, device);
    if (!emulator.start(&error)) {
        std::cerr << "mova-sim: " << error << "\n";
        return int(ReplayExit::CannotServe);
    }
    std::cout << "mova-sim: replaying " << o.trace << " (" << read.lines.size() << " lines)\n"
              << "mova-sim: device on " << emulator.link() << " (" << emulator.slavePath() << ")" << std::endl;
    ReplayDevice::State state = ReplayDevice::State::Playing;
    LineWatch line;
    while (state == ReplayDevice::State::Playing) {
        pollfd fd {signalFd, POLLIN, 0};
        if (::poll(&fd, 1, StatusEveryMs) > 0 && (fd.revents & POLLIN))
            state = device.finish(PtyEmulator::nowMs());
        else
            state = device.state(PtyEmulator::nowMs(), line.toolHolds(emulator.slavePath()));
        if (const std::string report = device.takeReport(); !report.empty())
            std::cerr << report << std::flush;
    }
    emulator.stop();
    if (state == ReplayDevice::State::Diverged)
        return int(ReplayExit::Diverged);
    std::cout << "mova-sim: replay matched the recording (" << device.toolBytesReceived() << " bytes from the tool)"
              << std::endl;
    return int(ReplayExit::Matched);
}
