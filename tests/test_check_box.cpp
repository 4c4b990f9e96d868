// The owner-drawn check box: its geometry to the pixel, its sizes and its events, the
// latter through real mouse, key and focus events.
#include "control_rig.h"
#include "my_check_box.h"
#include "table_rows.h"

#include <QLineEdit>

using namespace MyValueSpin;

namespace {

// The 8-point dialog font at 96 dpi: 13 pixels high in full, 11 of them glyph height.
QFont dialogFont()
{
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(11);
    return font;
}

QRgb faceOf(const QWidget &widget) { return widget.palette().color(QPalette::Button).rgb(); }

// The pixels of the rectangle's outermost ring.
QList<QPoint> ring(const QRect &r)
{
    QList<QPoint> points;
    for (int x = r.left(); x <= r.right(); ++x)
        points << QPoint(x, r.top()) << QPoint(x, r.bottom());
    for (int y = r.top() + 1; y < r.bottom(); ++y)
        points << QPoint(r.left(), y) << QPoint(r.right(), y);
    return points;
}

// The columns holding anything but the background colour, within the given rows.
QList<int> inkColumns(const QImage &image, QRgb background, int fromX)
{
    QList<int> columns;
    for (int x = fromX; x < image.width(); ++x) {
        for (int y = 0; y < image.height(); ++y) {
            if (image.pixel(x, y) != background) {
                columns << x;
                break;
            }
        }
    }
    return columns;
}

// The width the caption takes when drawn on one line.
int captionWidth(const QFont &font, const QString &caption)
{
    return QFontMetrics(font).boundingRect(QRect(), Qt::TextSingleLine, caption).width();
}

// A check box beside a line edit in an active window, with its events logged.
struct Form {
    QWidget window;
    TMyCheckBox *box = new TMyCheckBox(&window);
    QLineEdit *other = new QLineEdit(&window);
    QStringList log;

    Form()
    {
        box->move(10, 10);
        other->setGeometry(10, 40, 80, 22);
        box->OnClick = [this](QObject *) { log << QStringLiteral("click %1").arg(box->GetCheck()); };
        box->OnEnter = [this](QObject *) { log << QStringLiteral("enter %1").arg(box->GetCheck()); };
        box->OnExit = [this](QObject *) { log << QStringLiteral("exit"); };
        window.resize(200, 80);
        (void)showActive(window);
        other->setFocus();
        log.clear();
    }
};

// Where the box goes for an alignment, and whether the caption is left of it.
struct CaptionRow { const char *name; int alignment; QRect box; bool captionLeft; };
// The font's height and leading and the control's height: the box's side q and the unit p.
struct UnitRow { const char *name; int fontHeight, leading, height, q, p; };
// Input on a check box that starts unchecked: the events, the state and the focus after.
struct ToggleRow { const char *name; QString input; QStringList log; bool checked, focused; };

} // namespace

class TestCheckBox : public QObject {
    Q_OBJECT
private slots:
    void newControl()
    {
        TMyCheckBox box;
        QCOMPARE(box.size(), QSize(19, 19));
        QVERIFY(!box.GetCheck());
        // The default colours, alignment and tab stop show in dialogFontToThePixel, toggles and colours.
        // It is never made smaller than that.
        const std::pair<QSize, QSize> resized[] = {{QSize(10, 40), QSize(19, 40)}, {QSize(40, 10), QSize(40, 19)},
                                                   {QSize(1, 1), QSize(19, 19)}, {QSize(50, 30), QSize(50, 30)}};
        for (const auto &[asked, given] : resized) {
            box.resize(asked);
            QCOMPARE(box.size(), given);
        }
    }

    void dialogFontToThePixel()
    {
        TMyCheckBox box;
        box.setFont(dialogFont());
        QCOMPARE(QFontMetrics(box.font()).height(), 13);
        box.SetCheck(true);
        const TCheckBoxGeometry g = box.Geometry();
        QCOMPARE(g.q, 14);
        QCOMPARE(g.p, 1);
        QCOMPARE(g.box, QRect(QPoint(2, 3), QPoint(15, 16)));
        QCOMPARE(g.interior, QRect(QPoint(4, 5), QPoint(13, 14)));
        QCOMPARE(g.caption.left(), 20);

        // Three strokes (5, 8 + k) → (7, 10 + k) → (12, 5 + k), each without its end point.
        QSet<QPoint> mark;
        for (int k = 0; k < 3; ++k) {
            for (int i = 0; i < 2; ++i)
                mark << QPoint(5 + i, 8 + k + i);
            for (int i = 0; i < 5; ++i)
                mark << QPoint(7 + i, 10 + k - i);
        }
        const QImage image = render(box);
        for (int x = g.interior.left(); x <= g.interior.right(); ++x) {
            for (int y = g.interior.top(); y <= g.interior.bottom(); ++y)
                QCOMPARE(image.pixel(x, y), mark.contains(QPoint(x, y)) ? qRgb(0, 0, 0) : qRgb(255, 255, 255));
        }
        // The style's frame fills exactly B: its ring is drawn, the ring around it is not.
        for (const QPoint &pt : ring(g.box))
            QVERIFY2(image.pixel(pt) != faceOf(box), qPrintable(QStringLiteral("%1,%2").arg(pt.x()).arg(pt.y())));
        for (const QPoint &pt : ring(g.box.adjusted(-1, -1, 1, 1)))
            QCOMPARE(image.pixel(pt), faceOf(box));
    }

    void captionBesideTheBox_data()
    {
        addRows<CaptionRow>({
            {"box left", int(taRightJustify), QRect(2, 3, 14, 14), false},
            {"centre acts as box left", int(taCenter), QRect(2, 3, 14, 14), false},
            {"box right", int(taLeftJustify), QRect(84, 3, 14, 14), true},
        });
    }
    void captionBesideTheBox()
    {
        QFETCH(CaptionRow, row);
        const QRect box = row.box;
        TMyCheckBox control;
        control.setFont(dialogFont());
        control.resize(100, 19);
        control.SetAlignment(TAlignment(row.alignment));
        control.SetCaption(QStringLiteral("Mm"));
        QCOMPARE(control.Geometry().box, box);
        const QImage image = render(control);
        const QList<int> ink = inkColumns(image, faceOf(control), 0);
        const QList<int> caption =
            row.captionLeft ? ink.mid(0, ink.indexOf(box.left())) : ink.mid(ink.indexOf(box.right()) + 1);
        QVERIFY(!caption.isEmpty());
        if (row.captionLeft) {
            // Right-aligned against the box, a third of the font height away (13 / 3).
            QVERIFY(caption.last() <= box.left() - 4 - 1);
            QVERIFY(caption.last() >= box.left() - 4 - 3);
        } else {
            QVERIFY(caption.first() >= 20);
            QVERIFY(caption.first() <= 22);
        }
    }

    void boxAndUnitForLargeFonts_data()
    {
        addRows<UnitRow>({
            {"small font: the smallest box", 13, 2, 19, 14, 1},
            {"14", 16, 2, 40, 14, 1},
            {"odd 21 rounds down", 25, 4, 40, 20, 1},
            {"22", 26, 4, 40, 22, 2},
            {"34", 40, 6, 60, 34, 2},
            {"35 rounds down to 34", 41, 6, 60, 34, 2},
            {"36", 42, 6, 60, 36, 3},
            {"48", 56, 8, 60, 48, 3},
            {"held to H - 5, odd", 36, 6, 30, 25, 2},
        });
    }
    void boxAndUnitForLargeFonts()
    {
        QFETCH(UnitRow, row);
        const TCheckBoxGeometry g = CheckBoxGeometry(100, row.height, row.fontHeight, row.leading, false);
        QCOMPARE(g.q, row.q);
        QCOMPARE(g.p, row.p);
        QCOMPARE(g.box.size(), QSize(row.q, row.q));
        QCOMPARE(g.box.left(), row.p + 1);
        QCOMPARE(g.strokes.size(), row.p + 2);
    }

    void largeFontDrawsPPlusTwoStrokes()
    {
        TMyCheckBox box;
        QFont font = dialogFont();
        font.setPixelSize(24); // glyphs 24 high: q = 24, p = 2
        box.setFont(font);
        box.resize(40, 40);
        box.SetCheck(true);
        const TCheckBoxGeometry g = box.Geometry();
        QCOMPARE(g.q, 24);
        QCOMPARE(g.p, 2);
        const QPoint start = g.strokes.first()[0];
        const QImage image = render(box);
        int column = 0;
        for (int y = g.interior.top(); y <= g.interior.bottom(); ++y)
            column += image.pixel(start.x(), y) == qRgb(0, 0, 0);
        QCOMPARE(column, 4);
    }

    void autoSize_data()
    {
        QTest::addColumn<int>("pixelSize");
        QTest::addColumn<QString>("caption");
        QTest::newRow("dialog font") << 11 << "Caption";
        QTest::newRow("dialog font, empty") << 11 << "";
        QTest::newRow("large font") << 30 << "Caption";
        QTest::newRow("large font, empty") << 30 << "";
    }
    void autoSize()
    {
        QFETCH(int, pixelSize);
        QFETCH(QString, caption);
        TMyCheckBox box;
        QFont font = dialogFont();
        font.setPixelSize(pixelSize);
        box.setFont(font);
        box.move(7, 9);
        box.SetCaption(caption);
        QCOMPARE(box.size(), QSize(19, 19)); // AutoSize off
        box.SetAutoSize(true);
        const QFontMetrics metrics(font);
        const int t = metrics.height() + metrics.height() % 2;
        const QSize expected = caption.isEmpty()
            ? QSize(std::max(metrics.height(), 19), std::max(metrics.height(), 19))
            : QSize(std::max(t + 4, 19) + captionWidth(font, caption) + t / 3, std::max(t + 4, 19));
        QCOMPARE(box.size(), expected);
        QCOMPARE(box.pos(), QPoint(7, 9));
        if (pixelSize == 11 && !caption.isEmpty())
            QCOMPARE(box.width(), captionWidth(font, caption) + 23);
    }

    void toggles_data()
    {
        addRows<ToggleRow>({
            // A press takes the focus before OnClick, after the state has changed.
            {"press", "press", {"enter 1", "click 1"}, true, true},
            {"enter", "enter", {"click 1"}, true, true},
            {"space", "space", {"click 1"}, true, true},
            {"other key", "a", {}, false, true},
            {"right button", "right", {}, false, false},
            // Set false, true, true, false: OnClick only on a change, and the focus stays away.
            {"SetCheck", "program", {"click 1", "click 0"}, false, false},
            // Backtab from the field reaches the box before it, Tab leaves it again.
            {"tab in and out", "tab", {"enter 0", "exit"}, false, false},
        });
    }
    void toggles()
    {
        QFETCH(ToggleRow, row);
        Form form;
        if (row.input == "program") {
            for (bool check : {false, true, true, false})
                form.box->SetCheck(check);
        } else if (row.input == "tab") {
            QTest::keyClick(form.other, Qt::Key_Backtab);
            QVERIFY(form.box->hasFocus());
            QTest::keyClick(form.box, Qt::Key_Tab);
        } else if (row.input == "press" || row.input == "right") {
            QTest::mousePress(form.box, row.input == "press" ? Qt::LeftButton : Qt::RightButton, {}, QPoint(9, 9));
        } else {
            form.box->setFocus(Qt::TabFocusReason);
            form.log.clear();
            QTest::keyClick(form.box, row.input == "enter"   ? Qt::Key_Return
                                      : row.input == "space" ? Qt::Key_Space
                                                             : Qt::Key_A);
        }
        QCOMPARE(form.log, row.log);
        QCOMPARE(form.box->GetCheck(), row.checked);
        QCOMPARE(form.box->hasFocus(), row.focused);
        QCOMPARE(form.box->FocusMark(), row.focused);
        // The dotted focus frame starts at (0, 0).
        QCOMPARE(render(*form.box).pixel(0, 0) != faceOf(*form.box), row.focused);
    }

    void colours()
    {
        TMyCheckBox box;
        box.setFont(dialogFont());
        box.resize(80, 19);
        box.SetCaption(QStringLiteral("Off"));
        box.SetCheck(true);
        box.setEnabled(false);
        const QImage image = render(box);
        const TCheckBoxGeometry g = box.Geometry();
        QCOMPARE(image.pixel(g.interior.topLeft()), faceOf(box));
        const QPoint markStart = g.strokes.first()[0];
        QCOMPARE(image.pixel(markStart), box.palette().color(QPalette::Disabled, QPalette::Text).rgb());
        // Embossed: the highlight copy one pixel right of and below the shadow copy.
        const QRgb highlight = box.palette().color(QPalette::Active, QPalette::Light).rgb();
        const QRgb shadow = box.palette().color(QPalette::Active, QPalette::Dark).rgb();
        bool sawHighlight = false;
        bool sawShadow = false;
        for (int x = g.caption.left(); x < image.width(); ++x) {
            for (int y = 0; y < image.height(); ++y) {
                sawHighlight |= image.pixel(x, y) == highlight;
                sawShadow |= image.pixel(x, y) == shadow;
            }
        }
        QVERIFY(sawHighlight && sawShadow);
        box.setEnabled(true);
        QCOMPARE(render(box).pixel(g.interior.topLeft()), qRgb(255, 255, 255));
        box.SetBackground(QColor(255, 255, 0));
        box.SetCheckColor(QColor(255, 0, 0));
        QCOMPARE(render(box).pixel(g.interior.topLeft()), qRgb(255, 255, 0));
        QCOMPARE(render(box).pixel(markStart), qRgb(255, 0, 0));
    }
};

QTEST_MAIN(TestCheckBox)
#include "test_check_box.moc"
