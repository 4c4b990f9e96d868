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
    static const std::array<std::pair<const char *, WorkerSays>, 11> known {{
        {"plan", WorkerSays::Plan},
        {"stage", WorkerSays::Stage},
        {"progress", WorkerSays::Progress},
        {"message", WorkerSays::Message},
        {"hint", WorkerSays::Hint},
        {"note", WorkerSays::Note},
        {"warning", WorkerSays::Warning},
        {"diagnostic", WorkerSays::Diagnostic},
        {"writing", WorkerSays::Writing},
        {"after", WorkerSays::After},
        {"result", WorkerSays::Result},
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
