// The progress window, offscreen: its form when shown, the bar and step counter with their
// limits, the two caption modes, its width, the busy cursor and its life with the owner.
#include "progress_window.h"
#include "table_rows.h"

#include <QApplication>
#include <QProgressBar>
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

// One SetProgress or SetProgressText call.
struct Call {
    int kind;
    int value;
    std::string text;
    bool isText;
};
Call value(int kind, int value) { return {kind, value, {}, false}; }
Call text(int kind, const std::string &text) { return {kind, 0, text, true}; }
std::vector<Call> operator+(std::vector<Call> calls, const Call &last)
{
    calls.push_back(last);
    return calls;
}

// Calls on a fresh window, then the bar position, step count, step and caption.
struct CallsRow { const char *name; std::vector<Call> calls; int position, count, step; QString caption; };
// The override cursor before the window (-1: none), and whether the window goes with its owner.
struct CursorRow { const char *name; int before; bool ownerGoes; };

} // namespace

class TestProgressWindow : public QObject {
    Q_OBJECT
    std::unique_ptr<QWidget> owner;

private slots:
    void init()
    {
        owner = std::make_unique<QWidget>();
        owner->setGeometry(100, 80, 600, 400);
        owner->show();
        QVERIFY(QTest::qWaitForWindowExposed(owner.get()));
    }
    void cleanup()
    {
        CloseProgressWindow();
        owner.reset();
        SetProgressMainWindow(nullptr);
        while (QApplication::overrideCursor())
            QApplication::restoreOverrideCursor();
    }

    // Shown for a null owner, it takes the main window.
    void formWhenShown()
    {
        SetProgressMainWindow(owner.get());
        ShowProgressWindow(nullptr);
        TProgressBarWindow *window = CurrentProgressWindow();
        QVERIFY(window);
        QVERIFY(window->isVisible());
        QCOMPARE(window->parentWidget(), owner.get());
        const Qt::WindowFlags flags = window->windowFlags();
        QCOMPARE(flags & Qt::WindowType_Mask, Qt::Tool);
        QVERIFY(flags & Qt::CustomizeWindowHint);
        QVERIFY(flags & Qt::WindowTitleHint);
        QVERIFY(!(flags & (Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint |
                           Qt::WindowMaximizeButtonHint)));
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

    void calls_data()
    {
        // Every kind set, then a direct caption: what a kind outside the known ones does.
        const std::vector<Call> all = {value(pvPosition, 40), value(pvStepCount, 4), value(pvStep, 1),
                                       text(ptTitle, "Update"), text(ptDetail, "Block 3"),
                                       text(ptCaption, "Send update")};
        const QString allComposed = "Update: Send update - Block 3 (1/4)";
        addRows<CallsRow>({
            // The bar is held within 0..100 and never touches the caption.
            {"position inside", {value(pvPosition, 60), value(pvPosition, 40)}, 40, 0, 0, ""},
            {"position at the maximum", {value(pvPosition, 60), value(pvPosition, 100)}, 100, 0, 0, ""},
            {"position above the maximum", {value(pvPosition, 60), value(pvPosition, 150)}, 100, 0, 0, ""},
            {"position at the minimum", {value(pvPosition, 60), value(pvPosition, 0)}, 0, 0, 0, ""},
            {"position below the minimum", {value(pvPosition, 60), value(pvPosition, -5)}, 0, 0, 0, ""},
            {"negative step count", {value(pvStepCount, -3), value(pvStep, 0)}, 0, 0, 0, " (0/0)"},
            {"step inside", {value(pvStepCount, 5), value(pvStep, 2)}, 0, 5, 2, " (2/5)"},
            {"step at the count", {value(pvStepCount, 5), value(pvStep, 5)}, 0, 5, 5, " (5/5)"},
            {"step above the count", {value(pvStepCount, 5), value(pvStep, 9)}, 0, 5, 5, " (5/5)"},
            {"negative step", {value(pvStepCount, 5), value(pvStep, -1)}, 0, 5, 0, " (0/5)"},
            {"step without a count", {value(pvStepCount, 0), value(pvStep, 1)}, 0, 0, 0, " (0/0)"},
            {"setting the step count resets the step",
             {value(pvStepCount, 5), value(pvStep, 3), value(pvStepCount, 5)}, 0, 5, 0, " (0/5)"},
            // The composed caption: each text part left out when empty.
            {"title, stage and detail",
             {text(ptTitle, "Update"), text(ptStage, "Erase"), text(ptDetail, "Block 3"), value(pvStepCount, 5),
              value(pvStep, 2)}, 0, 5, 2, "Update: Erase - Block 3 (2/5)"},
            {"stage only", {text(ptStage, "Erase"), value(pvStepCount, 5), value(pvStep, 2)}, 0, 5, 2, " Erase (2/5)"},
            {"title and detail", {text(ptTitle, "Update"), text(ptDetail, "Block 3"), value(pvStepCount, 1),
              value(pvStep, 1)}, 0, 1, 1, "Update: - Block 3 (1/1)"},
            {"UTF-8 stage", {text(ptStage, "L\xc3\xb6schen")}, 0, 0, 0, QString::fromUtf8(" L\xc3\xb6schen (0/0)")},
            // The direct caption is shown as given and stays the stage of the next composition.
            {"direct caption", {text(ptTitle, "Update"), text(ptCaption, "Send update")}, 0, 0, 0, "Send update"},
            {"direct caption, then composed",
             {text(ptTitle, "Update"), text(ptCaption, "Send update"), text(ptTitle, ""), value(pvStepCount, 3)}, 0,
             3, 0, " Send update (0/3)"},
            // A kind outside the known ones changes nothing but composes the caption again.
            {"text of kind 7", all + text(7, "ignored"), 40, 4, 1, allComposed},
            {"text of kind refresh", all + text(ptRefresh, "ignored"), 40, 4, 1, allComposed},
            {"text of kind 4", all + text(4, "ignored"), 40, 4, 1, allComposed},
            {"value of kind 7", all + value(7, 99), 40, 4, 1, allComposed},
            {"value of kind refresh", all + value(ptRefresh, 99), 40, 4, 1, allComposed},
            {"value of kind 4", all + value(4, 99), 40, 4, 1, allComposed},
        });
    }
    void calls()
    {
        QFETCH(CallsRow, row);
        ShowProgressWindow(owner.get());
        for (const Call &call : row.calls) {
            if (call.isText)
                SetProgressText(call.kind, call.text);
            else
                SetProgress(call.kind, call.value);
        }
        QCOMPARE(GetProgress(pvPosition), row.position);
        QCOMPARE(CurrentProgressWindow()->ProgressBar1->value(), row.position);
        QCOMPARE(GetProgress(pvStepCount), row.count);
        QCOMPARE(GetProgress(pvStep), row.step);
        QCOMPARE(caption(), row.caption);
        for (int unknown : {7, 4, int(ptRefresh)})
            QCOMPARE(GetProgress(unknown), 0);
    }

    void widthFollowsTheComposedCaption()
    {
        ShowProgressWindow(owner.get());
        TProgressBarWindow *window = CurrentProgressWindow();
        // The direct mode never widens the window, however long its text.
        SetProgressText(ptCaption, std::string(300, 'W'));
        QCOMPARE(window->width(), 376);
        SetProgressText(ptStage, "Memory prepare - clear");
        QCOMPARE(window->width(), 376);

        SetProgressText(ptDetail, std::string(80, 'W'));
        const int wide = QFontMetrics(window->font()).horizontalAdvance(caption()) + 60;
        QVERIFY(wide > 376);
        QCOMPARE(window->ProgressBar1->width(), wide);
        QCOMPARE(window->size(), QSize(wide, 19));
        // A shorter caption leaves it wide ...
        SetProgressText(ptDetail, "Block 1");
        QCOMPARE(window->ProgressBar1->width(), wide);
        QCOMPARE(window->width(), wide);
        // ... until a fresh window starts at the design width.
        CloseProgressWindow();
        ShowProgressWindow(owner.get());
        QCOMPARE(CurrentProgressWindow()->size(), QSize(376, 19));
        QCOMPARE(CurrentProgressWindow()->ProgressBar1->width(), 376);
    }

    // Shown again while shown, nothing changes; hidden and shown, it starts over.
    void showAgainChangesNothingHidingStartsOver()
    {
        ShowProgressWindow(owner.get());
        TProgressBarWindow *window = CurrentProgressWindow();
        SetProgress(pvStepCount, 5);
        SetProgressText(ptCaption, "Send update");
        SetProgress(pvPosition, 40);
        QWidget other;
        ShowProgressWindow(&other);
        ShowProgressWindow(nullptr);
        QCOMPARE(CurrentProgressWindow(), window);
        QCOMPARE(window->parentWidget(), owner.get());
        QCOMPARE(GetProgress(pvPosition), 40);
        QCOMPARE(caption(), QString("Send update"));
        window->hide();
        QCOMPARE(overrideShape(), -1); // no second busy cursor was stacked
        window->show();
        QCOMPARE(overrideShape(), int(Qt::WaitCursor));
        QCOMPARE(GetProgress(pvPosition), 0);
        QCOMPARE(GetProgress(pvStepCount), 0);
        QCOMPARE(caption(), QString());
        CloseProgressWindow();
        QCOMPARE(overrideShape(), -1);
    }

    void busyCursorGoesWithTheWindow_data()
    {
        addRows<CursorRow>({
            {"none, closed", -1, false},
            {"pointing hand, closed", int(Qt::PointingHandCursor), false},
            {"already busy, closed", int(Qt::WaitCursor), false},
            {"pointing hand, the owner goes", int(Qt::PointingHandCursor), true},
        });
    }
    void busyCursorGoesWithTheWindow()
    {
        QFETCH(CursorRow, row);
        if (row.before >= 0)
            QApplication::setOverrideCursor(Qt::CursorShape(row.before));
        ShowProgressWindow(owner.get());
        QPointer<TProgressBarWindow> window = CurrentProgressWindow();
        QCOMPARE(overrideShape(), int(Qt::WaitCursor));
        if (row.ownerGoes)
            owner.reset();
        else
            CloseProgressWindow();
        QVERIFY(!window);
        QVERIFY(!CurrentProgressWindow());
        QCOMPARE(overrideShape(), row.before);
        // Without a window nothing happens: nothing to close, nothing set, none made.
        CloseProgressWindow();
        SetProgress(pvPosition, 40);
        SetProgressText(ptCaption, "Send update");
        QCOMPARE(GetProgress(pvPosition), 0);
        QVERIFY(!CurrentProgressWindow());
        QCOMPARE(overrideShape(), row.before);
        // Exactly one entry was taken off again: the one set before is the last one on the stack.
        if (row.before >= 0) {
            QApplication::restoreOverrideCursor();
            QCOMPARE(overrideShape(), -1);
        }
    }

    void centredOverOwner_data()
    {
        QTest::addColumn<QRect>("ownerGeometry");
        QTest::newRow("large owner") << QRect(100, 80, 600, 400);
        QTest::newRow("owner narrower than the window") << QRect(40, 300, 200, 71);
        QTest::newRow("odd sizes") << QRect(251, 33, 431, 157);
    }
    void centredOverOwner()
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
};

QTEST_MAIN(TestProgressWindow)
#include "test_progress_window.moc"
