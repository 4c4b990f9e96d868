#include "cli_log.h"
#include "json_line.h"
#include "outcome.h"
#include "run_record.h"
#include "safe_text.h"
#include "support_bundle.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringBuilder>
#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <ostream>
#include <string_view>

namespace {

// A record's time (UTC, as kept) in this machine's local time with its offset from UTC:
// "2026-12-08 05:20:11 +0100". A time that does not read stays as it was kept.
QString localTime(const QString &kept)
{
    const QDateTime at = QDateTime::fromString(kept, Qt::ISODateWithMs);
    if (!at.isValid())
        return kept;
    const QDateTime local = at.toLocalTime();
    const int minutes = local.offsetFromUtc() / 60;
    const int away = std::abs(minutes);
    const char sign = minutes < 0 ? '-' : '+';
    const QDate day = local.date();
    const QTime time = local.time();
    // Written at once: a format string would be read anew for each of the runs `log` shows.
    // A year of more or fewer than four digits as the format says it.
    char text[64];
    if (day.year() < 1 || day.year() > 9999) {
        std::snprintf(text, sizeof text, "%c%02d%02d", sign, away / 60, away % 60);
        return local.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss ")) + QLatin1String(text);
    }
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d %c%02d%02d", day.year(), day.month(), day.day(),
                  time.hour(), time.minute(), time.second(), sign, away / 60, away % 60);
    return QString::fromLatin1(text);
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
    const QJsonObject o = QJsonDocument::fromJson(run).object();
    // What the run came to; a record without it says what the run said last (a question's
    // answer says less). Keys as views: `log` reads every record, and a key made a QString
    // costs an allocation each time.
    QString said = o[u"text"].toString();
    if (said.isEmpty())
        for (const QJsonValue &m : o[u"messages"].toArray())
            if (m[u"kind"].toString() != QLatin1String("question"))
                said = m[u"text"].toString();
    if (const QString hint = o[u"hint"].toString(); !hint.isEmpty())
        said += QStringLiteral(": ") + hint;
    QString serial = o[u"device"][u"serial"].toString();
    if (serial.isEmpty())
        serial = QStringLiteral("-");
    QString port = o[u"port"].toString();
    if (port.isEmpty())
        port = QStringLiteral("-");
    // Records written before device bytes were escaped may hold them raw: shown safely here,
    // so that no field can move the cursor or start a line of its own. Built in one piece
    // (%), and shown from its UTF-8 as it is.
    const QByteArray line = (localTime(o[u"end"].toString()) % u"  " % serial % u"  " % port % u"  " %
                             o[u"outcome"].toString() % u"  " % said.simplified())
                                .toUtf8();
    return shownText(std::string_view(line.constData(), size_t(line.size())));
}

int printLog(const RunStore &store, bool json, int count, std::ostream &out, std::ostream &err)
{
    if (store.folder.empty()) {
        err << "mova-update: no runs are kept (QTX_MOVA_NO_RECORD is set)" << std::endl;
        return 0;
    }
    std::vector<QByteArray> runs;
    std::string error;
    int tooLong = 0;
    if (!readRuns(store, count, runs, error, &tooLong)) {
        err << "mova-update: " << error << std::endl;
        return int(Outcome::Internal);
    }
    sayTooLong(tooLong, err);
    if (runs.empty())
        err << "mova-update: no runs recorded in " << store.runsPath() << std::endl;
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

int exportLog(const RunStore &store, int count, const std::string &file, const std::string &listText, bool json,
              std::ostream &out, std::ostream &err)
{
    if (store.folder.empty())
        err << "mova-update: no runs are kept (QTX_MOVA_NO_RECORD is set): the bundle holds none" << std::endl;
    SupportBundle bundle;
    std::string error;
    bool written;
    {
        ExportSignals removeOnSignal;
        written = writeSupportBundle(file, store, count, listText, bundle, error);
    }
    if (!written) {
        err << "mova-update: cannot write the support bundle: " << shownText(error) << std::endl;
        return int(Outcome::Internal);
    }
    sayBundleKind(file, err);
    sayTooLong(bundle.runsTooLong, err);
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
