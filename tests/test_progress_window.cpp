// The progress window, offscreen: its form when shown, the bar and step counter with their
// limits, the two caption modes, its width, the busy cursor and its life with the owner.
#include "progress_window.h"

#include <QApplication>
#include <QProgressBar>
#include <QtTest>
#include <memory>

namespace {

// The cursor shape in force, or -1 when no override cursor is set.
int overrideShape()
{
    const QCursor *cursor = QApplication::overrideCursor();
    return cursor ? int(cursor->shape()) : -1;
}

QString caption()
{
    return CurrentProgressWindow()->windowTitle();
}

} // namespace

class TestProgressWindow : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void formWhenShown();
    void nullOwnerTakesTheMainWindow();
    void position_data();
    void position();
    void steps_data();
    void steps();
    void settingTheStepCountResetsTheStep();
    void composedCaption_data();
    void composedCaption();
    void directCaptionIsAlsoTheStage();
    void longCaptionWidensAndStaysWide();
    void unknownKinds_data();
    void unknownKinds();
    void showWhileShownChangesNothing();
    void nothingHappensWithoutAWindow();
    void cursorIsRestoredOnClose_data();
    void cursorIsRestoredOnClose();
    void hidingAndShowingAgainStartsOver();
    void freshWindowStartsAtDesignWidth();
    void centredOverOwner_data();
    void centredOverOwner();
    void goesWithItsOwner();

private:
    std::unique_ptr<QWidget> owner;
};

void TestProgressWindow::init()
{
    owner = std::make_unique<QWidget>();
    owner->setGeometry(100, 80, 600, 400);
    owner->show();
    QVERIFY(QTest::qWaitForWindowExposed(owner.get()));
}

void TestProgressWindow::cleanup()
{
    CloseProgressWindow();
    owner.reset();
    SetProgressMainWindow(nullptr);
    while (QApplication::overrideCursor())
        QApplication::restoreOverrideCursor();
}

void TestProgressWindow::formWhenShown()
{
    ShowProgressWindow(owner.get());
    TProgressBarWindow *window = CurrentProgressWindow();
    QVERIFY(window);
    QVERIFY(window->isVisible());
    QCOMPARE(window->parentWidget(), owner.get());
    const Qt::WindowFlags flags = window->windowFlags();
    QCOMPARE(flags & Qt::WindowType_Mask, Qt::Tool);
    QVERIFY(flags & Qt::CustomizeWindowHint);
    QVERIFY(flags & Qt::WindowTitleHint);
    QVERIFY(!(flags & (Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                       Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
    QCOMPARE(window->size(), QSize(376, 19));
    QCOMPARE(window->ProgressBar1->geometry(), QRect(0, 0, 376, 19));
    QCOMPARE(window->ProgressBar1->minimum(), 0);
    QCOMPARE(window->ProgressBar1->maximum(), 100);
    QCOMPARE(GetProgress(pvPosition), 0);
    QCOMPARE(GetProgress(pvStepCount), 0);
    QCOMPARE(GetProgress(pvStep), 0);
    QCOMPARE(caption(), QString());
    QVERIFY(window->font().bold());
    QCOMPARE(window->font().pointSize(), 8);
}

void TestProgressWindow::nullOwnerTakesTheMainWindow()
{
    SetProgressMainWindow(owner.get());
    ShowProgressWindow(nullptr);
    QVERIFY(CurrentProgressWindow());
    QCOMPARE(CurrentProgressWindow()->parentWidget(), owner.get());
}

void TestProgressWindow::position_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("expected");
    QTest::newRow("inside") << 40 << 40;
    QTest::newRow("maximum") << 100 << 100;
    QTest::newRow("above the maximum") << 150 << 100;
    QTest::newRow("minimum") << 0 << 0;
    QTest::newRow("below the minimum") << -5 << 0;
}

void TestProgressWindow::position()
{
    QFETCH(int, value);
    QFETCH(int, expected);
    ShowProgressWindow(owner.get());
    SetProgressText(ptCaption, "Send update");
    SetProgress(pvPosition, 60);
    SetProgress(pvPosition, value);
    QCOMPARE(GetProgress(pvPosition), expected);
    QCOMPARE(CurrentProgressWindow()->ProgressBar1->value(), expected);
    QCOMPARE(caption(), QString("Send update")); // the bar never touches the caption
}

void TestProgressWindow::steps_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("step");
    QTest::addColumn<int>("expectedCount");
    QTest::addColumn<int>("expectedStep");
    QTest::addColumn<QString>("expectedCaption");
    QTest::newRow("negative count") << -3 << 0 << 0 << 0 << " (0/0)";
    QTest::newRow("step inside") << 5 << 2 << 5 << 2 << " (2/5)";
    QTest::newRow("step at the count") << 5 << 5 << 5 << 5 << " (5/5)";
    QTest::newRow("step above the count") << 5 << 9 << 5 << 5 << " (5/5)";
    QTest::newRow("negative step") << 5 << -1 << 5 << 0 << " (0/5)";
    QTest::newRow("step without a count") << 0 << 1 << 0 << 0 << " (0/0)";
}

void TestProgressWindow::steps()
{
    QFETCH(int, count);
    QFETCH(int, step);
    QFETCH(int, expectedCount);
    QFETCH(int, expectedStep);
    QFETCH(QString, expectedCaption);
    ShowProgressWindow(owner.get());
    SetProgress(pvStepCount, count);
    SetProgress(pvStep, step);
    QCOMPARE(GetProgress(pvStepCount), expectedCount);
    QCOMPARE(GetProgress(pvStep), expectedStep);
    QCOMPARE(caption(), expectedCaption);
}

void TestProgressWindow::settingTheStepCountResetsTheStep()
{
    ShowProgressWindow(owner.get());
    SetProgress(pvStepCount, 5);
    SetProgress(pvStep, 3);
    SetProgress(pvStepCount, 5);
    QCOMPARE(GetProgress(pvStep), 0);
    QCOMPARE(caption(), QString(" (0/5)"));
}

void TestProgressWindow::composedCaption_data()
{
    QTest::addColumn<QByteArray>("title");
    QTest::addColumn<QByteArray>("stage");
    QTest::addColumn<QByteArray>("detail");
    QTest::addColumn<int>("step");
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("expected");
    QTest::newRow("all three") << QByteArray("Update") << QByteArray("Erase") << QByteArray("Block 3")
                               << 2 << 5 << "Update: Erase - Block 3 (2/5)";
    QTest::newRow("stage only") << QByteArray() << QByteArray("Erase") << QByteArray() << 2 << 5
                                << " Erase (2/5)";
    QTest::newRow("none") << QByteArray() << QByteArray() << QByteArray() << 0 << 0 << " (0/0)";
    QTest::newRow("title and detail") << QByteArray("Update") << QByteArray() << QByteArray("Block 3")
                                      << 1 << 1 << "Update: - Block 3 (1/1)";
    QTest::newRow("UTF-8 stage") << QByteArray() << QByteArray("L\xc3\xb6schen") << QByteArray()
                                 << 0 << 0 << QString::fromUtf8(" L\xc3\xb6schen (0/0)");
}

void TestProgressWindow::composedCaption()
{
    QFETCH(QByteArray, title);
    QFETCH(QByteArray, stage);
    QFETCH(QByteArray, detail);
    QFETCH(int, step);
    QFETCH(int, count);
    QFETCH(QString, expected);
    ShowProgressWindow(owner.get());
    SetProgressText(ptTitle, title.toStdString());
    SetProgressText(ptStage, stage.toStdString());
    SetProgressText(ptDetail, detail.toStdString());
    SetProgress(pvStepCount, count);
    SetProgress(pvStep, step);
    QCOMPARE(caption(), expected);
}

void TestProgressWindow::directCaptionIsAlsoTheStage()
{
    ShowProgressWindow(owner.get());
    SetProgressText(ptTitle, "Update");
    SetProgressText(ptCaption, "Send update");
    QCOMPARE(caption(), QString("Send update"));
    QCOMPARE(CurrentProgressWindow()->stageText(), std::string("Send update"));
    SetProgressText(ptTitle, "");
    SetProgress(pvStepCount, 3);
    QCOMPARE(caption(), QString(" Send update (0/3)"));

    // The direct mode never widens the window, however long its text.
    SetProgressText(ptCaption, std::string(300, 'W'));
    QCOMPARE(CurrentProgressWindow()->width(), 376);
}

void TestProgressWindow::longCaptionWidensAndStaysWide()
{
    ShowProgressWindow(owner.get());
    TProgressBarWindow *window = CurrentProgressWindow();
    SetProgressText(ptStage, "Memory prepare - clear");
    QCOMPARE(window->width(), 376);

    SetProgressText(ptDetail, std::string(80, 'W'));
    const int wide = QFontMetrics(window->font()).horizontalAdvance(caption()) + 60;
    QVERIFY(wide > 376);
    QCOMPARE(window->ProgressBar1->width(), wide);
    QCOMPARE(window->size(), QSize(wide, 19));

    SetProgressText(ptDetail, "Block 1");
    QCOMPARE(window->ProgressBar1->width(), wide);
    QCOMPARE(window->width(), wide);
}

void TestProgressWindow::unknownKinds_data()
{
    QTest::addColumn<int>("kind");
    QTest::newRow("7") << 7;
    QTest::newRow("refresh") << int(ptRefresh);
    QTest::newRow("4") << 4;
}

void TestProgressWindow::unknownKinds()
{
    QFETCH(int, kind);
    ShowProgressWindow(owner.get());
    TProgressBarWindow *window = CurrentProgressWindow();
    SetProgress(pvPosition, 40);
    SetProgress(pvStepCount, 4);
    SetProgress(pvStep, 1);
    SetProgressText(ptTitle, "Update");
    SetProgressText(ptDetail, "Block 3");
    SetProgressText(ptCaption, "Send update");
    QCOMPARE(GetProgress(kind), 0);

    SetProgressText(kind, "ignored");
    QCOMPARE(window->titleText(), std::string("Update"));
    QCOMPARE(window->stageText(), std::string("Send update"));
    QCOMPARE(window->detailText(), std::string("Block 3"));
    QCOMPARE(caption(), QString("Update: Send update - Block 3 (1/4)"));

    SetProgressText(ptCaption, "Send update");
    SetProgress(kind, 99);
    QCOMPARE(caption(), QString("Update: Send update - Block 3 (1/4)"));
    QCOMPARE(GetProgress(pvPosition), 40);
    QCOMPARE(GetProgress(pvStepCount), 4);
    QCOMPARE(GetProgress(pvStep), 1);
}

void TestProgressWindow::showWhileShownChangesNothing()
{
    ShowProgressWindow(owner.get());
    TProgressBarWindow *window = CurrentProgressWindow();
    SetProgressText(ptCaption, "Send update");
    SetProgress(pvPosition, 40);
    QWidget other;
    ShowProgressWindow(&other);
    ShowProgressWindow(nullptr);
    QCOMPARE(CurrentProgressWindow(), window);
    QCOMPARE(window->parentWidget(), owner.get());
    QCOMPARE(GetProgress(pvPosition), 40);
    QCOMPARE(caption(), QString("Send update"));
    CloseProgressWindow();
    QCOMPARE(overrideShape(), -1); // no second busy cursor was stacked
}

void TestProgressWindow::nothingHappensWithoutAWindow()
{
    QApplication::setOverrideCursor(Qt::IBeamCursor);
    CloseProgressWindow();
    QVERIFY(!CurrentProgressWindow());
    QCOMPARE(overrideShape(), int(Qt::IBeamCursor));
    SetProgress(pvPosition, 40);
    SetProgressText(ptCaption, "Send update");
    QCOMPARE(GetProgress(pvPosition), 0);
    QVERIFY(!CurrentProgressWindow());
}

void TestProgressWindow::cursorIsRestoredOnClose_data()
{
    QTest::addColumn<int>("before"); // -1: no override cursor
    QTest::newRow("none") << -1;
    QTest::newRow("pointing hand") << int(Qt::PointingHandCursor);
    QTest::newRow("already busy") << int(Qt::WaitCursor);
}

void TestProgressWindow::cursorIsRestoredOnClose()
{
    QFETCH(int, before);
    if (before >= 0)
        QApplication::setOverrideCursor(Qt::CursorShape(before));
    ShowProgressWindow(owner.get());
    QCOMPARE(overrideShape(), int(Qt::WaitCursor));
    CloseProgressWindow();
    QCOMPARE(overrideShape(), before);
    QVERIFY(!CurrentProgressWindow());
    // Exactly one entry was taken off again: the one set before is the last one on the stack.
    if (before >= 0) {
        QApplication::restoreOverrideCursor();
        QCOMPARE(overrideShape(), -1);
    }
}

void TestProgressWindow::hidingAndShowingAgainStartsOver()
{
    ShowProgressWindow(owner.get());
    TProgressBarWindow *window = CurrentProgressWindow();
    SetProgress(pvPosition, 40);
    SetProgress(pvStepCount, 5);
    SetProgressText(ptTitle, "Update");
    window->hide();
    QCOMPARE(overrideShape(), -1);
    window->show();
    QCOMPARE(overrideShape(), int(Qt::WaitCursor));
    QCOMPARE(GetProgress(pvPosition), 0);
    QCOMPARE(GetProgress(pvStepCount), 0);
    QCOMPARE(window->titleText(), std::string());
    QCOMPARE(caption(), QString());
    CloseProgressWindow();
    QCOMPARE(overrideShape(), -1);
}

void TestProgressWindow::freshWindowStartsAtDesignWidth()
{
    ShowProgressWindow(owner.get());
    SetProgressText(ptDetail, std::string(80, 'W'));
    QVERIFY(CurrentProgressWindow()->width() > 376);
    CloseProgressWindow();
    ShowProgressWindow(owner.get());
    QCOMPARE(CurrentProgressWindow()->size(), QSize(376, 19));
    QCOMPARE(CurrentProgressWindow()->ProgressBar1->width(), 376);
}

void TestProgressWindow::centredOverOwner_data()
{
    QTest::addColumn<QRect>("ownerGeometry");
    QTest::newRow("large owner") << QRect(100, 80, 600, 400);
    QTest::newRow("owner narrower than the window") << QRect(40, 300, 200, 71);
    QTest::newRow("odd sizes") << QRect(251, 33, 431, 157);
}

void TestProgressWindow::centredOverOwner()
{
    QFETCH(QRect, ownerGeometry);
    owner->setGeometry(ownerGeometry);
    ShowProgressWindow(owner.get());
    const QRect outer = owner->frameGeometry();
    const QRect window = CurrentProgressWindow()->frameGeometry();
    // Odd differences in size leave half a pixel either way.
    QVERIFY2(qAbs((window.left() + window.right()) - (outer.left() + outer.right())) <= 1,
             qPrintable(QString("window %1..%2, owner %3..%4")
                            .arg(window.left()).arg(window.right()).arg(outer.left()).arg(outer.right())));
    QVERIFY(qAbs((window.top() + window.bottom()) - (outer.top() + outer.bottom())) <= 1);
}

void TestProgressWindow::goesWithItsOwner()
{
    QApplication::setOverrideCursor(Qt::PointingHandCursor);
    ShowProgressWindow(owner.get());
    QPointer<TProgressBarWindow> window = CurrentProgressWindow();
    owner.reset();
    QVERIFY(!window);
    QVERIFY(!CurrentProgressWindow());
    QCOMPARE(overrideShape(), int(Qt::PointingHandCursor));
    CloseProgressWindow(); // nothing left to close
    QCOMPARE(overrideShape(), int(Qt::PointingHandCursor));
}

QTEST_MAIN(TestProgressWindow)
#include "test_progress_window.moc"
