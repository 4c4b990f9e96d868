// The integer spin edit, worked with real key, mouse and focus events.
#include "my_value_spin_edit.h"
#include "spin_form.h"

#include <QClipboard>
#include <QFontDatabase>
#include <QMenu>
#include <limits>

using namespace MyValueSpin;

namespace {

constexpr long kMax = std::numeric_limits<int32_t>::max();
constexpr long kMin = std::numeric_limits<int32_t>::min();

// The main window's service-field setting: 8-point sans serif, 48 × 22.
struct Form : SpinForm<TMyValueSpinEdit> {
    Form() : SpinForm(48, eightPoint()) {}
    static QFont eightPoint()
    {
        QFont font(QStringLiteral("Sans Serif"), 8);
        font.setStyleHint(QFont::SansSerif);
        return font;
    }
};

struct LimitsRow { const char *name; int minValue, maxValue; long value, expected; };
// A stored value and a text assigned over it, read back: the value, and the events of the read.
struct ReadBackRow { const char *name; int maxValue; long stored; QString text; long expected; QStringList log; };
// With the words off for 0 and on for 1: a text typed over a stored value, and shown after leaving.
struct WordRow { const char *name; long stored; QString typed, shown; };
struct TypedRow { const char *name; bool editorEnabled; QString typed, text; int alerts; };
struct CommitKeyRow { const char *name; int key; QStringList log; int alerts; };
// A step by key or arrow ("up key", "down arrow" ...) on a field with a setting ("no editor",
// "read only" or none).
struct StepRow { const char *name; int increment, maxValue; QString text, how, setting; long value; };
struct CutPasteRow { const char *name; bool editorEnabled, readOnly, allowed; };
// A field's size, and the arrows' place, the upper one's height and the lower one's place.
struct ArrowRow { const char *name; QSize size; QRect arrows; int upperHeight; QRect lower; };

} // namespace

class TestSpinEdit : public QObject {
    Q_OBJECT
private slots:
    void init() { beeps = 0; AlertSound = &countBeep; }

    void limits_data()
    {
        addRows<LimitsRow>({
            {"no limits, highest", 0, 0, kMax, kMax},
            {"no limits, lowest", 0, 0, kMin, kMin},
            {"5/5 pins below", 5, 5, -7, 5},
            {"5/5 pins above", 5, 5, 100, 5},
            {"-3/-3 is off, above", -3, -3, 100, 100},
            {"-3/-3 is off, below", -3, -3, -100, -100},
            {"10/5, 3", 10, 5, 3, 10},
            {"10/5, 7: the lower test comes first", 10, 5, 7, 10},
            {"10/5, 12", 10, 5, 12, 5},
        });
    }
    void limits()
    {
        QFETCH(LimitsRow, row);
        TMyValueSpinEdit edit;
        edit.MinValue = row.minValue;
        edit.MaxValue = row.maxValue;
        QCOMPARE(edit.CheckValue(row.value), row.expected);
        edit.SetValue(row.value);
        QCOMPARE(edit.text(), QString::number(row.expected));
    }

    void readBack_data()
    {
        addRows<ReadBackRow>({
            {"above the limit", 255, 0, "300", 255, {"change 255", "changed 255"}},
            {"blanks around", 0, 0, "\t 42 ", 42, {"change 42", "changed 42"}},
            {"plus sign", 0, 3, "+12", 12, {"change 12", "changed 12"}},
            {"lowest", 0, 3, "-2147483648", kMin, {"changed -2147483648"}},
            {"letters", 0, 7, "abc", 7, {"change 7"}},
            {"empty", 0, 7, "", 7, {"change 7"}},
            {"decimal", 0, 7, "1.5", 7, {"change 7"}},
            {"hexadecimal", 0, 7, "$10", 7, {"change 7"}},
            {"beyond 32 bits", 0, 7, "2147483648", 7, {"change 7"}},
            {"same number", 0, 7, "007", 7, {"change 7"}},
            {"beyond 32 bits written", 0, kMax + 5, "x", kMax, {"change 2147483647"}},
        });
    }
    void readBack()
    {
        QFETCH(ReadBackRow, row);
        Form form;
        form.edit->MaxValue = row.maxValue;
        form.edit->SetValue(row.stored);
        form.edit->setText(row.text);
        form.log.clear();
        QCOMPARE(form.edit->Value(), row.expected);
        QCOMPARE(form.edit->text(), QString::number(row.expected));
        QCOMPARE(form.log, row.log);
    }

    void textValues_data()
    {
        addRows<WordRow>({
            {"a word is not looked up", 1, "off", "on"},
            {"a number shows its word", 1, "0", "off"},
            {"own word stays", 1, "on", "on"},
            {"number without word", 1, "5", "5"},
            {"empty, value without word", 5, "", "5"},
        });
    }
    void textValues()
    {
        QFETCH(WordRow, row);
        Form form;
        form.edit->AddTextValues(0, "off");
        form.edit->AddTextValues(1, "on");
        form.edit->SetValue(row.stored);
        form.edit->setFocus();
        form.edit->setText(row.typed);
        // A read while the field is in use leaves an empty text alone.
        if (row.typed.isEmpty()) {
            QCOMPARE(form.edit->Value(), row.stored);
            QCOMPARE(form.edit->text(), QString());
        }
        form.other->setFocus();
        QCOMPARE(form.edit->text(), row.shown);
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
        addRows<TypedRow>({
            {"digits and signs", true, "7+-8", "57+-8", 0},
            {"decimal separator", true, point, "5" + point, 0},
            {"letters and blank", true, "a b", "5", 3},
            {"above 127", true, QString(QChar(0xe4)), "5", 1},
            {"backspace", true, "\b", "", 0},
            {"no editor, digit", false, "7", "5", 1},
            {"no editor, backspace", false, "\b", "5", 1},
        });
    }
    void typedChars()
    {
        QFETCH(TypedRow, row);
        Form form;
        form.edit->SetValue(5);
        form.edit->EditorEnabled = row.editorEnabled;
        form.edit->end(false);
        for (QChar c : row.typed) {
            if (c == u'\b')
                QTest::keyClick(form.edit, Qt::Key_Backspace);
            else
                QTest::sendKeyEvent(QTest::Click, form.edit, Qt::Key(c.toUpper().unicode()), QString(c), {});
        }
        QCOMPARE(form.edit->text(), row.text);
        QCOMPARE(beeps, row.alerts);
    }

    void keysCommitAndGoOnToTheWindow_data()
    {
        addRows<CommitKeyRow>({
            // The typed number is taken over before the step.
            {"up", Qt::Key_Up, {"changed 12", "change 13", "changed 13"}, 0},
            {"down", Qt::Key_Down, {"changed 12", "change 11", "changed 11"}, 0},
            // The carriage return itself is refused by the filter.
            {"enter", Qt::Key_Return, {"changed 12"}, 1},
        });
    }
    void keysCommitAndGoOnToTheWindow()
    {
        QFETCH(CommitKeyRow, row);
        const int key = row.key;
        Form form;
        form.edit->selectAll();
        QTest::keyClicks(form.edit, "12");
        form.log.clear();
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, key == Qt::Key_Return ? "\r" : "");
        QApplication::sendEvent(form.edit, &press);
        QVERIFY2(!press.isAccepted(), "the field consumed the key");
        QCOMPARE(form.log, row.log);
        QCOMPARE(beeps, row.alerts);
    }

    void steps_data()
    {
        addRows<StepRow>({
            {"up key", 1, 0, "5", "up key", "", 6},
            {"no editor, up arrow", 1, 0, "5", "up arrow", "no editor", 6},
            {"no editor, down key", 1, 0, "5", "down key", "no editor", 4},
            {"read only, up arrow", 1, 0, "5", "up arrow", "read only", 5},
            {"read only, down key", 1, 0, "5", "down key", "read only", 5},
            {"down arrow", 1, 0, "5", "down arrow", "", 4},
            {"typed number is the base", 3, 0, "40", "up arrow", "", 43},
            {"zero only tidies", 0, 0, " 7 ", "up arrow", "", 7},
            {"negative reverses up", -2, 0, "5", "up arrow", "", 3},
            {"negative reverses down", -2, 0, "5", "down key", "", 7},
            {"held at the top", 1, 0, "2147483647", "up arrow", "", kMax},
            {"held at the bottom", 1, 0, "-2147483648", "down key", "", kMin},
            {"big step held at the top", int(kMax), 0, "10", "up key", "", kMax},
            {"lowest step held at the bottom", int(kMin), 0, "-1", "up arrow", "", kMin},
            {"stays at the limit", 1, 255, "255", "up key", "", 255},
        });
    }
    void steps()
    {
        QFETCH(StepRow, row);
        Form form;
        form.edit->Increment = row.increment;
        form.edit->MaxValue = row.maxValue;
        form.edit->EditorEnabled = row.setting != "no editor";
        form.edit->setReadOnly(row.setting == "read only");
        form.edit->setText(row.text);
        const bool up = row.how.startsWith("up");
        if (row.how.endsWith("arrow"))
            form.clickArrow(up);
        else
            QTest::keyClick(form.edit, up ? Qt::Key_Up : Qt::Key_Down);
        QCOMPARE(form.edit->text(), QString::number(row.value));
        QCOMPARE(form.edit->Value(), row.value);
        QCOMPARE(beeps, row.setting == "read only" ? 1 : 0);
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
        addRows<CutPasteRow>({
            {"plain field", true, false, true},
            {"without editor", false, false, false},
            {"read only", true, true, false},
        });
    }
    void cutAndPaste()
    {
        QFETCH(CutPasteRow, row);
        const bool allowed = row.allowed;
        Form form;
        form.edit->SetValue(5);
        form.edit->EditorEnabled = row.editorEnabled;
        form.edit->setReadOnly(row.readOnly);
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
        const auto isPaste = [](QAction *a) { return a->text().startsWith("&Paste"); };
        const auto paste = std::find_if(actions.begin(), actions.end(), isPaste);
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
        addRows<ArrowRow>({
            {"48 x 22", QSize(48, 22), QRect(30, 2, 15, 17), 8, QRect(0, 7, 15, 10)},
            {"100 x 30", QSize(100, 30), QRect(82, 2, 15, 25), 12, QRect(0, 11, 15, 14)},
        });
    }
    void arrowLayout()
    {
        QFETCH(ArrowRow, row);
        const QRect arrows = row.arrows;
        Form form;
        form.edit->resize(row.size);
        QCOMPARE(form.edit->size(), row.size);
        QCOMPARE(form.edit->ArrowButtons->geometry(), arrows);
        QCOMPARE(form.edit->ArrowButtons->UpBtn->height(), row.upperHeight);
        QCOMPARE(form.edit->ArrowButtons->DownBtn->geometry(), row.lower);
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
