// Every message of the catalogue that ends something in failure has its meaning and a next
// step that each front end can take (and no other message has one), each cause has its own
// explanation, and the man page lists every one.
#include "failure_guide.h"
#include "readout.h"
#include "table_rows.h"

#include <QFile>
#include <QtTest>

namespace {

// A message, the front end it is explained for, and words of its explanation.
struct CauseRow { const char *name; MessageId id; FrontEnd frontEnd; QString says; };

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
                // Each front end names only what it has: the window its button, the station its
                // sockets and settings, the others a command.
                const std::pair<FrontEnd, std::vector<const char *>> shown[] = {
                    {FrontEnd::Window, {"mova-update", "--"}},
                    {FrontEnd::CommandLine, {"\"Update\"", "press", "OK"}},
                    {FrontEnd::Batch, {"\"Update\"", "press", "OK"}},
                    {FrontEnd::Station, {"mova-update", "--", "\"Update\"", "OK", "run the batch", "option"}}};
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
        DeviceRecord oldFirmware;
        oldFirmware.hardwareVersion = 24;
        oldFirmware.firmwareVersion = 6;
        using F = FrontEnd;
        addRows<CauseRow>({
            {"same serial", MessageId::SameSerial, F::Batch,
             "same serial number, so neither can be told apart; nothing was sent. Check which"},
            {"firmware too old", updateRefusal(24, oldFirmware).id, F::CommandLine,
             "firmware is older than any this tool can update"},
            {"not found", openFailureMessage(OpenRefusal::Missing), F::CommandLine, "Nothing is at the path given"},
            {"again, on the command line", MessageId::EraseFailed, F::CommandLine,
             "plug it in again and run the same mova-update command again."},
            {"again, in a batch", MessageId::TableNoEcho, F::Batch,
             "To send the texts, plug it in again; a batch with --repeat picks it up, otherwise run the batch again."},
            {"again, in the station", MessageId::TableNoEcho, F::Station,
             "To send the texts, take it out and plug it into a socket again: the station updates it as soon as it is in."},
            {"newer firmware, in the station", MessageId::FirmwareNewer, F::Station,
             "Keep the device's firmware and take it out of its socket; to install the older one on such devices, set "
             "allow_older=yes in station.conf and start the station again."},
        });
    }
    void eachCauseHasItsOwn()
    {
        QFETCH(CauseRow, row);
        const QString explained = QString::fromStdString(explanationText(row.id, row.frontEnd));
        QVERIFY2(explained.contains(row.says), qPrintable(explained));
    }
    void theManPageHasTheTable()
    {
        QFile file(SOURCE_DIR "/packaging/mova-update.1");
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString page = QString::fromUtf8(file.readAll());
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
