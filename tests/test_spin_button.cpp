// The arrow-button pair and its auto-repeating buttons, worked with real mouse and key events.
#include "my_value_spin_button.h"
#include "spin_glyphs.h"

#include <QLineEdit>
#include <QTimer>
#include <QtTest>

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

#define SHOW_ACTIVE(form)                                                                          \
    QApplication::setActiveWindow(&(form).window);                                                 \
    QVERIFY(QTest::qWaitForWindowActive(&(form).window))

// One tick of the button's repeat timer, delivered the way the timer delivers it.
void tick(TTimerSpeedButton *btn, int times = 1)
{
    for (int i = 0; i < times; ++i)
        QMetaObject::invokeMethod(btn->StepTimer(), "timeout", Qt::DirectConnection);
}

// Counts the key presses that reach the watched widget, sent to it or passed on by a child.
struct KeyPressCounter : QObject {
    int presses = 0;
    bool eventFilter(QObject *, QEvent *event) override
    {
        presses += event->type() == QEvent::KeyPress;
        return false;
    }
};

// The rows and columns of black pixels in an image.
QRect blackBounds(const QImage &image)
{
    QRect bounds;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixel(x, y) == kBlack)
                bounds |= QRect(x, y, 1, 1);
    return bounds;
}

int blackInRow(const QImage &image, int y)
{
    int n = 0;
    for (int x = 0; x < image.width(); ++x)
        n += image.pixel(x, y) == kBlack;
    return n;
}

} // namespace

class TestSpinButton : public QObject {
    Q_OBJECT
private slots:
    void layout_data();
    void layout();
    void glyphRows_data();
    void glyphRows();
    void paintedArrow_data();
    void paintedArrow();
    void repeats_data();
    void repeats();
    void holdForJustOverOneSecond();
    void movingOffPausesAndReleaseOffGivesNoStep();
    void rightButtonTicksClickNothing();
    void pressAndFocus_data();
    void pressAndFocus();
    void keysOnFocusedPair_data();
    void keysOnFocusedPair();
    void focusFrameIsDotted();
};

void TestSpinButton::layout_data()
{
    QTest::addColumn<int>("requestedWidth");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("upperHeight");
    QTest::addColumn<int>("lowerY");
    QTest::addColumn<int>("lowerHeight");
    QTest::newRow("in the spin edit") << 15 << 17 << 15 << 8 << 7 << 10;
    QTest::newRow("25 high") << 15 << 25 << 15 << 12 << 11 << 14;
    QTest::newRow("narrow is widened") << 10 << 17 << 15 << 8 << 7 << 10;
    QTest::newRow("no width") << 0 << 25 << 15 << 12 << 11 << 14;
    QTest::newRow("wide is kept") << 22 << 25 << 22 << 12 << 11 << 14;
}

void TestSpinButton::layout()
{
    QFETCH(int, requestedWidth);
    QFETCH(int, height);
    QFETCH(int, width);
    QFETCH(int, upperHeight);
    QFETCH(int, lowerY);
    QFETCH(int, lowerHeight);
    Form form;
    // Placed by SetBounds, and resized like any widget once shown.
    TMyValueSpinButton hidden;
    QCOMPARE(hidden.size(), QSize(20, 25));
    hidden.SetBounds(3, 4, requestedWidth, height);
    form.pair->resize(requestedWidth, height);
    for (TMyValueSpinButton *pair : {&hidden, form.pair}) {
        QCOMPARE(pair->size(), QSize(width, height));
        QCOMPARE(pair->UpBtn->geometry(), QRect(0, 0, width, upperHeight));
        QCOMPARE(pair->DownBtn->geometry(), QRect(0, lowerY, width, lowerHeight));
    }
    QCOMPARE(hidden.pos(), QPoint(3, 4));
}

void TestSpinButton::glyphRows_data()
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

void TestSpinButton::glyphRows()
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

void TestSpinButton::paintedArrow_data()
{
    QTest::addColumn<QString>("which");
    QTest::addColumn<bool>("pointsUp");
    QTest::newRow("upper") << "up" << true;
    QTest::newRow("lower") << "down" << false;
}

void TestSpinButton::paintedArrow()
{
    QFETCH(QString, which);
    QFETCH(bool, pointsUp);
    Form form;
    form.pair->SetBounds(100, 10, 15, 25);
    TTimerSpeedButton *btn = form.button(which);
    const QImage released = btn->grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QRect arrow = blackBounds(released);
    QCOMPARE(arrow.size(), QSize(7, 4));
    QCOMPARE(blackInRow(released, pointsUp ? arrow.top() : arrow.bottom()), 1);
    for (int y = 0; y < released.height(); ++y)
        for (int x = 0; x < released.width(); ++x)
            QVERIFY2(released.pixel(x, y) != kOlive, "the glyph background shows");

    QTest::mousePress(btn, Qt::LeftButton, {}, btn->rect().center());
    const QImage pressed = btn->grab().toImage().convertToFormat(QImage::Format_RGB32);
    QTest::mouseRelease(btn, Qt::LeftButton, {}, btn->rect().center());
    QCOMPARE(blackBounds(pressed), arrow.translated(1, 1));
}

void TestSpinButton::repeats_data()
{
    QTest::addColumn<QString>("which");
    QTest::addColumn<int>("ticks");
    QTest::newRow("short click") << "up" << 0;
    QTest::newRow("one repeat") << "up" << 1;
    QTest::newRow("seven repeats") << "up" << 7;
    QTest::newRow("lower, short click") << "down" << 0;
    QTest::newRow("lower, three repeats") << "down" << 3;
}

void TestSpinButton::repeats()
{
    QFETCH(QString, which);
    QFETCH(int, ticks);
    Form form;
    TTimerSpeedButton *btn = form.button(which);
    QTest::mousePress(btn, Qt::LeftButton, {}, btn->rect().center());
    QCOMPARE(form.up + form.down, 0);
    QVERIFY(btn->StepTimer() && btn->StepTimer()->isActive());
    QCOMPARE(btn->StepTimer()->interval(), 400);
    tick(btn, ticks);
    QCOMPARE(form.steps(which), ticks);
    QCOMPARE(btn->StepTimer()->interval(), ticks > 0 ? 100 : 400);
    QTest::mouseRelease(btn, Qt::LeftButton, {}, btn->rect().center());
    QCOMPARE(form.steps(which), ticks + 1);
    QCOMPARE(form.up + form.down, ticks + 1);
    QCOMPARE(form.sender, form.pair);
    QVERIFY(!btn->StepTimer()->isActive());
}

void TestSpinButton::holdForJustOverOneSecond()
{
    // The clock runs on the timer's own intervals: each tick comes when the interval set
    // before it has passed, and the release comes at 1,050 ms.
    const qint64 release = 1050;
    Form form;
    TTimerSpeedButton *btn = form.pair->UpBtn;
    qint64 now = 0;
    QList<qint64> stepTimes;
    form.pair->OnUpClick = [&](QObject *) { stepTimes << now; };
    QTest::mousePress(btn, Qt::LeftButton, {}, btn->rect().center());
    QVERIFY(btn->StepTimer());
    while (btn->StepTimer()->isActive() && now + btn->StepTimer()->interval() <= release) {
        QVERIFY(btn->StepTimer()->interval() > 0);
        now += btn->StepTimer()->interval();
        tick(btn);
    }
    now = release;
    QTest::mouseRelease(btn, Qt::LeftButton, {}, btn->rect().center());
    const QList<qint64> expected{400, 500, 600, 700, 800, 900, 1000, release};
    QCOMPARE(stepTimes, expected);
}

void TestSpinButton::movingOffPausesAndReleaseOffGivesNoStep()
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

void TestSpinButton::rightButtonTicksClickNothing()
{
    Form form;
    TTimerSpeedButton *btn = form.pair->DownBtn;
    QTest::mousePress(btn, Qt::RightButton, {}, btn->rect().center());
    QVERIFY(btn->StepTimer() && btn->StepTimer()->isActive());
    tick(btn, 3);
    QTest::mouseRelease(btn, Qt::RightButton, {}, btn->rect().center());
    QVERIFY(!btn->StepTimer()->isActive());
    QCOMPARE(form.up + form.down, 0);
}

void TestSpinButton::pressAndFocus_data()
{
    QTest::addColumn<bool>("pairTabStop");
    QTest::addColumn<bool>("focusControl");
    QTest::addColumn<Qt::FocusPolicy>("fieldPolicy");
    QTest::addColumn<QString>("expectFocus"); // "pair", "field" or "none"
    QTest::newRow("plain pair") << false << false << Qt::StrongFocus << "none";
    QTest::newRow("tab stop pair") << true << false << Qt::StrongFocus << "pair";
    QTest::newRow("focus control") << false << true << Qt::StrongFocus << "field";
    QTest::newRow("focus control first") << true << true << Qt::StrongFocus << "field";
    QTest::newRow("focus control without tab stop") << false << true << Qt::ClickFocus << "none";
    QTest::newRow("pair after focus control without tab stop") << true << true << Qt::ClickFocus << "pair";
}

void TestSpinButton::pressAndFocus()
{
    QFETCH(bool, pairTabStop);
    QFETCH(bool, focusControl);
    QFETCH(Qt::FocusPolicy, fieldPolicy);
    QFETCH(QString, expectFocus);
    Form form;
    SHOW_ACTIVE(form);
    form.elsewhere->setFocus();
    form.pair->SetTabStop(pairTabStop);
    form.field->setFocusPolicy(fieldPolicy);
    if (focusControl)
        form.pair->FocusControl = form.field;
    TTimerSpeedButton *btn = form.pair->DownBtn;
    QTest::mousePress(btn, Qt::LeftButton, {}, btn->rect().center());
    QCOMPARE(form.pair->hasFocus(), expectFocus == "pair");
    QCOMPARE(form.field->hasFocus(), expectFocus == "field");
    // Only a pair that can take the focus follows the pressed arrow.
    QCOMPARE(form.pair->FocusedBtn, pairTabStop ? form.pair->DownBtn : form.pair->UpBtn);
    QCOMPARE(bool(btn->RepeatFlags() & TTimerSpeedButton::ShowFocusFrame), expectFocus == "pair");
    QCOMPARE(bool(form.pair->UpBtn->RepeatFlags() & TTimerSpeedButton::ShowFocusFrame), false);
    QTest::mouseRelease(btn, Qt::LeftButton, {}, btn->rect().center());
    QCOMPARE(form.down, 1);
}

void TestSpinButton::keysOnFocusedPair_data()
{
    QTest::addColumn<QList<int>>("keys");
    QTest::addColumn<int>("up");
    QTest::addColumn<int>("down");
    QTest::addColumn<QString>("active");
    QTest::newRow("space clicks the upper arrow first") << QList<int>{Qt::Key_Space} << 1 << 0 << "up";
    QTest::newRow("down moves the frame") << QList<int>{Qt::Key_Down} << 0 << 1 << "down";
    QTest::newRow("space follows down") << QList<int>{Qt::Key_Down, Qt::Key_Space} << 0 << 2 << "down";
    QTest::newRow("up after down") << QList<int>{Qt::Key_Down, Qt::Key_Up, Qt::Key_Space} << 2 << 1 << "up";
    QTest::newRow("other keys do nothing") << QList<int>{Qt::Key_Return, Qt::Key_Left, Qt::Key_A} << 0 << 0 << "up";
}

void TestSpinButton::keysOnFocusedPair()
{
    QFETCH(QList<int>, keys);
    QFETCH(int, up);
    QFETCH(int, down);
    QFETCH(QString, active);
    Form form;
    SHOW_ACTIVE(form);
    form.pair->SetTabStop(true);
    form.pair->setFocus(Qt::TabFocusReason);
    QVERIFY(form.pair->hasFocus());
    KeyPressCounter reachingWindow;
    form.window.installEventFilter(&reachingWindow);
    for (int key : keys)
        QTest::keyClick(form.pair, Qt::Key(key));
    form.window.removeEventFilter(&reachingWindow);
    QCOMPARE(reachingWindow.presses, 0); // the pair passes no key on
    QCOMPARE(form.up, up);
    QCOMPARE(form.down, down);
    TTimerSpeedButton *activeBtn = form.button(active);
    TTimerSpeedButton *otherBtn = form.button(active == "up" ? "down" : "up");
    QCOMPARE(form.pair->FocusedBtn, activeBtn);
    QVERIFY(activeBtn->RepeatFlags() & TTimerSpeedButton::ShowFocusFrame);
    QVERIFY(!(otherBtn->RepeatFlags() & TTimerSpeedButton::ShowFocusFrame));
    form.field->setFocus();
    QVERIFY(!(activeBtn->RepeatFlags() & TTimerSpeedButton::ShowFocusFrame));
}

void TestSpinButton::focusFrameIsDotted()
{
    Form form;
    SHOW_ACTIVE(form);
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

QTEST_MAIN(TestSpinButton)
#include "test_spin_button.moc"
