// The decimal spin edit in a comma locale and a point locale, worked with real key, mouse
// and focus events.
#include "alert_sound.h"
#include "decimal_text.h"
#include "my_double_spin_edit.h"
#include "register.h"

#include <QtTest>

using namespace MyValueSpin;

namespace {

const QLocale kComma(QLocale::German, QLocale::Germany);
const QLocale kPoint(QLocale::English, QLocale::UnitedStates);

int beeps = 0;
void countBeep() { ++beeps; }

// A decimal field and a second field to move the focus to, in an active window.
struct Form {
    QWidget window;
    TMyDoubleSpinEdit *edit = new TMyDoubleSpinEdit(&window);
    QLineEdit *other = new QLineEdit(&window);
    QStringList log; // the events with the text they saw

    Form()
    {
        edit->setGeometry(10, 10, 90, 22);
        other->setGeometry(10, 40, 90, 22);
        edit->OnChange = [this](QObject *) { log << "change " + edit->text(); };
        edit->OnChanged = [this](QObject *) { log << "changed " + edit->text(); };
        edit->OnEnter = [this](QObject *) { log << "enter " + edit->text(); };
        edit->OnExit = [this](QObject *) { log << "exit " + edit->text(); };
        window.resize(200, 80);
        window.show();
        QApplication::setActiveWindow(&window);
        (void)QTest::qWaitForWindowActive(&window);
        other->setFocus();
        log.clear();
    }
    void clickArrow(bool up) const
    {
        QWidget *arrow = up ? edit->ArrowButtons->UpBtn : edit->ArrowButtons->DownBtn;
        QTest::mouseClick(arrow, Qt::LeftButton, {}, arrow->rect().center());
    }
};

} // namespace

class TestDoubleSpinEdit : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        beeps = 0;
        AlertSound = &countBeep;
        QLocale::setDefault(kComma);
    }

    void formatting_data()
    {
        QTest::addColumn<QLocale>("locale");
        QTest::addColumn<int>("places");
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("text");
        QTest::newRow("comma, 1.5") << kComma << 2 << 1.5 << "1,50";
        QTest::newRow("point, 1.5") << kPoint << 2 << 1.5 << "1.50";
        QTest::newRow("negative") << kComma << 2 << -3.0 << "-3,00";
        QTest::newRow("no grouping") << kPoint << 2 << 1234567.0 << "1234567.00";
        QTest::newRow("rounded down") << kComma << 2 << 1.234 << "1,23";
        // Stored a hair below the half, typed as the half: it rounds away from zero.
        QTest::newRow("half of 2.675") << kComma << 2 << 2.675 << "2,68";
        QTest::newRow("half of -2.675") << kComma << 2 << -2.675 << "-2,68";
        QTest::newRow("half of 1.005") << kPoint << 2 << 1.005 << "1.01";
        QTest::newRow("exact half") << kPoint << 2 << 0.125 << "0.13";
        QTest::newRow("below the half") << kPoint << 2 << 0.12499 << "0.12";
        QTest::newRow("carry into the integer") << kComma << 2 << 9.995 << "10,00";
        QTest::newRow("no places") << kComma << 0 << 2.5 << "3";
        QTest::newRow("tiny negative has no sign") << kComma << 2 << -0.001 << "0,00";
        QTest::newRow("below -1 places: none") << kComma << -4 << 7.25 << "7";
        // The binary noise of 0.1 stays beyond the 15 significant digits.
        QTest::newRow("above 18 places: 18") << kPoint << 40 << 0.1 << "0.100000000000000000";
        QTest::newRow("15 integer digits") << kPoint << 1 << 123456789012345.0 << "123456789012345.0";
        QTest::newRow("16 integer digits") << kComma << 2 << 1e15 << "1,00000000000000E+15";
        // Rounded to 15 digits it would pass the largest double and never read back.
        QTest::newRow("largest double") << kComma << 2 << -std::numeric_limits<double>::max()
                                        << "-1,7976931348623157E+308";
    }
    void formatting()
    {
        QFETCH(QLocale, locale);
        QFETCH(int, places);
        QFETCH(double, value);
        QFETCH(QString, text);
        QLocale::setDefault(locale);
        TMyDoubleSpinEdit edit;
        edit.SetAnzahlDecimals(places);
        QVERIFY(edit.GetAnzahlDecimals() >= kMinDecimals && edit.GetAnzahlDecimals() <= kMaxDecimals);
        edit.SetValueDouble(value);
        QCOMPARE(edit.text(), text);
        // The text reads back to what it shows.
        QCOMPARE(TryParseDecimal(text, locale).has_value(), true);
    }

    void parsing_data()
    {
        QTest::addColumn<QLocale>("locale");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("reads");
        QTest::addColumn<double>("value");
        QTest::newRow("comma locale, comma") << kComma << "1,5" << true << 1.5;
        QTest::newRow("comma locale, point") << kComma << "1.5" << true << 1.5;
        QTest::newRow("comma locale, both") << kComma << "1.234,5" << false << 0.0;
        QTest::newRow("comma locale, two commas") << kComma << "1,2,3" << false << 0.0;
        QTest::newRow("comma locale, signs") << kComma << "-2,25" << true << -2.25;
        QTest::newRow("comma locale, exponent") << kComma << "1,5e2" << true << 150.0;
        QTest::newRow("point locale, point") << kPoint << "1.5" << true << 1.5;
        QTest::newRow("point locale, comma") << kPoint << "1,5" << true << 1.5;
        QTest::newRow("point locale, grouped") << kPoint << "1,234.5" << false << 0.0;
        QTest::newRow("point locale, two points") << kPoint << "1.2.3" << false << 0.0;
        QTest::newRow("plus sign") << kPoint << "+3" << true << 3.0;
        QTest::newRow("empty") << kPoint << "" << false << 0.0;
        QTest::newRow("letters") << kComma << "abc" << false << 0.0;
        QTest::newRow("infinity") << kPoint << "inf" << false << 0.0;
        QTest::newRow("overflow") << kPoint << "1e999" << false << 0.0;
    }
    void parsing()
    {
        QFETCH(QLocale, locale);
        QFETCH(QString, text);
        QFETCH(bool, reads);
        QFETCH(double, value);
        const std::optional<double> read = TryParseDecimal(text, locale);
        QCOMPARE(read.has_value(), reads);
        if (reads)
            QCOMPARE(*read, value);
        // The field takes over what reads and puts the stored value back otherwise.
        QLocale::setDefault(locale);
        TMyDoubleSpinEdit edit;
        edit.SetValueDouble(7);
        edit.setText(" " + text + "\t");
        QCOMPARE(edit.Value(), reads ? value : 7.0);
        QCOMPARE(edit.text(), FormatDecimal(reads ? value : 7.0, 2, locale));
    }

    void changeEvents()
    {
        Form form;
        // Only the text is rounded; the next read stores what it shows.
        form.edit->SetValueDouble(1.234);
        QCOMPARE(form.edit->Value(), 1.23);
        QCOMPARE(form.log, (QStringList{"change 1,23", "changed 1,23", "changed 1,23"}));
        form.edit->SetValueDouble(2);
        form.log.clear();
        form.edit->setText("abc");
        form.edit->setText("2,5");
        form.edit->SetValueDouble(2.5); // stored 2, shown 2,5: the text becomes 2,50
        form.edit->SetValueDouble(2.5); // nothing changes
        form.edit->AddTextValues(4.0, "four");
        form.edit->SetValueDouble(4.0000001); // a word, which does not read as a number
        QCOMPARE(form.log, (QStringList{"change 2,5", "change 2,50", "changed 2,50", "changed four"}));
    }

    void limits_data()
    {
        QTest::addColumn<double>("minValue");
        QTest::addColumn<double>("maxValue");
        QTest::addColumn<double>("value");
        QTest::addColumn<double>("stored");
        QTest::newRow("0/0: no limits") << 0.0 << 0.0 << -1e9 << -1e9;
        QTest::newRow("2.5/2.5 pins") << 2.5 << 2.5 << 100.0 << 2.5;
        QTest::newRow("-3/-3: no limits") << -3.0 << -3.0 << 100.0 << 100.0;
        QTest::newRow("below") << 1.0 << 5.0 << 0.5 << 1.0;
        QTest::newRow("above") << 1.0 << 5.0 << 5.01 << 5.0;
        QTest::newRow("inverted limits, between") << 10.0 << 5.0 << 7.0 << 10.0;
        QTest::newRow("inverted limits, below both") << 10.0 << 5.0 << 3.0 << 10.0;
        QTest::newRow("inverted limits, above both") << 10.0 << 5.0 << 12.0 << 5.0;
    }
    void limits()
    {
        QFETCH(double, minValue);
        QFETCH(double, maxValue);
        QFETCH(double, value);
        QFETCH(double, stored);
        TMyDoubleSpinEdit edit;
        edit.MinValue = minValue;
        edit.MaxValue = maxValue;
        QCOMPARE(edit.CheckValueDouble(value), stored);
        edit.SetValueDouble(value);
        QCOMPARE(edit.text(), FormatDecimal(stored, 2));
    }

    void typedKeys_data()
    {
        QTest::addColumn<QLocale>("locale");
        QTest::addColumn<bool>("editorEnabled");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("alerts");
        QTest::newRow("comma locale, point key") << kComma << true << "2.5" << "2,5" << 0;
        QTest::newRow("comma locale, comma key") << kComma << true << "2,5" << "2,5" << 0;
        QTest::newRow("point locale, comma key") << kPoint << true << "2,5" << "2.5" << 0;
        QTest::newRow("signs") << kPoint << true << "-+1" << "-+1" << 0;
        QTest::newRow("letters and blank refused") << kComma << true << "1a b" << "1" << 3;
        QTest::newRow("no editor") << kComma << false << "1." << "" << 2;
    }
    void typedKeys()
    {
        QFETCH(QLocale, locale);
        QFETCH(bool, editorEnabled);
        QFETCH(QString, typed);
        QFETCH(QString, text);
        QFETCH(int, alerts);
        QLocale::setDefault(locale);
        Form form;
        form.edit->EditorEnabled = editorEnabled;
        form.edit->setFocus();
        form.edit->clear();
        QTest::keyClicks(form.edit, typed);
        QCOMPARE(form.edit->text(), text);
        QCOMPARE(beeps, alerts);
    }

    void fineStep_data()
    {
        QTest::addColumn<QLocale>("locale");
        QTest::addColumn<int>("places");
        QTest::addColumn<double>("fine");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<int>("caret");
        QTest::addColumn<bool>("up");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("caretAfter");
        QTest::newRow("left of the comma") << kComma << 2 << 0.01 << "1,50" << 1 << true << "2,50" << 1;
        QTest::newRow("right of the comma") << kComma << 2 << 0.01 << "1,50" << 3 << true << "1,51" << 3;
        QTest::newRow("just right of the comma") << kComma << 2 << 0.01 << "1,50" << 2 << false << "1,49" << 2;
        QTest::newRow("at the end") << kComma << 2 << 0.25 << "1,50" << 4 << true << "1,75" << 4;
        QTest::newRow("fine step 0") << kComma << 2 << 0.0 << "1,50" << 3 << true << "1,50" << 3;
        // The separator of the locale marks the fractions, so the fine step works here too.
        QTest::newRow("point locale, right of the point") << kPoint << 2 << 0.01 << "1.50" << 3 << true << "1.51" << 3;
        QTest::newRow("point locale, left of the point") << kPoint << 2 << 0.01 << "1.50" << 0 << true << "2.50" << 0;
        QTest::newRow("no places") << kComma << 0 << 0.01 << "7" << 1 << true << "8" << 1;
        // The caret as the user left it in the typed text decides, not where the taken-over
        // text puts it.
        QTest::newRow("typed, caret left") << kComma << 2 << 0.01 << "1,5" << 1 << true << "2,50" << 1;
        QTest::newRow("typed, caret right") << kComma << 2 << 0.01 << "1,5" << 3 << true << "1,51" << 3;
        QTest::newRow("pasted point, caret right") << kComma << 2 << 0.01 << "2.5" << 3 << true << "2,51" << 3;
        QTest::newRow("wider text, caret kept") << kComma << 2 << 0.01 << "9,5" << 0 << true << "10,50" << 0;
    }
    void fineStep()
    {
        QFETCH(QLocale, locale);
        QFETCH(int, places);
        QFETCH(double, fine);
        QFETCH(QString, typed);
        QFETCH(int, caret);
        QFETCH(bool, up);
        QFETCH(QString, text);
        QFETCH(int, caretAfter);
        QLocale::setDefault(locale);
        Form form;
        form.edit->SetAnzahlDecimals(places);
        form.edit->IncrementDouble = fine;
        form.edit->setFocus();
        form.edit->setText(typed);
        form.edit->setCursorPosition(caret);
        // The field has the focus, so the arrow leaves the caret where it is.
        form.clickArrow(up);
        QCOMPARE(form.edit->text(), text);
        QCOMPARE(form.edit->cursorPosition(), caretAfter);
        QVERIFY(!form.edit->hasSelectedText());
        QVERIFY(form.edit->hasFocus());
    }

    void arrowIntoAnUnfocusedFieldStepsWhole()
    {
        Form form;
        form.edit->IncrementDouble = 0.01;
        form.edit->SetValueDouble(1.5);
        form.edit->setCursorPosition(3);
        form.clickArrow(true); // focus and select all first: the caret is at 0
        QCOMPARE(form.edit->text(), "2,50");
        QVERIFY(form.edit->hasFocus());
    }

    void keysStepAndCommit_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("alerts");
        QTest::newRow("up, fine") << int(Qt::Key_Up) << "0,35" << 0;
        QTest::newRow("down, fine") << int(Qt::Key_Down) << "0,15" << 0;
        QTest::newRow("enter commits; the carriage return is refused") << int(Qt::Key_Return) << "0,25" << 1;
    }
    void keysStepAndCommit()
    {
        QFETCH(int, key);
        QFETCH(QString, text);
        QFETCH(int, alerts);
        Form form;
        form.edit->IncrementDouble = 0.1;
        form.edit->setFocus();
        form.edit->clear();
        QTest::keyClicks(form.edit, ".25");
        QTest::keyClick(form.edit, Qt::Key(key));
        QCOMPARE(form.edit->text(), text);
        QCOMPARE(beeps, alerts);
    }

    void wordsStepWhole()
    {
        Form form;
        form.edit->IncrementDouble = 0.01;
        form.edit->Increment = 2;
        form.edit->AddTextValues(1.0, "one");
        form.edit->SetValueDouble(1.0000004);
        QCOMPARE(form.edit->text(), "one");
        form.edit->setFocus();
        form.edit->setCursorPosition(2);
        form.clickArrow(true);
        QCOMPARE(form.edit->text(), "3,00");
    }

    void readOnlyRefusesSteps()
    {
        Form form;
        form.edit->SetValueDouble(1);
        form.edit->setReadOnly(true);
        form.clickArrow(true);
        QTest::keyClick(form.edit, Qt::Key_Down);
        QCOMPARE(form.edit->text(), "1,00");
        QCOMPARE(beeps, 2);
    }

    void firstFocusShowsThePlaces()
    {
        TMyDoubleSpinEdit edit;
        QCOMPARE(edit.text(), "0");
        QStringList log;
        edit.OnChanged = [&](QObject *) { log << "changed"; };
        edit.OnChange = [&](QObject *) { log << "change " + edit.text(); };
        edit.show();
        QApplication::setActiveWindow(&edit);
        QVERIFY(QTest::qWaitForWindowActive(&edit));
        edit.setFocus();
        QCOMPARE(edit.text(), "0,00");
        QCOMPARE(edit.selectedText(), "0,00");
        QCOMPARE(log, QStringList{"change 0,00"}); // the stored 0 does not change
    }

    void focusTidiesBeforeTheHandlers()
    {
        Form form;
        form.edit->setFocus();
        QCOMPARE(form.edit->selectedText(), "0,00");
        form.edit->setText("2.5");
        form.other->setFocus();
        QCOMPARE(form.log, (QStringList{"enter 0,00", "change 2.5", "change 2,50", "changed 2,50",
                                        "exit 2,50"}));
    }

    void placesRewriteTheText()
    {
        Form form;
        form.edit->SetValueDouble(1.5);
        form.edit->SetAnzahlDecimals(0);
        QCOMPARE(form.edit->text(), "2");
        // The text is read back first, so the dropped places are gone.
        form.edit->SetAnzahlDecimals(3);
        QCOMPARE(form.edit->text(), "2,000");
        QCOMPARE(form.edit->Value(), 2.0);
    }

    void registrationNamesTheLibrary()
    {
        const TComponentRegistration registration = Register();
        QCOMPARE(registration.Page, "Parlux");
        QCOMPARE(registration.ComponentClasses,
                 (QStringList{"TMyValueSpinEdit", "TMyDoubleSpinEdit", "TMyCheckBox", "TShadowLabel"}));
    }
};

QTEST_MAIN(TestDoubleSpinEdit)
#include "test_double_spin_edit.moc"
