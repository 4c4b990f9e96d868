// The programs' output writer with a reader that does not read (a pipe of one page): the
// caller never waits, the lines that matter all arrive in order, and what was left out is
// either said or (a live line redrawn) not missed.
#include "output_writer.h"

#include <QRegularExpression>
#include <QtTest>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

class TestOutputWriter : public QObject {
    Q_OBJECT
private slots:
    void aReaderThatFallsBehindLosesOnlyProgress_data();
    void aReaderThatFallsBehindLosesOnlyProgress();
};

namespace {

// Everything the writer puts into `fd`, read until it has nothing left.
QByteArray readAll(int fd)
{
    QByteArray all;
    for (;;) {
        pollfd ready {fd, POLLIN, 0};
        if (::poll(&ready, 1, 200) > 0) {
            char buffer[65536];
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n > 0)
                all.append(buffer, n);
        } else if (OutputWriter::drain(0)) {
            return all;
        }
    }
}

} // namespace

void TestOutputWriter::aReaderThatFallsBehindLosesOnlyProgress_data()
{
    QTest::addColumn<bool>("redraw");
    QTest::newRow("progress lines: the newest kept, the rest counted and said") << false;
    QTest::newRow("a live line: only the newest drawn, over what the screen shows") << true;
}

void TestOutputWriter::aReaderThatFallsBehindLosesOnlyProgress()
{
    QFETCH(bool, redraw);
    int ends[2];
    QVERIFY(::pipe2(ends, O_CLOEXEC) == 0);
    QVERIFY(::fcntl(ends[1], F_SETPIPE_SZ, 4096) >= 0);
    constexpr int Lines = 2000, EventEvery = 100;
    const QByteArray padding(100, '.');
    // Nobody reads while these are written: a writer that waited on the reader never gets past them.
    for (int i = 0; i < Lines; ++i) {
        if (i % EventEvery == 0)
            OutputWriter::write(ends[1], "event " + std::to_string(i) + "\n");
        if (redraw) // redraw i takes back redraw i-1
            OutputWriter::redraw(ends[1], "<u" + std::to_string(i) + ">", "<d" + std::to_string(i) + ">");
        else
            OutputWriter::write(ends[1], "progress " + std::to_string(i) + " " + padding.toStdString() + "\n",
                                OutputWriter::Kind::Progress);
    }
    const QString out = QString::fromLatin1(readAll(ends[0]));
    ::close(ends[0]);
    ::close(ends[1]);

    // Every event, in order.
    qsizetype at = 0;
    for (int i = 0; i < Lines; i += EventEvery) {
        const qsizetype next = out.indexOf(QString("event %1\n").arg(i), at);
        QVERIFY2(next >= at, qPrintable(QString("event %1 missing or out of order").arg(i)));
        at = next;
    }
    if (redraw) {
        // Each redraw written takes back exactly the one drawn before it, and the last is the newest.
        const QRegularExpression pair("<u(\\d+)><d(\\d+)>");
        int drawn = -1, written = 0;
        for (auto m = pair.globalMatch(out); m.hasNext(); ++written) {
            const auto match = m.next();
            QCOMPARE(match.captured(1).toInt(), drawn + 1);
            drawn = match.captured(2).toInt();
        }
        QCOMPARE(drawn, Lines - 1);
        QVERIFY2(written < Lines, "nothing was coalesced: the reader was never behind");
        QVERIFY(!out.contains("not shown"));
        return;
    }
    const QRegularExpressionMatch note = QRegularExpression("(\\d+) progress lines not shown").match(out);
    QVERIFY2(note.hasMatch(), qPrintable(out.right(500)));
    QCOMPARE(out.count("progress ") - out.count("progress lines") + note.captured(1).toInt(), Lines);
    QVERIFY(out.contains(QString("progress %1 ").arg(Lines - 1))); // the newest waited
}

QTEST_GUILESS_MAIN(TestOutputWriter)
#include "test_output_writer.moc"
