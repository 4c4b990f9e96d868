// The decimal spin edit in a comma locale and a point locale, worked with real key, mouse
// and focus events.
#include "decimal_text.h"
#include "my_double_spin_edit.h"
#include "spin_form.h"

using namespace MyValueSpin;

namespace {

const QLocale kComma(QLocale::German, QLocale::Germany);
const QLocale kPoint(QLocale::English, QLocale::UnitedStates);

struct Form : SpinForm<TMyDoubleSpinEdit> {
    Form() : SpinForm(90) {}
};

// A value with places in a locale, and the text shown; between limits when they are given,
// with the value stored (not a number: the value itself).
struct FormatRow {
    const char *name;
    QLocale locale;
    int places;
    double value;
    QString text;
    double minValue = 0, maxValue = 0, stored = std::numeric_limits<double>::quiet_NaN();
};
// A text read in a locale: whether it reads, and as what.
struct ParseRow { const char *name; QLocale locale; QString text; bool reads; double value; };
struct TypedRow { const char *name; QLocale locale; bool editorEnabled; QString typed, text; int alerts; };
// A step by arrow or key ("up arrow", "down key", "enter") from a typed text with the caret
// at a place, on a focused field unless the setting says otherwise ("unfocused", "read only",
// or "word": the value 1 shown as "one", stepping by 2). The text after it, the caret (-1:
// not looked at) and the alerts.
struct StepRow {
    const char *name;
    QString typed;
    int caret;
    QString text;
    int caretAfter = -1;
    QLocale locale = kComma;
    int places = 2;
    double fine = 0.01;
    QString how = "up arrow", setting = {};
    int alerts = 0;
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
        addRows<FormatRow>({
            {"comma, 1.5", kComma, 2, 1.5, "1,50"},
            {"point, 1.5", kPoint, 2, 1.5, "1.50"},
            {"negative", kComma, 2, -3.0, "-3,00"},
            {"no grouping", kPoint, 2, 1234567.0, "1234567.00"},
            {"rounded down", kComma, 2, 1.234, "1,23"},
            // Stored a hair below the half, typed as the half: it rounds away from zero.
            {"half of 2.675", kComma, 2, 2.675, "2,68"},
            {"half of -2.675", kComma, 2, -2.675, "-2,68"},
            {"half of 1.005", kPoint, 2, 1.005, "1.01"},
            {"exact half", kPoint, 2, 0.125, "0.13"},
            {"below the half", kPoint, 2, 0.12499, "0.12"},
            {"carry into the integer", kComma, 2, 9.995, "10,00"},
            {"no places", kComma, 0, 2.5, "3"},
            {"tiny negative has no sign", kComma, 2, -0.001, "0,00"},
            {"below -1 places: none", kComma, -4, 7.25, "7"},
            // The binary noise of 0.1 stays beyond the 15 significant digits.
            {"above 18 places: 18", kPoint, 40, 0.1, "0.100000000000000000"},
            {"15 integer digits", kPoint, 1, 123456789012345.0, "123456789012345.0"},
            {"16 integer digits", kComma, 2, 1e15, "1,00000000000000E+15"},
            // Rounded to 15 digits it would pass the largest double and never read back.
            {"largest double", kComma, 2, -std::numeric_limits<double>::max(), "-1,7976931348623157E+308"},
            // The limits rule is the whole-number field's, tested there; here the decimal limits.
            {"limits 0/0: none", kComma, 2, -1e9, "-1000000000,00", 0, 0},
            {"limits 2.5/2.5 pin", kComma, 2, 100, "2,50", 2.5, 2.5, 2.5},
            {"below the limits", kComma, 2, 0.5, "1,00", 1, 5, 1},
            {"above the limits", kComma, 2, 5.01, "5,00", 1, 5, 5},
        });
    }
    void formatting()
    {
        QFETCH(FormatRow, row);
        QLocale::setDefault(row.locale);
        TMyDoubleSpinEdit edit;
        edit.SetAnzahlDecimals(row.places);
        QVERIFY(edit.GetAnzahlDecimals() >= kMinDecimals && edit.GetAnzahlDecimals() <= kMaxDecimals);
        edit.MinValue = row.minValue;
        edit.MaxValue = row.maxValue;
        edit.SetValueDouble(row.value);
        QCOMPARE(edit.text(), row.text);
        QVERIFY(TryParseDecimal(row.text, row.locale)); // the text reads back to what it shows
        QCOMPARE(edit.CheckValueDouble(row.value), std::isnan(row.stored) ? row.value : row.stored);
    }

    void parsing_data()
    {
        addRows<ParseRow>({
            {"comma locale, comma", kComma, "1,5", true, 1.5},
            {"comma locale, point", kComma, "1.5", true, 1.5},
            {"comma locale, both", kComma, "1.234,5", false, 0},
            {"comma locale, two commas", kComma, "1,2,3", false, 0},
            {"comma locale, signs", kComma, "-2,25", true, -2.25},
            {"comma locale, exponent", kComma, "1,5e2", true, 150},
            {"point locale, point", kPoint, "1.5", true, 1.5},
            {"point locale, comma", kPoint, "1,5", true, 1.5},
            {"point locale, grouped", kPoint, "1,234.5", false, 0},
            {"point locale, two points", kPoint, "1.2.3", false, 0},
            {"plus sign", kPoint, "+3", true, 3},
            {"empty", kPoint, "", false, 0},
            {"letters", kComma, "abc", false, 0},
            {"infinity", kPoint, "inf", false, 0},
            {"overflow", kPoint, "1e999", false, 0},
        });
    }
    void parsing()
    {
        QFETCH(ParseRow, row);
        const std::optional<double> read = TryParseDecimal(row.text, row.locale);
        QCOMPARE(read.has_value(), row.reads);
        if (row.reads)
            QCOMPARE(*read, row.value);
        // The field takes over what reads and puts the stored value back otherwise.
        QLocale::setDefault(row.locale);
        TMyDoubleSpinEdit edit;
        edit.SetValueDouble(7);
        edit.setText(" " + row.text + "\t");
        QCOMPARE(edit.Value(), row.reads ? row.value : 7.0);
        QCOMPARE(edit.text(), FormatDecimal(row.reads ? row.value : 7.0, 2, row.locale));
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

    void typedKeys_data()
    {
        addRows<TypedRow>({
            {"comma locale, point key", kComma, true, "2.5", "2,5", 0},
            {"comma locale, comma key", kComma, true, "2,5", "2,5", 0},
            {"point locale, comma key", kPoint, true, "2,5", "2.5", 0},
            {"signs", kPoint, true, "-+1", "-+1", 0},
            {"letters and blank refused", kComma, true, "1a b", "1", 3},
            {"no editor", kComma, false, "1.", "", 2},
        });
    }
    void typedKeys()
    {
        QFETCH(TypedRow, row);
        QLocale::setDefault(row.locale);
        Form form;
        form.edit->EditorEnabled = row.editorEnabled;
        form.edit->setFocus();
        form.edit->clear();
        QTest::keyClicks(form.edit, row.typed);
        QCOMPARE(form.edit->text(), row.text);
        QCOMPARE(beeps, row.alerts);
    }

    void steps_data()
    {
        addRows<StepRow>({
            // The fine step right of the separator, the whole one left of it; the field has
            // the focus, so the arrow leaves the caret where it is.
            {.name = "left of the comma", .typed = "1,50", .caret = 1, .text = "2,50", .caretAfter = 1},
            {.name = "right of the comma", .typed = "1,50", .caret = 3, .text = "1,51", .caretAfter = 3},
            {.name = "just right of the comma", .typed = "1,50", .caret = 2, .text = "1,49", .caretAfter = 2,
             .how = "down arrow"},
            {.name = "at the end", .typed = "1,50", .caret = 4, .text = "1,75", .caretAfter = 4, .fine = 0.25},
            {.name = "fine step 0", .typed = "1,50", .caret = 3, .text = "1,50", .caretAfter = 3, .fine = 0},
            // The separator of the locale marks the fractions, so the fine step works here too.
            {.name = "point locale, right of the point", .typed = "1.50", .caret = 3, .text = "1.51",
             .caretAfter = 3, .locale = kPoint},
            {.name = "point locale, left of the point", .typed = "1.50", .caret = 0, .text = "2.50",
             .caretAfter = 0, .locale = kPoint},
            {.name = "no places", .typed = "7", .caret = 1, .text = "8", .caretAfter = 1, .places = 0},
            // The caret as the user left it in the typed text decides, not where the taken-over
            // text puts it.
            {.name = "typed, caret left", .typed = "1,5", .caret = 1, .text = "2,50", .caretAfter = 1},
            {.name = "typed, caret right", .typed = "1,5", .caret = 3, .text = "1,51", .caretAfter = 3},
            {.name = "pasted point, caret right", .typed = "2.5", .caret = 3, .text = "2,51", .caretAfter = 3},
            {.name = "wider text, caret kept", .typed = "9,5", .caret = 0, .text = "10,50", .caretAfter = 0},
            // An arrow into an unfocused field focuses it and selects all first: the caret is at 0.
            {.name = "arrow into an unfocused field", .typed = "1,50", .caret = 3, .text = "2,50", .caretAfter = 0,
             .setting = "unfocused"},
            {.name = "a word steps whole", .typed = {}, .caret = 2, .text = "3,00", .setting = "word"},
            // The keys step as the arrows do; Enter commits, its carriage return refused.
            {.name = "up key", .typed = ",25", .caret = 3, .text = "0,35", .fine = 0.1, .how = "up key"},
            {.name = "down key", .typed = ",25", .caret = 3, .text = "0,15", .fine = 0.1, .how = "down key"},
            {.name = "enter", .typed = ",25", .caret = 3, .text = "0,25", .fine = 0.1, .how = "enter", .alerts = 1},
            {.name = "read only, arrow", .typed = "1,00", .caret = 0, .text = "1,00", .setting = "read only",
             .alerts = 1},
            {.name = "read only, key", .typed = "1,00", .caret = 0, .text = "1,00", .how = "down key",
             .setting = "read only", .alerts = 1},
        });
    }
    void steps()
    {
        QFETCH(StepRow, row);
        QLocale::setDefault(row.locale);
        Form form;
        form.edit->SetAnzahlDecimals(row.places);
        form.edit->IncrementDouble = row.fine;
        form.edit->setReadOnly(row.setting == "read only");
        if (row.setting != "unfocused")
            form.edit->setFocus();
        if (row.setting == "word") {
            form.edit->Increment = 2;
            form.edit->AddTextValues(1.0, "one");
            form.edit->SetValueDouble(1.0000004);
            QCOMPARE(form.edit->text(), "one");
        } else {
            form.edit->setText(row.typed);
        }
        form.edit->setCursorPosition(row.caret);
        if (row.how.endsWith("arrow"))
            form.clickArrow(row.how.startsWith("up"));
        else
            QTest::keyClick(form.edit, row.how == "enter"    ? Qt::Key_Return
                                       : row.how == "up key" ? Qt::Key_Up
                                                             : Qt::Key_Down);
        QCOMPARE(form.edit->text(), row.text);
        QCOMPARE(beeps, row.alerts);
        QVERIFY(form.edit->hasFocus());
        if (row.caretAfter >= 0) {
            QCOMPARE(form.edit->cursorPosition(), row.caretAfter);
            QVERIFY(!form.edit->hasSelectedText());
        }
    }

    // The first focus shows the places, though the stored 0 does not change; leaving tidies
    // the text before the handlers see it.
    void focusTidiesBeforeTheHandlers()
    {
        TMyDoubleSpinEdit edit;
        QCOMPARE(edit.text(), "0");
        QStringList log;
        edit.OnChange = [&](QObject *) { log << "change " + edit.text(); };
        edit.OnChanged = [&](QObject *) { log << "changed " + edit.text(); };
        edit.OnEnter = [&](QObject *) { log << "enter " + edit.text(); };
        edit.OnExit = [&](QObject *) { log << "exit " + edit.text(); };
        edit.show();
        QApplication::setActiveWindow(&edit);
        QVERIFY(QTest::qWaitForWindowActive(&edit));
        edit.setFocus();
        QCOMPARE(edit.text(), "0,00");
        QCOMPARE(edit.selectedText(), "0,00");
        edit.setText("2.5");
        edit.clearFocus();
        QCOMPARE(log, (QStringList{"change 0,00", "enter 0,00", "change 2.5", "change 2,50", "changed 2,50",
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
};

QTEST_MAIN(TestDoubleSpinEdit)
#include "test_double_spin_edit.moc"
