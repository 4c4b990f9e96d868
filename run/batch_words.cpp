#include "batch_words.h"

#include <QJsonDocument>
#include <QString>
#include <array>
#include <utility>

QByteArray batchWordLine(BatchWord word)
{
    switch (word) {
    case BatchWord::Go:
        return "go\n";
    case BatchWord::Skip:
        return "skip\n";
    case BatchWord::Refuse:
        return "refuse\n";
    }
    return "\n"; // not a word: the worker takes it for none and leaves its device alone
}

std::optional<BatchWord> batchWordOf(const std::string &line)
{
    for (const BatchWord word : {BatchWord::Go, BatchWord::Skip, BatchWord::Refuse})
        if (batchWordLine(word).toStdString() == line + "\n")
            return word;
    return std::nullopt;
}

WorkerEvent readWorkerEvent(const QByteArray &line)
{
    using namespace EventName;
    static const std::array<std::pair<const char *, WorkerSays>, 12> known {{
        {Plan, WorkerSays::Plan},
        {Stage, WorkerSays::Stage},
        {Progress, WorkerSays::Progress},
        {Message, WorkerSays::Message},
        {Hint, WorkerSays::Hint},
        {Note, WorkerSays::Note},
        {Warning, WorkerSays::Warning},
        {Diagnostic, WorkerSays::Diagnostic},
        {Writing, WorkerSays::Writing},
        {After, WorkerSays::After},
        {Row, WorkerSays::Row},
        {Result, WorkerSays::Result},
    }};
    WorkerEvent e;
    e.line = line;
    e.fields = QJsonDocument::fromJson(line).object();
    const QString name = e.fields.value("event").toString();
    if (name.isEmpty())
        return e;
    e.kind = WorkerSays::Other;
    for (const auto &[word, kind] : known)
        if (name == QLatin1String(word))
            e.kind = kind;
    return e;
}
