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

// The main window's service-field setting (8-point sans serif, 48 × 22) and a second field
// to move the focus to.
struct Form {
    QWidget window;
    TMyValueSpinEdit *edit = new TMyValueSpinEdit(&window);
    QLineEdit *other = new QLineEdit(&window);
    QStringList log; // OnChange, OnChanged, OnEnter and OnExit with the text they saw

    Form()
    {
        QFont font(QStringLiteral("Sans Serif"), 8);
        font.setStyleHint(QFont::SansSerif);
        window.setFont(font);
        edit->setGeometry(10, 10, 48, 22);
        other->setGeometry(10, 40, 80, 22);
        edit->OnChange = [this](QObject *) { log << "change " + edit->text(); };
        edit->OnChanged = [this](QObject *) { log << "changed " + edit->text(); };
        edit->OnEnter = [this](QObject *) { log << "enter " + edit->text(); };
        edit->OnExit = [this](QObject *) { log << "exit " + edit->text(); };
        window.resize(200, 80);
        window.show();
        QApplication::setActiveWindow(&window);
        // The focus tests fail on their own if this does not come true.
        (void)QTest::qWaitForWindowActive(&window);
        // The field starts without the focus; the tests give it when they need it.
        other->setFocus();
        log.clear();
    }
    TTimerSpeedButton *arrow(bool up) const { return up ? edit->ArrowButtons->UpBtn : edit->ArrowButtons->DownBtn; }
    void clickArrow(bool up) const { QTest::mouseClick(arrow(up), Qt::LeftButton, {}, arrow(up)->rect().center()); }
};

} // namespace

class TestSpinEdit : public QObject {
    Q_OBJECT
private slots:
    void init() { beeps = 0; AlertSound = &countBeep; }

    void limits_data()
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
        QTest::newRow("10/5, 7: the lower test comes first") << 10 << 5 << 7L << 10L;
        QTest::newRow("10/5, 12") << 10 << 5 << 12L << 5L;
    }
    void limits()
    {
        QFETCH(int, minValue);
        QFETCH(int, maxValue);
        QFETCH(long, value);
        QFETCH(long, expected);
        TMyValueSpinEdit edit;
        edit.MinValue = minValue;
        edit.MaxValue = maxValue;
        QCOMPARE(edit.CheckValue(value), expected);
        edit.SetValue(value);
        QCOMPARE(edit.text(), QString::number(expected));
    }

    void readBack_data()
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
        QTest::newRow("beyond 32 bits written") << 0 << kMax + 5 << "x" << kMax << QStringList{"change 2147483647"};
    }
    void readBack()
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

    void textValues_data()
    {
        QTest::addColumn<long>("stored");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("shown");
        QTest::newRow("a word is not looked up") << 1L << "off" << "on";
        QTest::newRow("a number shows its word") << 1L << "0" << "off";
        QTest::newRow("own word stays") << 1L << "on" << "on";
        QTest::newRow("number without word") << 1L << "5" << "5";
        QTest::newRow("empty, value without word") << 5L << "" << "5";
    }
    void textValues()
    {
        QFETCH(long, stored);
        QFETCH(QString, typed);
        QFETCH(QString, shown);
        Form form;
        form.edit->AddTextValues(0, "off");
        form.edit->AddTextValues(1, "on");
        form.edit->SetValue(stored);
        form.edit->setFocus();
        form.edit->setText(typed);
        // A read while the field is in use leaves an empty text alone.
        if (typed.isEmpty()) {
            QCOMPARE(form.edit->Value(), stored);
            QCOMPARE(form.edit->text(), QString());
        }
        form.other->setFocus();
        QCOMPARE(form.edit->text(), shown);
    }

    void wordAppearsOnNextReadOrWrite()
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

    void decimalWordsMatchWithinAMillionth()
    {
        TTextValuesList<double> words;
        for (auto [value, text] : {std::pair{2.0, "deux"}, {1.0, "one"}, {1.0000005, "near"}, {2.0, "two"}, {3.0, ""}})
            words.PutText(value, text);
        QCOMPARE(words.Count(), 3);
        QCOMPARE(words.At(0).Value, 2.0); // a replaced word keeps its place
        const std::pair<double, QString> cases[] = {
            {1.0000004, "one"}, {1.0000013, "near"}, {1.000002, ""}, {2.0, "two"}}; // the older record wins
        for (const auto &[query, word] : cases)
            QCOMPARE(words.TextOf(query), word);
    }

    void writesRaiseEventsInOrder()
    {
        Form form;
        form.edit->AddTextValues(3, "three");
        form.edit->MaxValue = 255;
        for (long value : {9L, 9L, 3L, 3L, 255L, 300L})
            form.edit->SetValue(value);
        QCOMPARE(form.log, (QStringList{"change 9", "changed 9", "changed three", "change 255", "changed 255"}));
    }

    void typedChars_data()
    {
        const QString point = QLocale().decimalPoint();
        QTest::addColumn<bool>("editorEnabled");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("alerts");
        QTest::newRow("digits and signs") << true << "7+-8" << "57+-8" << 0;
        QTest::newRow("decimal separator") << true << point << "5" + point << 0;
        QTest::newRow("letters and blank") << true << "a b" << "5" << 3;
        QTest::newRow("above 127") << true << QString(QChar(0xe4)) << "5" << 1;
        QTest::newRow("backspace") << true << "\b" << "" << 0;
        QTest::newRow("no editor, digit") << false << "7" << "5" << 1;
        QTest::newRow("no editor, backspace") << false << "\b" << "5" << 1;
    }
    void typedChars()
    {
        QFETCH(bool, editorEnabled);
        QFETCH(QString, typed);
        QFETCH(QString, text);
        QFETCH(int, alerts);
        Form form;
        form.edit->SetValue(5);
        form.edit->EditorEnabled = editorEnabled;
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

    void keysCommitAndGoOnToTheWindow_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<QStringList>("log");
        QTest::addColumn<int>("alerts");
        // The typed number is taken over before the step.
        QTest::newRow("up") << int(Qt::Key_Up) << QStringList{"changed 12", "change 13", "changed 13"} << 0;
        QTest::newRow("down") << int(Qt::Key_Down) << QStringList{"changed 12", "change 11", "changed 11"} << 0;
        // The carriage return itself is refused by the filter.
        QTest::newRow("enter") << int(Qt::Key_Return) << QStringList{"changed 12"} << 1;
    }
    void keysCommitAndGoOnToTheWindow()
    {
        QFETCH(int, key);
        QFETCH(QStringList, log);
        QFETCH(int, alerts);
        Form form;
        form.edit->selectAll();
        QTest::keyClicks(form.edit, "12");
        form.log.clear();
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, key == Qt::Key_Return ? "\r" : "");
        QApplication::sendEvent(form.edit, &press);
        QVERIFY2(!press.isAccepted(), "the field consumed the key");
        QCOMPARE(form.log, log);
        QCOMPARE(beeps, alerts);
    }

    void steps_data()
    {
        QTest::addColumn<int>("increment");
        QTest::addColumn<int>("maxValue");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("setting");
        QTest::addColumn<long>("value");
        QTest::newRow("up key") << 1 << 0 << "5" << "up key" << "" << 6L;
        QTest::newRow("no editor, up arrow") << 1 << 0 << "5" << "up arrow" << "no editor" << 6L;
        QTest::newRow("no editor, down key") << 1 << 0 << "5" << "down key" << "no editor" << 4L;
        QTest::newRow("read only, up arrow") << 1 << 0 << "5" << "up arrow" << "read only" << 5L;
        QTest::newRow("read only, down key") << 1 << 0 << "5" << "down key" << "read only" << 5L;
        QTest::newRow("down arrow") << 1 << 0 << "5" << "down arrow" << "" << 4L;
        QTest::newRow("typed number is the base") << 3 << 0 << "40" << "up arrow" << "" << 43L;
        QTest::newRow("zero only tidies") << 0 << 0 << " 7 " << "up arrow" << "" << 7L;
        QTest::newRow("negative reverses up") << -2 << 0 << "5" << "up arrow" << "" << 3L;
        QTest::newRow("negative reverses down") << -2 << 0 << "5" << "down key" << "" << 7L;
        QTest::newRow("held at the top") << 1 << 0 << "2147483647" << "up arrow" << "" << kMax;
        QTest::newRow("held at the bottom") << 1 << 0 << "-2147483648" << "down key" << "" << kMin;
        QTest::newRow("big step held at the top") << int(kMax) << 0 << "10" << "up key" << "" << kMax;
        QTest::newRow("lowest step held at the bottom") << int(kMin) << 0 << "-1" << "up arrow" << "" << kMin;
        QTest::newRow("stays at the limit") << 1 << 255 << "255" << "up key" << "" << 255L;
    }
    void steps()
    {
        QFETCH(int, increment);
        QFETCH(int, maxValue);
        QFETCH(QString, text);
        QFETCH(QString, how);
        QFETCH(QString, setting);
        QFETCH(long, value);
        Form form;
        form.edit->Increment = increment;
        form.edit->MaxValue = maxValue;
        form.edit->EditorEnabled = setting != "no editor";
        form.edit->setReadOnly(setting == "read only");
        form.edit->setText(text);
        const bool up = how.startsWith("up");
        if (how.endsWith("arrow"))
            form.clickArrow(up);
        else
            QTest::keyClick(form.edit, up ? Qt::Key_Up : Qt::Key_Down);
        QCOMPARE(form.edit->text(), QString::number(value));
        QCOMPARE(form.edit->Value(), value);
        QCOMPARE(beeps, setting == "read only" ? 1 : 0);
    }

    void focusOrder()
    {
        Form form;
        form.other->setFocus();
        form.edit->setText(" 9 ");
        form.log.clear();
        form.edit->setFocus(Qt::OtherFocusReason);
        QCOMPARE(form.log, (QStringList{"change 9", "changed 9", "enter 9"}));
        QCOMPARE(form.edit->selectedText(), "9");
        form.edit->setText("12 ");
        form.log.clear();
        form.other->setFocus(Qt::OtherFocusReason);
        QCOMPARE(form.log, (QStringList{"change 12", "changed 12", "exit 12"}));
        form.edit->AutoSelect = false;
        form.edit->setFocus(Qt::OtherFocusReason);
        QCOMPARE(form.edit->selectedText(), QString());
    }

    void cutAndPaste_data()
    {
        QTest::addColumn<bool>("editorEnabled");
        QTest::addColumn<bool>("readOnly");
        QTest::addColumn<bool>("allowed");
        QTest::newRow("plain field") << true << false << true;
        QTest::newRow("without editor") << false << false << false;
        QTest::newRow("read only") << true << true << false;
    }
    void cutAndPaste()
    {
        QFETCH(bool, editorEnabled);
        QFETCH(bool, readOnly);
        QFETCH(bool, allowed);
        Form form;
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

        // The context menu's Paste keeps the same rule.
        form.edit->setText("7");
        form.edit->selectAll();
        QContextMenuEvent menuEvent(QContextMenuEvent::Mouse, QPoint(5, 5), form.edit->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(form.edit, &menuEvent);
        auto *menu = form.edit->findChild<QMenu *>();
        QVERIFY(menu);
        const QList<QAction *> actions = menu->actions();
        const auto paste = std::find_if(actions.begin(), actions.end(), [](QAction *a) { return a->text().startsWith("&Paste"); });
        QVERIFY(paste != actions.end());
        QCOMPARE((*paste)->isEnabled(), allowed);
        (*paste)->trigger();
        QCOMPARE(form.edit->text(), allowed ? "42" : "7");
        menu->close();
    }

    void minimumHeight()
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

    void arrowLayout_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QRect>("arrows");
        QTest::addColumn<int>("upperHeight");
        QTest::addColumn<QRect>("lower");
        QTest::newRow("48 x 22") << QSize(48, 22) << QRect(30, 2, 15, 17) << 8 << QRect(0, 7, 15, 10);
        QTest::newRow("100 x 30") << QSize(100, 30) << QRect(82, 2, 15, 25) << 12 << QRect(0, 11, 15, 14);
    }
    void arrowLayout()
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
        // A long text scrolled to its end stops left of the arrows: with the arrows out of
        // the way, no character shows where they stand.
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

    void arrowPressOnFocusedFieldKeepsSelection()
    {
        Form form;
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
};

QTEST_MAIN(TestSpinEdit)
#include "test_spin_edit.moc"
