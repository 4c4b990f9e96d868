#include "cli_log.h"
#include "outcome.h"
#include "regular_file.h"
#include "run_record.h"
#include "safe_text.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cerrno>
#include <cstdlib>
#include <deque>
#include <fcntl.h>
#include <ostream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Appends the file's runs to `runs`, keeping only the last `count`; a missing file has none.
bool readFile(const std::string &path, int count, std::deque<QByteArray> &runs, std::string &error)
{
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 && errno == ENOENT)
        return true;
    // As the record writes it: a FIFO in its place must not hold the open, a link is not followed.
    std::string reason;
    const int fd = openRegularFile(path, O_RDONLY, false, reason);
    QFile file;
    if (fd < 0 || !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        error = path + ": " + (fd < 0 ? reason : file.errorString().toStdString());
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    while (!file.atEnd()) {
        const QByteArray line = file.readLine().trimmed();
        if (line.isEmpty() || !QJsonDocument::fromJson(line).isObject())
            continue;
        runs.push_back(line);
        if (int(runs.size()) > count)
            runs.pop_front();
    }
    return true;
}

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
    return local.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss ")) + (minutes < 0 ? '-' : '+') +
           QStringLiteral("%1%2").arg(away / 60, 2, 10, QChar('0')).arg(away % 60, 2, 10, QChar('0'));
}

} // namespace

bool readRuns(const RunStore &store, int count, std::vector<QByteArray> &runs, std::string &error)
{
    std::deque<QByteArray> last;
    if (!readFile(store.runsPath() + ".1", count, last, error) || !readFile(store.runsPath(), count, last, error))
        return false;
    runs.assign(last.rbegin(), last.rend());
    return true;
}

std::string runSummary(const QByteArray &run)
{
    const QJsonObject o = QJsonDocument::fromJson(run).object();
    // What the run came to; a record without it says what the run said last (a question's
    // answer says less).
    QString said = o["text"].toString();
    if (said.isEmpty())
        for (const QJsonValue &m : o["messages"].toArray())
            if (m.toObject()["kind"].toString() != QLatin1String("question"))
                said = m.toObject()["text"].toString();
    if (const QString hint = o["hint"].toString(); !hint.isEmpty())
        said += QStringLiteral(": ") + hint;
    QString serial = o["device"].toObject()["serial"].toString();
    if (serial.isEmpty())
        serial = QStringLiteral("-");
    const QString port = o["port"].toString().isEmpty() ? QStringLiteral("-") : o["port"].toString();
    // Records written before device bytes were escaped may hold them raw: shown safely here,
    // so that no field can move the cursor or start a line of its own.
    return shownText(QStringLiteral("%1  %2  %3  %4  %5")
                         .arg(localTime(o["end"].toString()), serial, port, o["outcome"].toString(), said.simplified())
                         .toStdString());
}

int printLog(const RunStore &store, bool json, int count, std::ostream &out, std::ostream &err)
{
    if (store.folder.empty()) {
        err << "mova-update: no runs are kept (QTX_MOVA_NO_RECORD is set)" << std::endl;
        return 0;
    }
    std::vector<QByteArray> runs;
    std::string error;
    if (!readRuns(store, count, runs, error)) {
        err << "mova-update: " << error << std::endl;
        return int(Outcome::Internal);
    }
    if (runs.empty())
        err << "mova-update: no runs recorded in " << store.runsPath() << std::endl;
    for (const QByteArray &run : runs)
        out << (json ? run.toStdString() : runSummary(run)) << '\n';
    out.flush();
    return 0;
}
