// The arrow-button pair and its auto-repeating buttons, worked with real mouse and key events.
#include "control_rig.h"
#include "my_value_spin_button.h"
#include "spin_glyphs.h"
#include "table_rows.h"

#include <QLineEdit>
#include <QTimer>

using namespace MyValueSpin;

namespace {

const QRgb kOlive = qRgb(128, 128, 0);
const QRgb kBlack = qRgb(0, 0, 0);

// A window holding a pair and a line edit, shown and active.
struct Form {
    QWidget window;
    TMyValueSpinButton *pair = new TMyValueSpinButton(&window);
    QLineEdit *field = new QLineEdit(&window);
    QLineEdit *elsewhere = new QLineEdit(&window);
    int up = 0;
    int down = 0;
    QObject *sender = nullptr;

    Form()
    {
        pair->SetBounds(100, 10, 15, 17);
        field->setGeometry(10, 10, 80, 22);
        elsewhere->setGeometry(10, 35, 80, 22);
        pair->OnUpClick = [this](QObject *s) { ++up; sender = s; };
        pair->OnDownClick = [this](QObject *s) { ++down; sender = s; };
        window.resize(200, 60);
        window.show();
    }
    TTimerSpeedButton *button(const QString &which) const { return which == "up" ? pair->UpBtn : pair->DownBtn; }
    int steps(const QString &which) const { return which == "up" ? up : down; }
};

// One tick of the button's repeat timer, delivered the way the timer delivers it.
void tick(TTimerSpeedButton *btn, int times = 1)
{
    for (int i = 0; i < times; ++i)
        QMetaObject::invokeMethod(btn->StepTimer(), "timeout", Qt::DirectConnection);
}

// The rows and columns of black pixels in an image.
QRect blackBounds(const QImage &image)
{
    return inkBounds(image, [](QRgb pixel) { return pixel == kBlack; });
}

int blackInRow(const QImage &image, int y)
{
    int n = 0;
    for (int x = 0; x < image.width(); ++x)
        n += image.pixel(x, y) == kBlack;
    return n;
}

// A pair of a requested width and a height, and the size and button heights it gets.
struct LayoutRow { const char *name; int requestedWidth, height, width, upperHeight, lowerY, lowerHeight; };
// An arrow held down with a mouse button from 0 ms to its release: the times of its steps.
struct HoldRow { const char *name; QString which; Qt::MouseButton button; qint64 releaseMs; QList<qint64> steps; };
// Where the focus goes when the lower arrow is pressed: "pair", "field" or "none".
struct PressRow { const char *name; bool pairTabStop, focusControl; Qt::FocusPolicy fieldPolicy; QString focus; };
// Keys on the focused pair: the steps of each arrow and the arrow that shows the focus after.
struct KeysRow { const char *name; QList<int> keys; int up, down; QString active; };

} // namespace

class TestSpinButton : public QObject {
    Q_OBJECT
private slots:
    void layout_data()
    {
        addRows<LayoutRow>({
            {"in the spin edit", 15, 17, 15, 8, 7, 10},
            {"25 high", 15, 25, 15, 12, 11, 14},
            {"narrow is widened", 10, 17, 15, 8, 7, 10},
            {"no width", 0, 25, 15, 12, 11, 14},
            {"wide is kept", 22, 25, 22, 12, 11, 14},
        });
    }
    void layout()
    {
        QFETCH(LayoutRow, row);
        Form form;
        // Placed by SetBounds, and resized like any widget once shown.
        TMyValueSpinButton hidden;
        QCOMPARE(hidden.size(), QSize(20, 25));
        hidden.SetBounds(3, 4, row.requestedWidth, row.height);
        form.pair->resize(row.requestedWidth, row.height);
        for (TMyValueSpinButton *pair : {&hidden, form.pair}) {
            QCOMPARE(pair->size(), QSize(row.width, row.height));
            QCOMPARE(pair->UpBtn->geometry(), QRect(0, 0, row.width, row.upperHeight));
            QCOMPARE(pair->DownBtn->geometry(), QRect(0, row.lowerY, row.width, row.lowerHeight));
        }
        QCOMPARE(hidden.pos(), QPoint(3, 4));
    }

    void glyphRows_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("blackWidth");
        const int up[] = {0, 1, 3, 5, 7, 0};
        for (int row = 0; row < 6; ++row) {
            QTest::addRow("SpinUp row %d", row) << "SpinUp" << row << up[row];
            QTest::addRow("SpinDown row %d", row) << "SpinDown" << row << up[5 - row];
        }
    }
    void glyphRows()
    {
        QFETCH(QString, name);
        QFETCH(int, row);
        QFETCH(int, blackWidth);
        const QImage glyph = LoadSpinGlyph(name);
        QCOMPARE(glyph.size(), QSize(9, 6));
        QCOMPARE(glyph.pixel(0, 5), kOlive);
        const int first = (9 - blackWidth) / 2;
        for (int x = 0; x < 9; ++x) {
            const bool black = blackWidth > 0 && x >= first && x < first + blackWidth;
            QCOMPARE(glyph.pixel(x, row), black ? kBlack : kOlive);
        }
    }

    void paintedArrow_data()
    {
        QTest::addColumn<QString>("which");
        QTest::newRow("upper") << "up";
        QTest::newRow("lower") << "down";
    }
    void paintedArrow()
    {
        QFETCH(QString, which);
        Form form;
        form.pair->SetBounds(100, 10, 15, 25);
        TTimerSpeedButton *btn = form.button(which);
        const QImage released = btn->grab().toImage().convertToFormat(QImage::Format_RGB32);
        const QRect arrow = blackBounds(released);
        QCOMPARE(arrow.size(), QSize(7, 4));
        QCOMPARE(blackInRow(released, which == "up" ? arrow.top() : arrow.bottom()), 1); // the point
        for (int y = 0; y < released.height(); ++y)
            for (int x = 0; x < released.width(); ++x)
                QVERIFY2(released.pixel(x, y) != kOlive, "the glyph background shows");

        QTest::mousePress(btn, Qt::LeftButton, {}, btn->rect().center());
        const QImage pressed = btn->grab().toImage().convertToFormat(QImage::Format_RGB32);
        QTest::mouseRelease(btn, Qt::LeftButton, {}, btn->rect().center());
        QCOMPARE(blackBounds(pressed), arrow.translated(1, 1));
    }

    void holdAndRelease_data()
    {
        addRows<HoldRow>({
            {"short click", "up", Qt::LeftButton, 50, {50}},
            {"one repeat", "up", Qt::LeftButton, 450, {400, 450}},
            {"just over one second", "up", Qt::LeftButton, 1050, {400, 500, 600, 700, 800, 900, 1000, 1050}},
            {"lower, short click", "down", Qt::LeftButton, 50, {50}},
            {"lower, three repeats", "down", Qt::LeftButton, 650, {400, 500, 600, 650}},
            // The timer runs, but its ticks step nothing.
            {"right button", "down", Qt::RightButton, 650, {}},
        });
    }
    void holdAndRelease()
    {
        QFETCH(HoldRow, row);
        Form form;
        TTimerSpeedButton *btn = form.button(row.which);
        qint64 now = 0;
        QList<qint64> stepTimes;
        QObject *sender = nullptr;
        (row.which == "up" ? form.pair->OnUpClick : form.pair->OnDownClick) = [&](QObject *s) {
            stepTimes << now;
            sender = s;
        };
        QTest::mousePress(btn, row.button, {}, btn->rect().center());
        QVERIFY(btn->StepTimer() && btn->StepTimer()->isActive());
        QCOMPARE(btn->StepTimer()->interval(), 400);
        // The clock runs on the timer's own intervals: each tick comes when the interval set
        // before it has passed.
        while (btn->StepTimer()->isActive() && now + btn->StepTimer()->interval() <= row.releaseMs) {
            QVERIFY(btn->StepTimer()->interval() > 0);
            now += btn->StepTimer()->interval();
            tick(btn);
        }
        now = row.releaseMs;
        QTest::mouseRelease(btn, row.button, {}, btn->rect().center());
        QCOMPARE(stepTimes, row.steps);
        QCOMPARE(sender, row.steps.isEmpty() ? nullptr : form.pair);
        QCOMPARE(form.up + form.down, 0); // the other arrow gave no step
        QVERIFY(!btn->StepTimer()->isActive());
    }

    void movingOffPausesAndReleaseOffGivesNoStep()
    {
        Form form;
        TTimerSpeedButton *btn = form.pair->UpBtn;
        const QPoint off(btn->width() / 2, btn->height() + 6);
        QTest::mousePress(btn, Qt::LeftButton, {}, btn->rect().center());
        tick(btn);
        QCOMPARE(form.up, 1);
        QTest::mouseMove(btn, off);
        QVERIFY(!btn->isDown());
        tick(btn, 3);
        QCOMPARE(form.up, 1);
        QTest::mouseMove(btn, btn->rect().center());
        QVERIFY(btn->isDown());
        tick(btn);
        QCOMPARE(form.up, 2);
        QCOMPARE(btn->StepTimer()->interval(), 100);
        QTest::mouseMove(btn, off);
        QTest::mouseRelease(btn, Qt::LeftButton, {}, off);
        QCOMPARE(form.up, 2);
        QCOMPARE(form.down, 0);
        QVERIFY(!btn->StepTimer()->isActive());
    }

    void pressAndFocus_data()
    {
        addRows<PressRow>({
            {"plain pair", false, false, Qt::StrongFocus, "none"},
            {"tab stop pair", true, false, Qt::StrongFocus, "pair"},
            {"focus control", false, true, Qt::StrongFocus, "field"},
            {"focus control first", true, true, Qt::StrongFocus, "field"},
            {"focus control without tab stop", false, true, Qt::ClickFocus, "none"},
            {"pair after focus control without tab stop", true, true, Qt::ClickFocus, "pair"},
        });
    }
    void pressAndFocus()
    {
        QFETCH(PressRow, row);
        Form form;
        QVERIFY(showActive(form.window));
        form.elsewhere->setFocus();
        form.pair->SetTabStop(row.pairTabStop);
        form.field->setFocusPolicy(row.fieldPolicy);
        if (row.focusControl)
            form.pair->FocusControl = form.field;
        TTimerSpeedButton *btn = form.pair->DownBtn;
        QTest::mousePress(btn, Qt::LeftButton, {}, btn->rect().center());
        QCOMPARE(form.pair->hasFocus(), row.focus == "pair");
        QCOMPARE(form.field->hasFocus(), row.focus == "field");
        // Only a pair that can take the focus follows the pressed arrow.
        QCOMPARE(form.pair->FocusedBtn, row.pairTabStop ? form.pair->DownBtn : form.pair->UpBtn);
        QCOMPARE(bool(btn->RepeatFlags() & TTimerSpeedButton::ShowFocusFrame), row.focus == "pair");
        QCOMPARE(bool(form.pair->UpBtn->RepeatFlags() & TTimerSpeedButton::ShowFocusFrame), false);
        QTest::mouseRelease(btn, Qt::LeftButton, {}, btn->rect().center());
        QCOMPARE(form.down, 1);
    }

    void keysOnFocusedPair_data()
    {
        addRows<KeysRow>({
            {"space clicks the upper arrow first", {Qt::Key_Space}, 1, 0, "up"},
            {"down moves the frame", {Qt::Key_Down}, 0, 1, "down"},
            {"space follows down", {Qt::Key_Down, Qt::Key_Space}, 0, 2, "down"},
            {"up after down", {Qt::Key_Down, Qt::Key_Up, Qt::Key_Space}, 2, 1, "up"},
            {"other keys do nothing", {Qt::Key_Return, Qt::Key_Left, Qt::Key_A}, 0, 0, "up"},
        });
    }
    void keysOnFocusedPair()
    {
        QFETCH(KeysRow, row);
        Form form;
        QVERIFY(showActive(form.window));
        form.pair->SetTabStop(true);
        form.pair->setFocus(Qt::TabFocusReason);
        QVERIFY(form.pair->hasFocus());
        KeyPressRecorder reachingWindow;
        form.window.installEventFilter(&reachingWindow);
        for (int key : row.keys)
            QTest::keyClick(form.pair, Qt::Key(key));
        form.window.removeEventFilter(&reachingWindow);
        QCOMPARE(reachingWindow.keys, QList<int>{}); // the pair passes no key on
        QCOMPARE(form.up, row.up);
        QCOMPARE(form.down, row.down);
        TTimerSpeedButton *activeBtn = form.button(row.active);
        TTimerSpeedButton *otherBtn = form.button(row.active == "up" ? "down" : "up");
        QCOMPARE(form.pair->FocusedBtn, activeBtn);
        QVERIFY(activeBtn->RepeatFlags() & TTimerSpeedButton::ShowFocusFrame);
        QVERIFY(!(otherBtn->RepeatFlags() & TTimerSpeedButton::ShowFocusFrame));
        form.field->setFocus();
        QVERIFY(!(activeBtn->RepeatFlags() & TTimerSpeedButton::ShowFocusFrame));
    }

    void focusFrameIsDotted()
    {
        Form form;
        QVERIFY(showActive(form.window));
        form.pair->SetBounds(100, 10, 20, 25);
        form.pair->SetTabStop(true);
        TTimerSpeedButton *btn = form.pair->UpBtn;
        const QImage plain = btn->grab().toImage();
        form.pair->setFocus(Qt::TabFocusReason);
        const QImage framed = btn->grab().toImage();
        // The frame runs three pixels inside the edges, broken into dots.
        int changed = 0;
        for (int x = 3; x < btn->width() - 3; ++x)
            changed += framed.pixel(x, 3) != plain.pixel(x, 3);
        QVERIFY(changed > 0);
        QVERIFY(changed < btn->width() - 6);
        for (int x = 0; x < btn->width(); ++x)
            QCOMPARE(framed.pixel(x, 1), plain.pixel(x, 1));
    }
};

QTEST_MAIN(TestSpinButton)
#include "test_spin_button.moc"
