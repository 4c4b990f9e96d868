#include "journal_history.h"
#include "json_line.h"
#include "run_journal.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <queue>
#include <sys/stat.h>
#include <unistd.h>
#include <systemd/sd-journal.h>

namespace {

bool isJournalFile(const std::string &name)
{
    auto endsWith = [&](const std::string &end) {
        return name.size() > end.size() && name.compare(name.size() - end.size(), end.size(), end) == 0;
    };
    return endsWith(".journal") || endsWith(".journal~");
}

// The journal files of a folder, itself or in a folder of a machine's id (32 hex digits) as
// the system's own journal folders have them: the journal opens either, and passes over a
// file it may not read without a word.
struct JournalFiles {
    int found = 0, readable = 0;
    std::string unreadable; // the first that may not be read, and why
    std::string broken;     // the first that is no journal the library opens (damaged, cut short), and why
    std::string error;      // the folder itself could not be looked into
};

// Whether the journal library opens this file: a folder's reading passes over one it cannot
// open without a word, and a damaged or cut-short file would read as "no runs".
bool opensAsJournal(const std::string &path, std::string &reason)
{
    sd_journal *j = nullptr;
    const char *paths[] = {path.c_str(), nullptr};
    const int r = sd_journal_open_files(&j, paths, 0);
    if (r < 0) {
        reason = path + ": not a journal that can be read, damaged or cut short (" + std::strerror(-r) + ")";
        return false;
    }
    sd_journal_close(j);
    return true;
}

void findJournals(const std::string &folder, JournalFiles &files, int depth = 0)
{
    DIR *dir = ::opendir(folder.c_str());
    if (!dir) {
        if (depth == 0)
            files.error = folder + ": " + std::strerror(errno);
        return;
    }
    while (const dirent *entry = ::readdir(dir)) {
        const std::string name = entry->d_name, path = folder + "/" + name;
        if (isJournalFile(name)) {
            ++files.found;
            std::string reason;
            if (::access(path.c_str(), R_OK) != 0) {
                if (files.unreadable.empty())
                    files.unreadable = path + ": " + std::strerror(errno);
            } else if (opensAsJournal(path, reason)) {
                ++files.readable;
            } else if (files.broken.empty()) {
                files.broken = reason;
            }
        } else if (depth == 0 && name.size() == 32 &&
                   name.find_first_not_of("0123456789abcdef") == std::string::npos) {
            findJournals(path, files, 1);
        }
    }
    ::closedir(dir);
}

// The value of one field of the entry the journal is at; empty when it has none.
std::string field(sd_journal *j, const char *name)
{
    const void *data = nullptr;
    size_t length = 0;
    if (sd_journal_get_data(j, name, &data, &length) < 0)
        return {};
    const size_t skip = std::strlen(name) + 1; // "NAME="
    return length < skip ? std::string() : std::string(static_cast<const char *>(data) + skip, length - skip);
}

std::optional<int> number(const std::string &text)
{
    if (text.empty() || text.size() > 9 || text.find_first_not_of("-0123456789") != std::string::npos)
        return std::nullopt;
    return std::atoi(text.c_str());
}

// "83.250" (seconds) in milliseconds.
std::optional<int64_t> milliseconds(const std::string &text)
{
    char *end = nullptr;
    const double seconds = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(seconds >= 0 && seconds < 1e9))
        return std::nullopt;
    return int64_t(seconds * 1000 + 0.5);
}

RunFacts entryFacts(sd_journal *j, uint64_t usec)
{
    RunFacts r;
    r.end = QDateTime::fromMSecsSinceEpoch(qint64(usec / 1000), Qt::UTC);
    r.host = field(j, "_HOSTNAME");
    r.serial = field(j, "MOVA_SERIAL");
    r.serialHex = field(j, "MOVA_SERIAL_HEX");
    r.port = field(j, "MOVA_PORT");
    r.socket = field(j, "MOVA_SOCKET");
    r.outcome = field(j, "MOVA_OUTCOME");
    r.text = field(j, "MOVA_TEXT");
    r.firmwareBefore = number(field(j, "MOVA_FIRMWARE_BEFORE"));
    r.firmwareAfter = number(field(j, "MOVA_FIRMWARE_AFTER"));
    r.firmwareAfterKnown = field(j, "MOVA_FIRMWARE_AFTER_KNOWN");
    r.durationMs = milliseconds(field(j, "MOVA_DURATION_S"));
    r.exitStatus = number(field(j, "MOVA_EXIT_STATUS"));
    r.program = field(j, "SYSLOG_IDENTIFIER");
    r.batch = field(j, "MOVA_BATCH");
    r.mayBeWithoutFirmware = field(j, "MOVA_MAY_BE_WITHOUT_FIRMWARE") == "1";
    return r;
}

// A run found, and where it came in the reading, from the end (the earlier of two at the same
// time is the newer).
struct Found {
    uint64_t usec, order;
    RunFacts run;
};
struct Newer {
    bool operator()(const Found &a, const Found &b) const
    {
        return a.usec != b.usec ? a.usec > b.usec : a.order < b.order;
    }
};

bool openJournal(const std::string &folder, sd_journal *&j, std::string &error)
{
    const int r = folder.empty() ? sd_journal_open(&j, SD_JOURNAL_LOCAL_ONLY)
                                 : sd_journal_open_directory(&j, folder.c_str(), 0);
    if (r < 0)
        error = (folder.empty() ? std::string("the system journal") : folder) + ": " + std::strerror(-r);
    return r >= 0;
}

} // namespace

JournalRead readJournalRuns(const std::string &folder, const RunFilter &filter, int count, std::vector<RunFacts> &runs,
                            std::string &error)
{
    runs.clear();
    error.clear();
    struct stat st;
    if (!folder.empty()) {
        const bool there = ::stat(folder.c_str(), &st) == 0;
        if (!there || !S_ISDIR(st.st_mode)) {
            error = folder + ": " + (there ? "not a folder" : std::strerror(errno));
            return JournalRead::NoPlace;
        }
        JournalFiles files;
        findJournals(folder, files);
        if (!files.broken.empty()) { // "no runs" would hide the runs it holds
            error = files.broken;
            return JournalRead::Failed;
        }
        if (!files.error.empty() || files.readable == 0) {
            error = !files.error.empty() ? files.error
                    : files.found == 0   ? folder + ": no journal file in it (*.journal)"
                                         : "no journal file in " + folder + " may be read: " + files.unreadable;
            return files.found == 0 && files.error.empty() ? JournalRead::NoPlace : JournalRead::Failed;
        }
        if (files.readable < files.found) // said, and the others read
            error = std::to_string(files.found - files.readable) + " of the journal files in " + folder +
                    " left out: " + files.unreadable;
    }
    sd_journal *j = nullptr;
    if (!openJournal(folder, j, error))
        return JournalRead::Failed;
    const std::string id = std::string("MESSAGE_ID=") + JournalEntry::MessageId;
    const std::string outcome = "MOVA_OUTCOME=" + filter.outcome;
    int r = sd_journal_add_match(j, id.data(), id.size());
    if (r >= 0 && !filter.outcome.empty()) // the journal's own index finds these
        r = sd_journal_add_match(j, outcome.data(), outcome.size());
    // The newest `count` so far, the oldest of them on top to make room. Read from the end:
    // once `count` are found, an older entry costs only its time. An entry written out of
    // time's order (gathered late from a station) still takes its place by its time.
    std::priority_queue<Found, std::vector<Found>, Newer> newest;
    uint64_t order = 0;
    if (r >= 0)
        r = sd_journal_seek_tail(j);
    while (r >= 0 && (r = sd_journal_previous(j)) > 0) {
        uint64_t usec = 0;
        if (sd_journal_get_realtime_usec(j, &usec) < 0)
            continue;
        if (newest.size() == size_t(count) && Newer()(newest.top(), Found {usec, order, {}}))
            continue; // older than all it would join: its fields need not be read
        RunFacts run = entryFacts(j, usec);
        if (!filter.matches(run))
            continue;
        newest.push({usec, order++, std::move(run)});
        if (newest.size() > size_t(count))
            newest.pop();
    }
    sd_journal_close(j);
    if (r < 0) {
        error = (folder.empty() ? std::string("the system journal") : folder) + ": " + std::strerror(-r);
        return JournalRead::Failed;
    }
    for (; !newest.empty(); newest.pop())
        runs.push_back(newest.top().run);
    std::reverse(runs.begin(), runs.end());
    return JournalRead::Read;
}

std::string journalRunJson(const RunFacts &run)
{
    JsonLine o;
    o.text("host", run.host).text("time", run.end.toString(Qt::ISODateWithMs).toStdString());
    o.text("serial", run.serial).text("serial_hex", run.serialHex).text("port", run.port);
    if (!run.socket.empty())
        o.text("socket", run.socket);
    o.text("outcome", run.outcome);
    if (run.exitStatus)
        o.number("exit", *run.exitStatus);
    run.firmwareBefore ? o.number("firmware_before", *run.firmwareBefore) : o.null("firmware_before");
    run.firmwareAfter ? o.number("firmware_after", *run.firmwareAfter) : o.null("firmware_after");
    if (run.durationMs)
        o.fixed("duration_s", double(*run.durationMs) / 1000, 3);
    else
        o.null("duration_s");
    o.flag("may_be_without_firmware", run.mayBeWithoutFirmware);
    o.text("text", run.text);
    if (!run.program.empty())
        o.text("program", run.program);
    if (!run.batch.empty())
        o.text("batch", run.batch);
    if (!run.firmwareAfterKnown.empty()) // "read back", or "confirmed" by the device
        o.text("firmware_after_known", run.firmwareAfterKnown);
    return o.str();
}
