// Every message of the catalogue that ends something in failure has its meaning and next
// step, every text is found back as its own message (values filled in), and the man page
// lists every one.
#include "failure_guide.h"

#include <QFile>
#include <QtTest>

namespace {

QString source(const char *path)
{
    QFile file(QStringLiteral(SOURCE_DIR "/") + QLatin1String(path));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// A text as the program shows it, with a value of the entry's kind.
std::string sample(const MessageEntry &e)
{
    switch (e.fill) {
    case MessageFill::None: return messageText(e.id);
    case MessageFill::Text: return messageText(e.id, std::string("the path: not found"));
    case MessageFill::Decimal:
    case MessageFill::Hex:
    case MessageFill::HexByte: return messageText(e.id, 42);
    }
    return {};
}

} // namespace

class TestFailureGuide : public QObject {
    Q_OBJECT
private slots:
    void everyMessageIsExplainedAndFound();
    void theManPageHasTheTable();
};

void TestFailureGuide::everyMessageIsExplainedAndFound()
{
    int failures = 0;
    for (const MessageEntry &e : messageCatalogue()) {
        if (e.id == MessageId::None)
            continue;
        const std::string text = sample(e);
        if (e.kind == MessageKind::Failure) {
            ++failures;
            const FailureHelp *help = explainFailure(e.id);
            QVERIFY2(help && *help->cause && *help->nextStep, text.c_str());
        } else {
            QVERIFY2(!explainFailure(text), text.c_str()); // a success or a question needs none
        }
        if (*e.text) { // the system's own words are no catalogue text
            QVERIFY2(messageIdOf(text) == e.id, text.c_str());
            QCOMPARE(explanationText(text), explanationText(e.id));
        }
    }
    QVERIFY2(failures > 35, qPrintable(QString::number(failures)));
    QCOMPARE(QString::fromStdString(explanationText("Data cannot clear.2")).left(61),
             QString("The device did not confirm that its memory was erased; it may"));
}

void TestFailureGuide::theManPageHasTheTable()
{
    const QString page = source("packaging/mova-update.1");
    for (const std::string &key : explainedMessages())
        QVERIFY2(page.contains(QString::fromStdString(key).replace("-", "\\-")), key.c_str());
}

QTEST_GUILESS_MAIN(TestFailureGuide)
#include "test_failure_guide.moc"
