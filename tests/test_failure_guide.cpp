// Every message an operator can meet has its meaning and next step: the messages are read
// out of the sources, so a new one without an entry fails here, as does a man page that
// lacks one.
#include "failure_guide.h"

#include <QFile>
#include <QRegularExpression>
#include <QtTest>

namespace {

QString source(const char *path)
{
    QFile file(QStringLiteral(SOURCE_DIR "/") + QLatin1String(path));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

QStringList captures(const QString &text, const char *pattern)
{
    QStringList found;
    auto it = QRegularExpression(QLatin1String(pattern)).globalMatch(text);
    while (it.hasNext())
        found << it.next().captured(1);
    return found;
}

// The operator messages of the run, the table transfer, the loader, the polling and the
// command line, as the sources write them; the block and line families filled in.
QStringList operatorMessages()
{
    QStringList all;
    for (const char *file : {"update/update_run.cpp", "update/language_transfer.cpp", "device/monitor.cpp",
                             "device/readout.cpp", "update/firmware_image.cpp", "cli/mova_update_main.cpp"}) {
        const QString text = source(file);
        all << captures(text, R"re((?:fail|refuse)\(RunFailure::\w+,\s*"([^"]+)")re")
            << captures(text, R"re(throw Abort\("([^"]+)")re")
            << captures(text, R"re((?:askForDevice|giveUpForNow)\(screen,\s*"([^"]+)")re")
            << captures(text, R"re(load\.message = "([^"]+)")re") << captures(text, R"re(return "(FW-Vers[^"]+)")re")
            << captures(text, R"re(screen\.failure\("([^"]+)")re");
    }
    for (const QString &suffix : captures(source("update/block_transfer.cpp"), R"re(what \+ "([^"]+)")re") + QStringList {". (0x2A)"})
        all << "Error by senden Update" + suffix << "Error by senden Language" + suffix;
    for (const QString &suffix : captures(source("update/intel_hex.cpp"), R"re(fail\("([^"]+)")re"))
        all << "Error in Zeile 12" + suffix;
    return all;
}

} // namespace

class TestFailureGuide : public QObject {
    Q_OBJECT
private slots:
    void everyMessageIsExplained();
    void theManPageHasTheTable();
};

void TestFailureGuide::everyMessageIsExplained()
{
    const QStringList messages = operatorMessages();
    QVERIFY2(messages.size() > 35, qPrintable(QString::number(messages.size()))); // the reading still finds them
    for (const QString &message : messages)
        QVERIFY2(explainFailure(message.toStdString()), qPrintable(message));
    QVERIFY(!explainFailure("Update and Language sended success!")); // a success needs none
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
