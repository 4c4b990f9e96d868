#pragma once
#include "my_value_spin_edit.h"

namespace MyValueSpin {

// The decimal variant of the spin edit: the value is a double shown with AnzahlDecimals
// places in the locale's notation. A step adds Increment, or IncrementDouble (the fine step)
// while the caret stands right of the decimal separator. The integer value, limits, words
// and OnChange of the base stay unused; the members of the same names here replace them.
class TMyDoubleSpinEdit : public TMyValueSpinEdit {
    Q_OBJECT
public:
    // Places shown until told otherwise: cents, the commonest decimal setting.
    static constexpr int kDefaultDecimals = 2;

    explicit TMyDoubleSpinEdit(QWidget *parent = nullptr);

    // Both limits 0: no limits.
    double MinValue = 0;
    double MaxValue = 0;
    double IncrementDouble = 0;
    // Raised when the text changes and reads as a number.
    TNotifyEvent OnChange;
    TTextValuesList<double> TextValuesDouble;

    // Reads the text back (tidying it) and returns the stored value.
    double Value() { return GetValueDouble(); }
    // The base's whole-number access would show a whole number in a decimal field.
    long GetValue() = delete;
    void SetValue(long) = delete;
    long CheckValue(long) const = delete;
    double GetValueDouble();
    void SetValueDouble(double value);
    double CheckValueDouble(double value) const;
    // Sets, replaces or (with an empty text) removes the word shown for exactly this value;
    // shown values find it within 0.000001.
    void AddTextValues(double value, const QString &text);

    int GetAnzahlDecimals() const { return anzahlDecimals_; }
    // Values outside 0..18 are held at the nearer end; the text is rewritten at once.
    void SetAnzahlDecimals(int places);

    bool IsValidChar(QChar &key) override;
    void UpClick(QObject *sender) override;
    void DownClick(QObject *sender) override;

protected:
    double CurrentValueDouble = 0;

    void EditChange() override;
    void EditChangeDouble(QObject *sender);
    void CommitTyped() override { SetValueDouble(GetValueDouble()); }
    void CMEnter(QFocusEvent *event) override;
    void CMExit(QFocusEvent *event) override;

private:
    // One step by +1 or -1 times the chosen increment.
    void step(int direction);
    QString textOf(double value) const;

    int anzahlDecimals_ = kDefaultDecimals;
};

} // namespace MyValueSpin
