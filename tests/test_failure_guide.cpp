// Every message of the catalogue that ends something in failure has its meaning and a next
// step that each front end can take, every text is found back as its message (values filled
// in), each cause has its own explanation, and the man page lists every one.
#include "failure_guide.h"
#include "readout.h"

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
    void everyMessageIsExplainedAndFound()
    {
        int failures = 0;
        for (const MessageEntry &e : messageCatalogue()) {
            if (e.id == MessageId::None)
                continue;
            const std::string text = sample(e);
            if (e.kind == MessageKind::Failure) {
                ++failures;
                // Each front end names only what it has: the window its button, the others a command.
                const std::pair<FrontEnd, std::vector<const char *>> shown[] = {
                    {FrontEnd::Window, {"mova-update", "--"}},
                    {FrontEnd::CommandLine, {"\"Update\"", "press", "OK"}},
                    {FrontEnd::Batch, {"\"Update\"", "press", "OK"}}};
                for (const auto &[frontEnd, foreign] : shown) {
                    const std::string explained = explanationText(e.id, frontEnd);
                    QVERIFY2(explained.size() > 20 && explained.find('{') == std::string::npos, text.c_str());
                    for (const char *word : foreign)
                        QVERIFY2(explained.find(word) == std::string::npos, explained.c_str());
                }
            } else {
                QVERIFY2(!explainFailure(e.id), text.c_str()); // a success or a question needs none
            }
        }
        QVERIFY2(failures > 40, qPrintable(QString::number(failures)));
        QCOMPARE(QString::fromStdString(explanationText(MessageId::EraseUnconfirmed, FrontEnd::Window)),
                 QString("The device did not confirm that its memory was erased; it may now be without working firmware. "
                         "Charge the device, plug it in again and press \"Update\" once more."));
    }
    void eachCauseHasItsOwn_data()
    {
        QTest::addColumn<int>("id");
        QTest::addColumn<int>("frontEnd");
        QTest::addColumn<QString>("says");
        using F = FrontEnd;
        DeviceRecord oldFirmware;
        oldFirmware.hardwareVersion = 24;
        oldFirmware.firmwareVersion = 6;
        QTest::newRow("same serial") << int(MessageId::SameSerial) << int(F::Batch)
                                     << "same serial number, so neither can be told apart; nothing was sent. Check which";
        QTest::newRow("firmware too old") << int(updateRefusal(24, oldFirmware).id) << int(F::CommandLine)
                                          << "firmware is older than any this tool can update";
        QTest::newRow("not found") << int(openFailureMessage(OpenRefusal::Missing)) << int(F::CommandLine)
                                   << "Nothing is at the path given";
        QTest::newRow("again, on the command line") << int(MessageId::EraseFailed) << int(F::CommandLine)
                                                    << "plug it in again and run the same mova-update command again.";
        QTest::newRow("again, in a batch") << int(MessageId::TableNoEcho) << int(F::Batch)
                                           << "To send the texts, plug it in again; a batch with --repeat picks it up, "
                                              "otherwise run the batch again.";
    }
    void eachCauseHasItsOwn()
    {
        QFETCH(int, id);
        QFETCH(int, frontEnd);
        QFETCH(QString, says);
        const QString explained = QString::fromStdString(explanationText(MessageId(id), FrontEnd(frontEnd)));
        QVERIFY2(explained.contains(says), qPrintable(explained));
    }
    void theManPageHasTheTable()
    {
        const QString page = source("packaging/mova-update.1");
        for (const std::string &key : explainedMessages())
            QVERIFY2(page.contains(QString::fromStdString(key).replace("-", "\\-")), key.c_str());
        // Each cause with the command line's own next step, as mova-update prints it.
        for (const MessageEntry &e : messageCatalogue()) {
            const QString explained = QString::fromStdString(explanationText(e.id, FrontEnd::CommandLine));
            if (*e.text && !explained.isEmpty())
                QVERIFY2(page.contains(QString(explained).replace("-", "\\-")), qPrintable(explained));
        }
    }
};

QTEST_GUILESS_MAIN(TestFailureGuide)
#include "test_failure_guide.moc"
