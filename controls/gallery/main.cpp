// Every control of the library in its states, side by side, for looking at them. With
// --screenshot FILE.png the window is saved to a PNG instead of being shown until closed.
#include "my_check_box.h"
#include "my_double_spin_edit.h"
#include "my_value_spin_edit.h"
#include "shadow_label.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QLabel>
#include <QLineEdit>
#include <QTimer>

using namespace MyValueSpin;
using namespace ShadowLabel;

namespace {

// Column layout of the page: a description, then the control beside it.
constexpr int kMargin = 12;
constexpr int kDescriptionWidth = 150;
constexpr int kControlWidth = 170;
constexpr int kColumnWidth = kDescriptionWidth + kControlWidth + kMargin;
constexpr int kRowGap = 8;
// Fields wide enough for the longest value shown.
constexpr int kEditWidth = 90;
constexpr int kEditHeight = 22;
// The dialog font size the controls were designed for, and a large one to show scaling.
constexpr int kDialogPointSize = 8;
constexpr int kLargePointSize = 20;
// Time for the window to be laid out, activated and painted before it is grabbed.
constexpr int kSettleMs = 300;

QFont dialogFont(int pointSize)
{
    QFont font(QStringLiteral("Sans Serif"), pointSize);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

// One column of described controls, placed top to bottom.
class Column {
public:
    Column(QWidget *page, int index, const QString &title) : page_(page), x_(kMargin + index * kColumnWidth)
    {
        auto *heading = new QLabel(QStringLiteral("<b>%1</b>").arg(title), page_);
        heading->move(x_, y_);
        y_ += heading->sizeHint().height() + kRowGap;
    }

    template <typename W>
    W *add(const QString &description, W *control)
    {
        auto *label = new QLabel(description, page_);
        label->move(x_, y_ + 2);
        control->move(x_ + kDescriptionWidth, y_);
        y_ += std::max(control->height(), label->sizeHint().height()) + kRowGap;
        bottom_ = std::max(bottom_, y_);
        return control;
    }

    int bottom() const { return bottom_; }

private:
    QWidget *page_;
    int x_;
    int y_ = kMargin;
    int bottom_ = 0;
};

template <typename Edit>
Edit *edit(QWidget *page, int width = kEditWidth)
{
    auto *field = new Edit(page);
    field->resize(width, kEditHeight);
    return field;
}

int addSpinEdits(QWidget *page, TMyDoubleSpinEdit *&focused)
{
    Column column(page, 0, QStringLiteral("Spin edits"));
    column.add(QStringLiteral("Whole number"), edit<TMyValueSpinEdit>(page))->SetValue(42);
    auto *disabled = column.add(QStringLiteral("Whole, disabled"), edit<TMyValueSpinEdit>(page));
    disabled->SetValue(-7);
    disabled->setEnabled(false);
    auto *word = column.add(QStringLiteral("Whole, text value"), edit<TMyValueSpinEdit>(page));
    word->AddTextValues(0, QStringLiteral("off"));
    word->SetValue(0);
    focused = column.add(QStringLiteral("Decimal, 2 places"), edit<TMyDoubleSpinEdit>(page));
    focused->SetValueDouble(1.5);
    auto *three = column.add(QStringLiteral("Decimal, disabled"), edit<TMyDoubleSpinEdit>(page));
    three->SetAnzahlDecimals(3);
    three->SetValueDouble(-3.25);
    three->setEnabled(false);
    auto *automatic = column.add(QStringLiteral("Decimal, text value"), edit<TMyDoubleSpinEdit>(page));
    automatic->AddTextValues(0.0, QStringLiteral("auto"));
    automatic->SetValueDouble(0.0);
    auto *large = new TMyDoubleSpinEdit(page);
    large->setFont(dialogFont(kLargePointSize));
    large->resize(kControlWidth - kMargin, large->GetMinHeight());
    column.add(QStringLiteral("Decimal, large font"), large)->SetValueDouble(12345.678);
    return column.bottom();
}

TMyCheckBox *checkBox(QWidget *page, const QString &caption, bool checked)
{
    auto *box = new TMyCheckBox(page);
    box->SetAutoSize(true);
    box->SetCaption(caption);
    box->SetCheck(checked);
    return box;
}

int addCheckBoxes(QWidget *page, TMyCheckBox *&focused)
{
    Column column(page, 1, QStringLiteral("Check boxes"));
    column.add(QStringLiteral("Unchecked"), checkBox(page, QStringLiteral("Caption"), false));
    column.add(QStringLiteral("Checked"), checkBox(page, QStringLiteral("Caption"), true));
    auto *right = checkBox(page, QStringLiteral("Box at the right"), true);
    right->SetAlignment(taLeftJustify);
    column.add(QStringLiteral("Box right"), right);
    column.add(QStringLiteral("Disabled, unchecked"), checkBox(page, QStringLiteral("Caption"), false))->setEnabled(false);
    column.add(QStringLiteral("Disabled, checked"), checkBox(page, QStringLiteral("Caption"), true))->setEnabled(false);
    focused = column.add(QStringLiteral("Focused"), checkBox(page, QStringLiteral("Has the focus"), true));
    auto *colours = column.add(QStringLiteral("Own colours"), checkBox(page, QStringLiteral("Caption"), true));
    colours->SetBackground(QColor(255, 255, 200));
    colours->SetCheckColor(QColor(200, 0, 0));
    column.add(QStringLiteral("No caption"), checkBox(page, QString(), true));
    auto *large = new TMyCheckBox(page);
    large->setFont(dialogFont(kLargePointSize));
    large->SetAutoSize(true);
    large->SetCaption(QStringLiteral("Large"));
    large->SetCheck(true);
    column.add(QStringLiteral("Large font"), large);
    return column.bottom();
}

TShadowLabel *shadowLabel(QWidget *page, const QString &caption, TShadowDirection direction)
{
    auto *label = new TShadowLabel(page);
    label->SetLabelStyle(lsShadow);
    label->Shadow()->SetDirection(direction);
    label->SetWideCaption(caption);
    return label;
}

int addShadowLabels(QWidget *page, QWidget *accelTarget)
{
    Column column(page, 2, QStringLiteral("Shadow labels"));
    auto *plain = new TShadowLabel(page);
    plain->SetWideCaption(QStringLiteral("Plain caption"));
    column.add(QStringLiteral("Normal"), plain);
    column.add(QStringLiteral("Shadow up left"), shadowLabel(page, QStringLiteral("Up left"), sdUpLeft));
    column.add(QStringLiteral("Shadow down left"), shadowLabel(page, QStringLiteral("Down left"), sdDownLeft));
    column.add(QStringLiteral("Shadow up right"), shadowLabel(page, QStringLiteral("Up right"), sdUpRight));
    column.add(QStringLiteral("Shadow down right"), shadowLabel(page, QStringLiteral("Down right"), sdDownRight));
    column.add(QStringLiteral("Shadow, disabled"), shadowLabel(page, QStringLiteral("Embossed"), sdDownRight))
        ->setEnabled(false);
    auto *accel = column.add(QStringLiteral("Accelerator"), shadowLabel(page, QStringLiteral("&Value field"), sdDownRight));
    accel->SetFocusControl(accelTarget);
    auto *transparent = shadowLabel(page, QStringLiteral("Transparent"), sdDownRight);
    transparent->SetTransparent(true);
    column.add(QStringLiteral("Transparent"), transparent);
    auto *right = new TShadowLabel(page);
    right->SetAutoSize(false);
    right->SetAlignment(taRightJustify);
    right->SetLayout(tlCenter);
    right->SetColor(QColor(220, 230, 245));
    right->setGeometry(0, 0, kControlWidth - kMargin, 30);
    right->SetWideCaption(QStringLiteral("Right, centred"));
    column.add(QStringLiteral("Fixed size, right"), right);
    auto *large = shadowLabel(page, QStringLiteral("Large"), sdDownRight);
    large->setFont(dialogFont(kLargePointSize));
    large->Shadow()->SetOffset(3);
    column.add(QStringLiteral("Large font"), large);
    return column.bottom();
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Shows every control of the control library."));
    parser.addHelpOption();
    const QCommandLineOption screenshot(QStringLiteral("screenshot"),
                                        QStringLiteral("Save the window to <file> (PNG) and exit."),
                                        QStringLiteral("file"));
    parser.addOption(screenshot);
    parser.process(app);

    QWidget window;
    window.setWindowTitle(QStringLiteral("Control gallery"));
    window.setFont(dialogFont(kDialogPointSize));
    TMyDoubleSpinEdit *spinFocus = nullptr;
    TMyCheckBox *boxFocus = nullptr;
    const int bottom = std::max({addSpinEdits(&window, spinFocus), addCheckBoxes(&window, boxFocus),
                                 addShadowLabels(&window, spinFocus)});
    window.resize(kMargin + 3 * kColumnWidth, bottom + kMargin);
    window.show();
    QApplication::setActiveWindow(&window);
    // The focus shows on the check box's own dotted frame.
    boxFocus->setFocus(Qt::TabFocusReason);

    if (!parser.isSet(screenshot))
        return app.exec();
    const QString file = parser.value(screenshot);
    QTimer::singleShot(kSettleMs, &window, [&] {
        const bool saved = window.grab().save(file, "PNG");
        if (!saved)
            qWarning("Could not save the screenshot to %s", qPrintable(file));
        app.exit(saved ? 0 : 1);
    });
    return app.exec();
}
