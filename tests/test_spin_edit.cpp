// The integer spin edit, worked with real key, mouse and focus events.
#include "alert_sound.h"
#include "my_value_spin_edit.h"

#include <QClipboard>
#include <QFontDatabase>
#include <QMenu>
#include <QtTest>
#include <limits>

using namespace MyValueSpin;

namespace {

constexpr long kMax = std::numeric_limits<int32_t>::max();
constexpr long kMin = std::numeric_limits<int32_t>::min();

int beeps = 0;
void countBeep() { ++beeps; }

// The main window's service-field setting: 8-point sans serif, 48 × 22.
struct Form {
    QWidget window;
    TMyValueSpinEdit *edit;
    QLineEdit *other;
    QStringList log; // OnChange, OnChanged, OnEnter and OnExit with the text they saw
    QList<int> keysSeenByWindow;

    Form()
    {
        QFont font(QStringLiteral("Sans Serif"), 8);
        font.setStyleHint(QFont::SansSerif);
        window.setFont(font);
        edit = new TMyValueSpinEdit(&window);
        other = new QLineEdit(&window);
        edit->setGeometry(10, 10, 48, 22);
        other->setGeometry(10, 40, 80, 22);
        edit->OnChange = [this](QObject *) { log << "change " + edit->text(); };
        edit->OnChanged = [this](QObject *) { log << "changed " + edit->text(); };
        edit->OnEnter = [this](QObject *) { log << "enter " + edit->text(); };
        edit->OnExit = [this](QObject *) { log << "exit " + edit->text(); };
        window.resize(200, 80);
        window.show();
    }
    TTimerSpeedButton *arrow(bool up) const { return up ? edit->ArrowButtons->UpBtn : edit->ArrowButtons->DownBtn; }
    void clickArrow(bool up) const { QTest::mouseClick(arrow(up), Qt::LeftButton, {}, arrow(up)->rect().center()); }
};

#define ACTIVATE(form)                                                                             \
    QApplication::setActiveWindow(&(form).window);                                                 \
    QVERIFY(QTest::qWaitForWindowActive(&(form).window))

} // namespace

class TestSpinEdit : public QObject {
    Q_OBJECT
private slots:
    void init() { beeps = 0; AlertSound = &countBeep; }
    void limits_data();
    void limits();
    void readBack_data();
    void readBack();
    void textValues_data();
    void textValues();
    void wordAppearsOnNextReadOrWrite();
    void decimalWordsMatchCloseValues_data();
    void decimalWordsMatchCloseValues();
    void writesRaiseEventsInOrder();
    void typedChars_data();
    void typedChars();
    void enterCommitsAndBeeps();
    void keysGoOnToTheWindow_data();
    void keysGoOnToTheWindow();
    void steps_data();
    void steps();
    void refusedSteps_data();
    void refusedSteps();
    void focusOrder();
    void autoSelect_data();
    void autoSelect();
    void cutAndPaste_data();
    void cutAndPaste();
    void minimumHeight();
    void arrowLayout_data();
    void arrowLayout();
    void arrowPressKeepsFocusedField();
};

void TestSpinEdit::limits_data()
{
    QTest::addColumn<int>("minValue");
    QTest::addColumn<int>("maxValue");
    QTest::addColumn<long>("value");
    QTest::addColumn<long>("expected");
    QTest::newRow("no limits, highest") << 0 << 0 << kMax << kMax;
    QTest::newRow("no limits, lowest") << 0 << 0 << kMin << kMin;
    QTest::newRow("5/5 pins below") << 5 << 5 << -7L << 5L;
    QTest::newRow("5/5 pins above") << 5 << 5 << 100L << 5L;
    QTest::newRow("-3/-3 is off, above") << -3 << -3 << 100L << 100L;
    QTest::newRow("-3/-3 is off, below") << -3 << -3 << -100L << -100L;
    QTest::newRow("10/5, 3") << 10 << 5 << 3L << 10L;
    QTest::newRow("10/5, 7") << 10 << 5 << 7L << 10L;
    QTest::newRow("10/5, 12") << 10 << 5 << 12L << 5L;
    QTest::newRow("offset byte, low") << -128 << 127 << -129L << -128L;
    QTest::newRow("beyond 32 bits") << 0 << 0 << kMax + 5 << kMax;
}

void TestSpinEdit::limits()
{
    QFETCH(int, minValue);
    QFETCH(int, maxValue);
    QFETCH(long, value);
    QFETCH(long, expected);
    TMyValueSpinEdit edit;
    edit.MinValue = minValue;
    edit.MaxValue = maxValue;
    QCOMPARE(edit.CheckValue(value), std::clamp(value, kMin, kMax) == value ? expected : value);
    edit.SetValue(value);
    QCOMPARE(edit.text(), QString::number(expected));
}

void TestSpinEdit::readBack_data()
{
    QTest::addColumn<int>("maxValue");
    QTest::addColumn<long>("stored");
    QTest::addColumn<QString>("text");
    QTest::addColumn<long>("expected");
    QTest::addColumn<QStringList>("log");
    QTest::newRow("above the limit") << 255 << 0L << "300" << 255L << QStringList{"change 255", "changed 255"};
    QTest::newRow("blanks around") << 0 << 0L << "\t 42 " << 42L << QStringList{"change 42", "changed 42"};
    QTest::newRow("plus sign") << 0 << 3L << "+12" << 12L << QStringList{"change 12", "changed 12"};
    QTest::newRow("lowest") << 0 << 3L << "-2147483648" << kMin << QStringList{"changed -2147483648"};
    QTest::newRow("letters") << 0 << 7L << "abc" << 7L << QStringList{"change 7"};
    QTest::newRow("empty") << 0 << 7L << "" << 7L << QStringList{"change 7"};
    QTest::newRow("decimal") << 0 << 7L << "1.5" << 7L << QStringList{"change 7"};
    QTest::newRow("hexadecimal") << 0 << 7L << "$10" << 7L << QStringList{"change 7"};
    QTest::newRow("beyond 32 bits") << 0 << 7L << "2147483648" << 7L << QStringList{"change 7"};
    QTest::newRow("same number") << 0 << 7L << "007" << 7L << QStringList{"change 7"};
}

void TestSpinEdit::readBack()
{
    QFETCH(int, maxValue);
    QFETCH(long, stored);
    QFETCH(QString, text);
    QFETCH(long, expected);
    QFETCH(QStringList, log);
    Form form;
    form.edit->MaxValue = maxValue;
    form.edit->SetValue(stored);
    form.edit->setText(text);
    form.log.clear();
    QCOMPARE(form.edit->Value(), expected);
    QCOMPARE(form.edit->text(), QString::number(expected));
    QCOMPARE(form.log, log);
}

void TestSpinEdit::textValues_data()
{
    QTest::addColumn<long>("stored");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<long>("value");
    QTest::newRow("a word is not looked up") << 1L << "off" << "on" << 1L;
    QTest::newRow("a number shows its word") << 1L << "0" << "off" << 0L;
    QTest::newRow("own word stays") << 1L << "on" << "on" << 1L;
    QTest::newRow("number without word") << 1L << "5" << "5" << 5L;
    QTest::newRow("empty for a value without word") << 5L << "" << "5" << 5L;
}

void TestSpinEdit::textValues()
{
    QFETCH(long, stored);
    QFETCH(QString, typed);
    QFETCH(QString, shown);
    QFETCH(long, value);
    Form form;
    ACTIVATE(form);
    form.edit->AddTextValues(0, "off");
    form.edit->AddTextValues(1, "on");
    form.edit->SetValue(stored);
    form.edit->setFocus();
    form.edit->setText(typed);
    if (typed.isEmpty()) {
        // A read while the field is still in use keeps the empty text.
        QCOMPARE(form.edit->Value(), stored);
        QCOMPARE(form.edit->text(), QString());
    }
    form.other->setFocus();
    QCOMPARE(form.edit->text(), shown);
    QCOMPARE(form.edit->Value(), value);
}

void TestSpinEdit::wordAppearsOnNextReadOrWrite()
{
    Form form;
    form.edit->SetValue(5);
    form.log.clear();
    form.edit->AddTextValues(5, "five");
    QCOMPARE(form.edit->text(), "5");
    QCOMPARE(form.edit->Value(), 5L);
    QCOMPARE(form.edit->text(), "five");
    form.edit->AddTextValues(5, "");
    QCOMPARE(form.edit->TextValues.Count(), 0);
    QCOMPARE(form.edit->Value(), 5L);
    QCOMPARE(form.edit->text(), "5");
    QCOMPARE(form.log, QStringList{"change 5"});
}

void TestSpinEdit::decimalWordsMatchCloseValues_data()
{
    QTest::addColumn<double>("query");
    QTest::addColumn<QString>("word");
    QTest::newRow("exact") << 1.0 << "one";
    QTest::newRow("older record wins") << 1.0000004 << "one";
    QTest::newRow("only the newer is close") << 1.0000013 << "near";
    QTest::newRow("too far from both") << 1.000002 << "";
    QTest::newRow("replaced word keeps its place") << 2.0 << "two";
}

void TestSpinEdit::decimalWordsMatchCloseValues()
{
    QFETCH(double, query);
    QFETCH(QString, word);
    TTextValuesList<double> words;
    words.PutText(2.0, "deux");
    words.PutText(1.0, "one");
    words.PutText(1.0000005, "near");
    words.PutText(2.0, "two");
    words.PutText(3.0, "");
    QCOMPARE(words.Count(), 3);
    QCOMPARE(words.At(0).Value, 2.0);
    QCOMPARE(words.TextOf(query), word);
}

void TestSpinEdit::writesRaiseEventsInOrder()
{
    Form form;
    form.edit->AddTextValues(3, "three");
    form.edit->SetValue(9);
    form.edit->SetValue(9);
    form.edit->SetValue(3);
    form.edit->SetValue(3);
    form.edit->MaxValue = 255;
    form.edit->SetValue(255);
    form.edit->SetValue(300);
    QCOMPARE(form.log, (QStringList{"change 9", "changed 9", "changed three", "change 255", "changed 255"}));
}

void TestSpinEdit::typedChars_data()
{
    const QString point = QLocale().decimalPoint();
    QTest::addColumn<bool>("editorEnabled");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("alerts");
    QTest::newRow("digits") << true << "78" << "578" << 0;
    QTest::newRow("signs") << true << "+-" << "5+-" << 0;
    QTest::newRow("decimal separator") << true << point << "5" + point << 0;
    QTest::newRow("letters") << true << "ab" << "5" << 2;
    QTest::newRow("above 127") << true << QString(QChar(0xe4)) << "5" << 1;
    QTest::newRow("blank") << true << " " << "5" << 1;
    QTest::newRow("backspace") << true << "\b" << "" << 0;
    QTest::newRow("no editor, digit") << false << "7" << "5" << 1;
    QTest::newRow("no editor, backspace") << false << "\b" << "5" << 1;
    QTest::newRow("no editor, letter") << false << "a" << "5" << 1;
}

void TestSpinEdit::typedChars()
{
    QFETCH(bool, editorEnabled);
    QFETCH(QString, typed);
    QFETCH(QString, text);
    QFETCH(int, alerts);
    Form form;
    form.edit->SetValue(5);
    form.edit->EditorEnabled = editorEnabled;
    form.edit->deselect();
    form.edit->end(false);
    for (QChar c : typed) {
        if (c == u'\b')
            QTest::keyClick(form.edit, Qt::Key_Backspace);
        else
            QTest::sendKeyEvent(QTest::Click, form.edit, Qt::Key(c.toUpper().unicode()), QString(c), {});
    }
    QCOMPARE(form.edit->text(), text);
    QCOMPARE(beeps, alerts);
}

void TestSpinEdit::enterCommitsAndBeeps()
{
    Form form;
    ACTIVATE(form);
    form.edit->setFocus();
    QTest::keyClicks(form.edit, "12");
    form.log.clear();
    QTest::keyClick(form.edit, Qt::Key_Return);
    QCOMPARE(form.log, QStringList{"changed 12"});
    QCOMPARE(beeps, 1);
    QVERIFY(form.edit->hasFocus());
}

void TestSpinEdit::keysGoOnToTheWindow_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<long>("value");
    QTest::newRow("up") << int(Qt::Key_Up) << 6L;
    QTest::newRow("down") << int(Qt::Key_Down) << 4L;
    QTest::newRow("enter") << int(Qt::Key_Return) << 5L;
}

void TestSpinEdit::keysGoOnToTheWindow()
{
    QFETCH(int, key);
    QFETCH(long, value);
    Form form;
    form.edit->SetValue(5);
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, key == Qt::Key_Return ? "\r" : "");
    QApplication::sendEvent(form.edit, &press);
    QVERIFY2(!press.isAccepted(), "the field consumed the key");
    QCOMPARE(form.edit->Value(), value);
}

void TestSpinEdit::steps_data()
{
    QTest::addColumn<int>("increment");
    QTest::addColumn<int>("maxValue");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("how");
    QTest::addColumn<long>("value");
    QTest::newRow("up key") << 1 << 0 << "5" << "up key" << 6L;
    QTest::newRow("down arrow") << 1 << 0 << "5" << "down arrow" << 4L;
    QTest::newRow("typed number is the base") << 3 << 0 << "40" << "up arrow" << 43L;
    QTest::newRow("zero only tidies") << 0 << 0 << " 7 " << "up arrow" << 7L;
    QTest::newRow("negative reverses up") << -2 << 0 << "5" << "up arrow" << 3L;
    QTest::newRow("negative reverses down") << -2 << 0 << "5" << "down key" << 7L;
    QTest::newRow("held at the top") << 1 << 0 << "2147483647" << "up arrow" << kMax;
    QTest::newRow("held at the bottom") << 1 << 0 << "-2147483648" << "down key" << kMin;
    QTest::newRow("big step held at the top") << int(kMax) << 0 << "10" << "up key" << kMax;
    QTest::newRow("lowest step held at the bottom") << int(kMin) << 0 << "-1" << "up arrow" << kMin;
    QTest::newRow("stays at the limit") << 1 << 255 << "255" << "up key" << 255L;
}

void TestSpinEdit::steps()
{
    QFETCH(int, increment);
    QFETCH(int, maxValue);
    QFETCH(QString, text);
    QFETCH(QString, how);
    QFETCH(long, value);
    Form form;
    form.edit->Increment = increment;
    form.edit->MaxValue = maxValue;
    form.edit->setText(text);
    const bool up = how.startsWith("up");
    if (how.endsWith("arrow"))
        form.clickArrow(up);
    else
        QTest::keyClick(form.edit, up ? Qt::Key_Up : Qt::Key_Down);
    QCOMPARE(form.edit->text(), QString::number(value));
    QCOMPARE(form.edit->Value(), value);
    QCOMPARE(beeps, 0);
}

void TestSpinEdit::refusedSteps_data()
{
    QTest::addColumn<bool>("editorEnabled");
    QTest::addColumn<bool>("readOnly");
    QTest::addColumn<long>("value");
    QTest::addColumn<int>("alerts");
    QTest::newRow("plain") << true << false << 7L << 0;
    QTest::newRow("without editor the steps still work") << false << false << 7L << 0;
    QTest::newRow("read only") << true << true << 5L << 4;
}

void TestSpinEdit::refusedSteps()
{
    QFETCH(bool, editorEnabled);
    QFETCH(bool, readOnly);
    QFETCH(long, value);
    QFETCH(int, alerts);
    Form form;
    form.edit->SetValue(5);
    form.edit->EditorEnabled = editorEnabled;
    form.edit->setReadOnly(readOnly);
    form.clickArrow(true);
    QTest::keyClick(form.edit, Qt::Key_Up);
    form.clickArrow(false);
    QTest::keyClick(form.edit, Qt::Key_Up);
    QCOMPARE(form.edit->Value(), value);
    QCOMPARE(beeps, alerts);
}

void TestSpinEdit::focusOrder()
{
    Form form;
    ACTIVATE(form);
    form.other->setFocus();
    form.edit->setText(" 9 ");
    form.log.clear();
    form.edit->setFocus(Qt::TabFocusReason);
    QCOMPARE(form.log, (QStringList{"change 9", "changed 9", "enter 9"}));
    form.edit->setText("12 ");
    form.log.clear();
    form.other->setFocus(Qt::TabFocusReason);
    QCOMPARE(form.log, (QStringList{"change 12", "changed 12", "exit 12"}));
}

void TestSpinEdit::autoSelect_data()
{
    QTest::addColumn<bool>("autoSelect");
    QTest::addColumn<QString>("selected");
    QTest::newRow("on") << true << "123";
    QTest::newRow("off") << false << "";
}

void TestSpinEdit::autoSelect()
{
    QFETCH(bool, autoSelect);
    QFETCH(QString, selected);
    Form form;
    ACTIVATE(form);
    form.other->setFocus();
    form.edit->SetValue(123);
    form.edit->AutoSelect = autoSelect;
    form.edit->setFocus(Qt::OtherFocusReason);
    QCOMPARE(form.edit->selectedText(), selected);
}

void TestSpinEdit::cutAndPaste_data()
{
    QTest::addColumn<bool>("editorEnabled");
    QTest::addColumn<bool>("readOnly");
    QTest::addColumn<bool>("allowed");
    QTest::newRow("plain field") << true << false << true;
    QTest::newRow("without editor") << false << false << false;
    QTest::newRow("read only") << true << true << false;
}

void TestSpinEdit::cutAndPaste()
{
    QFETCH(bool, editorEnabled);
    QFETCH(bool, readOnly);
    QFETCH(bool, allowed);
    Form form;
    ACTIVATE(form);
    form.edit->SetValue(5);
    form.edit->EditorEnabled = editorEnabled;
    form.edit->setReadOnly(readOnly);
    form.edit->setFocus();
    QClipboard *clipboard = QGuiApplication::clipboard();
    clipboard->setText(" 42 ");
    form.edit->selectAll();
    QTest::keyClick(form.edit, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(form.edit->text(), allowed ? " 42 " : "5");
    QCOMPARE(form.edit->Value(), allowed ? 42L : 5L);
    form.edit->selectAll();
    QTest::keyClick(form.edit, Qt::Key_X, Qt::ControlModifier);
    QCOMPARE(form.edit->text(), allowed ? "" : "5");
    QCOMPARE(clipboard->text(), allowed ? "42" : " 42 ");
    QCOMPARE(beeps, 0);

    // The context menu keeps the same rule.
    form.edit->setText("7");
    form.edit->selectAll();
    QContextMenuEvent menuEvent(QContextMenuEvent::Mouse, QPoint(5, 5), form.edit->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(form.edit, &menuEvent);
    auto *menu = form.edit->findChild<QMenu *>();
    QVERIFY(menu);
    QMap<QString, QAction *> actions;
    for (QAction *action : menu->actions())
        actions[action->text().section('\t', 0, 0)] = action;
    QVERIFY(actions.contains("Cu&t") && actions.contains("&Paste"));
    QCOMPARE(actions["Cu&t"]->isEnabled(), allowed);
    QCOMPARE(actions["&Paste"]->isEnabled(), allowed);
    QVERIFY(actions["&Copy"]->isEnabled());
    actions["&Paste"]->trigger();
    QCOMPARE(form.edit->text(), allowed ? "42" : "7");
    menu->close();
}

void TestSpinEdit::minimumHeight()
{
    Form form;
    const int f = QFontMetrics(form.edit->font()).height();
    const int s = QFontMetrics(QFontDatabase::systemFont(QFontDatabase::GeneralFont)).height();
    QCOMPARE(form.edit->GetMinHeight(), f + std::min(s, f) / 4 + 6);
    // An 8-point sans-serif font is 13 pixels high here, as on the main window's platform.
    if (f == 13 && s >= 13)
        QCOMPARE(form.edit->GetMinHeight(), 22);
    form.edit->resize(60, 10);
    QCOMPARE(form.edit->height(), form.edit->GetMinHeight());
    QCOMPARE(form.edit->ArrowButtons->height(), form.edit->GetMinHeight() - 5);
}

void TestSpinEdit::arrowLayout_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QRect>("arrows");
    QTest::addColumn<int>("upperHeight");
    QTest::addColumn<QRect>("lower");
    QTest::newRow("48 x 22") << QSize(48, 22) << QRect(30, 2, 15, 17) << 8 << QRect(0, 7, 15, 10);
    QTest::newRow("49 x 22") << QSize(49, 22) << QRect(31, 2, 15, 17) << 8 << QRect(0, 7, 15, 10);
    QTest::newRow("100 x 30") << QSize(100, 30) << QRect(82, 2, 15, 25) << 12 << QRect(0, 11, 15, 14);
}

void TestSpinEdit::arrowLayout()
{
    QFETCH(QSize, size);
    QFETCH(QRect, arrows);
    QFETCH(int, upperHeight);
    QFETCH(QRect, lower);
    Form form;
    form.edit->resize(size);
    QCOMPARE(form.edit->size(), size);
    QCOMPARE(form.edit->ArrowButtons->geometry(), arrows);
    QCOMPARE(form.edit->ArrowButtons->UpBtn->height(), upperHeight);
    QCOMPARE(form.edit->ArrowButtons->DownBtn->geometry(), lower);
    // A long text scrolled to its end stops left of the arrows: with the arrows out of the
    // way, no character shows where they stand.
    form.edit->setText("88888888888888888888");
    form.edit->end(false);
    form.edit->ArrowButtons->hide();
    const QImage image = form.edit->grab().toImage();
    int darkLeft = 0;
    for (int y = arrows.top(); y <= arrows.bottom(); ++y) {
        for (int x = 0; x <= arrows.right(); ++x) {
            const bool dark = qGray(image.pixel(x, y)) < 128;
            QVERIFY2(!dark || x < arrows.left(), "text under the arrows");
            darkLeft += dark;
        }
    }
    QVERIFY(darkLeft > 0);
}

void TestSpinEdit::arrowPressKeepsFocusedField()
{
    Form form;
    ACTIVATE(form);
    form.edit->SetValue(123);
    form.other->setFocus();
    form.clickArrow(true);
    QVERIFY(form.edit->hasFocus());
    QCOMPARE(form.edit->Value(), 124L);

    form.edit->setSelection(1, 1);
    TTimerSpeedButton *up = form.arrow(true);
    QTest::mousePress(up, Qt::LeftButton, {}, up->rect().center());
    QVERIFY(form.edit->hasFocus());
    QCOMPARE(form.edit->selectionStart(), 1);
    QCOMPARE(form.edit->selectedText(), "2");
    QTest::mouseRelease(up, Qt::LeftButton, {}, up->rect().center());
    QCOMPARE(form.edit->Value(), 125L);
}

QTEST_MAIN(TestSpinEdit)
#include "test_spin_edit.moc"
