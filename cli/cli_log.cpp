#include "cli_log.h"
#include "journal_history.h"
#include "json_line.h"
#include "outcome.h"
#include "run_filter.h"
#include "run_store.h"
#include "safe_text.h"
#include "support_bundle.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringBuilder>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <optional>
#include <ostream>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The record's runs the filter lets through; none given: all of them.
RunTest keepOnly(const RunFilter &filter)
{
    if (!filter.any())
        return {};
    return [&filter](const QJsonObject &run) { return filter.matches(recordFacts(run)); };
}

// Says that lines too long to be runs were left out, when any were.
void sayTooLong(int tooLong, std::ostream &err)
{
    if (tooLong > 0)
        err << "mova-update: warning: " << tooLong << (tooLong == 1 ? " line" : " lines") << " of the record over "
            << (MaxRunLineBytes >> 20) << " MiB left out" << std::endl;
}

// A signal that ends an export takes its unfinished archive along, then ends the program as
// it would have (the handler is reset before it runs, and the signal raised again).
extern "C" void endExport(int number)
{
    removeBundleTemporary();
    std::raise(number);
}

// endExport for SIGINT, SIGTERM and SIGHUP while an export is written (not for one ignored,
// as under nohup); the earlier handling comes back after.
class ExportSignals {
public:
    ExportSignals()
    {
        struct sigaction act {};
        act.sa_handler = endExport;
        act.sa_flags = SA_RESETHAND;
        sigemptyset(&act.sa_mask);
        for (size_t i = 0; i < std::size(Numbers); ++i)
            if (::sigaction(Numbers[i], nullptr, &before_[i]) == 0 && before_[i].sa_handler != SIG_IGN)
                ::sigaction(Numbers[i], &act, nullptr);
    }
    ~ExportSignals()
    {
        for (size_t i = 0; i < std::size(Numbers); ++i)
            ::sigaction(Numbers[i], &before_[i], nullptr);
    }
    ExportSignals(const ExportSignals &) = delete;
    ExportSignals &operator=(const ExportSignals &) = delete;

private:
    static constexpr int Numbers[] = {SIGINT, SIGTERM, SIGHUP};
    struct sigaction before_[std::size(Numbers)] {};
};

} // namespace

std::string runSummary(const QByteArray &run)
{
    return runLine(recordFacts(QJsonDocument::fromJson(run).object()));
}

int printLog(const RunStore &store, bool json, int count, const RunFilter &filter, std::ostream &out, std::ostream &err)
{
    if (store.folder.empty()) {
        err << "mova-update: no runs are kept (QTX_MOVA_NO_RECORD is set)" << std::endl;
        return 0;
    }
    std::vector<QByteArray> runs;
    std::string error;
    int tooLong = 0;
    std::vector<std::string> leftOut;
    if (!readRuns(store, count, runs, error, &tooLong, keepOnly(filter), &leftOut)) {
        err << "mova-update: " << error << std::endl;
        return int(Outcome::Internal);
    }
    for (const std::string &file : leftOut)
        err << "mova-update: warning: " << shownText(file) << ": its runs are left out" << std::endl;
    sayTooLong(tooLong, err);
    if (runs.empty())
        err << "mova-update: no runs " << (filter.any() ? "that match " : "") << "recorded in " << store.runsPath()
            << std::endl;
    for (const QByteArray &run : runs)
        out << (json ? run.toStdString() : runSummary(run)) << '\n';
    out.flush();
    return 0;
}

// The bundle is a gzip-compressed tar whatever its name: a name that says otherwise would have
// the support desk open it with the wrong program, so it is written and said.
static void sayBundleKind(const std::string &file, std::ostream &err)
{
    const auto endsIn = [&](std::string_view end) {
        return file.size() >= end.size() &&
               std::equal(end.rbegin(), end.rend(), file.rbegin(),
                          [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
    };
    if (endsIn(".tar.gz") || endsIn(".tgz"))
        return;
    err << "mova-update: warning: " << shownText(file) << ": the bundle is a gzip tar (.tar.gz)"
        << (endsIn(".zip") ? ", not a zip archive" : ", whatever its name says") << std::endl;
}

int printJournal(const std::string &folder, bool json, int count, const RunFilter &filter, std::ostream &out,
                 std::ostream &err)
{
    std::vector<RunFacts> runs;
    std::string error;
    const JournalRead read = readJournalRuns(folder, filter, count, runs, error);
    if (read != JournalRead::Read) {
        err << "mova-update: " << shownText(error) << std::endl;
        return read == JournalRead::NoPlace ? int(Outcome::Usage) : int(Outcome::Internal);
    }
    if (!error.empty())
        err << "mova-update: warning: " << shownText(error) << std::endl;
    if (runs.empty()) {
        err << "mova-update: no runs " << (filter.any() ? "that match " : "") << "in "
            << (folder.empty() ? std::string("the system journal") : shownText(folder));
        // An account outside these groups sees its own entries only.
        if (folder.empty() && ::geteuid() != 0)
            err << " (as far as this account may read it: the groups systemd-journal and adm read all of it)";
        err << std::endl;
    }
    for (const RunFacts &run : runs)
        out << (json ? journalRunJson(run) : runLine(run)) << '\n';
    out.flush();
    return 0;
}

// The folder a bundle's name points into, when it is not there: a name mistyped is the
// operator's to mend (a usage error), not a failure of the program.
static std::optional<std::string> missingFolder(const std::string &file)
{
    const size_t slash = file.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : file.substr(0, slash);
    struct stat st {};
    if (::stat(folder.c_str(), &st) == 0 ? S_ISDIR(st.st_mode) : errno != ENOENT && errno != ENOTDIR)
        return std::nullopt;
    return folder;
}

int exportLog(const RunStore &store, int count, const RunFilter &filter, const std::string &file,
              const std::string &listText, bool json, std::ostream &out, std::ostream &err)
{
    if (const std::optional<std::string> folder = missingFolder(file)) {
        err << "mova-update: cannot write the support bundle: " << shownText(*folder) << ": no such folder" << std::endl;
        return int(Outcome::Usage);
    }
    if (store.folder.empty())
        err << "mova-update: no runs are kept (QTX_MOVA_NO_RECORD is set): the bundle holds none" << std::endl;
    SupportBundle bundle;
    std::string error;
    bool written;
    {
        ExportSignals removeOnSignal;
        written = writeSupportBundle(file, store, count, listText, bundle, error, keepOnly(filter));
    }
    if (!written) {
        err << "mova-update: cannot write the support bundle: " << shownText(error) << std::endl;
        return int(Outcome::Internal);
    }
    sayBundleKind(file, err);
    sayTooLong(bundle.runsTooLong, err);
    for (const std::string &file : bundle.runsLeftOut)
        err << "mova-update: warning: " << shownText(file) << ": its runs are left out" << std::endl;
    for (const std::string &left : bundle.leftOut)
        err << "mova-update: warning: a trace left out of the bundle: " << shownText(left) << std::endl;
    if (!json) {
        out << "wrote " << shownText(file) << ": " << bundle.summary() << std::endl;
        return 0;
    }
    QJsonArray traces;
    for (const std::string &name : bundle.traces)
        traces.append(QString::fromStdString(name));
    out << JsonLine::event("export").text("file", file).number("runs", bundle.runs).value("traces", traces).str()
        << std::endl;
    return 0;
}
