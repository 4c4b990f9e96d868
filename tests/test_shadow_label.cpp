// The shadow label: automatic size per shadow direction, where its text lands, the
// accelerator hand-off and the click actions, with the desktop shell replaced by a recorder.
#include "control_rig.h"
#include "shadow_label.h"
#include "table_rows.h"

#include <QLineEdit>

using namespace ShadowLabel;

namespace {

// What the shell was asked to open, and "open" in the event log beside the label's events.
QList<TShellRequest> opened;
QStringList events;
void recordOpen(const TShellRequest &request)
{
    opened << request;
    events << QStringLiteral("open");
}

QFont labelFont()
{
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(14);
    return font;
}

// A label of a fixed size with text black on white and the shadow red, so that each can
// be found in a rendering.
void prepareForSearch(TShadowLabel &label, QSize size)
{
    label.setFont(labelFont());
    QPalette palette = label.palette();
    palette.setColor(QPalette::WindowText, Qt::black);
    label.setPalette(palette);
    label.SetColor(Qt::white);
    label.Shadow()->SetShadowColor(Qt::red);
    label.SetAutoSize(false);
    label.resize(size);
}

bool dark(QRgb pixel) { return qGray(pixel) < 96 && qRed(pixel) < 96; }
bool reddish(QRgb pixel) { return qRed(pixel) > 160 && qGreen(pixel) < 96 && qBlue(pixel) < 96; }
bool near(QRgb pixel, const QColor &color)
{
    return qAbs(qRed(pixel) - color.red()) < 64 && qAbs(qGreen(pixel) - color.green()) < 64 &&
           qAbs(qBlue(pixel) - color.blue()) < 64;
}

// The size an auto-sized label without shadow takes for a caption.
QSize plainSize(const QString &caption, bool showAccelChar = true)
{
    TShadowLabel plain;
    plain.setFont(labelFont());
    plain.SetShowAccelChar(showAccelChar);
    plain.SetWideCaption(caption);
    return plain.size();
}

// A label naming a line edit as its focus control, a second line edit holding the focus.
struct Form {
    QWidget window;
    TShadowLabel *label = new TShadowLabel(&window);
    QLineEdit *target = new QLineEdit(&window);
    QLineEdit *other = new QLineEdit(&window);

    Form()
    {
        label->move(10, 10);
        label->SetWideCaption(QStringLiteral("&Name"));
        label->SetFocusControl(target);
        target->setGeometry(100, 10, 80, 22);
        other->setGeometry(100, 40, 80, 22);
        window.resize(200, 80);
        (void)showActive(window);
        other->setFocus();
    }
};

// A shadow direction: how much an auto-sized label grows for an offset of 3, and where the
// shadow is drawn from the text.
struct DirectionRow { const char *name; int direction; QSize growth; QPoint shift; };
// An alignment with a layout: where the text lands in both directions (0 at the start, 1 in
// the middle, 2 at the end), and which edge auto-size keeps.
struct AlignmentRow { const char *name; int alignment, layout, place; bool keepsRight; };
// A setting that keeps Alt with the label's letter (or another key) from reaching its control.
struct AcceleratorRow { const char *name; void (*setup)(Form &); int key; bool focused; };
struct ClickRow { const char *name; int action; bool doubleClick; QStringList log; };
// The shadow colour set (invalid: left to the palette), put back to the palette, and painted.
struct ColourRow { const char *name; QColor set; bool putBack; QColor painted; };

} // namespace

class TestShadowLabel : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        opened.clear();
        events.clear();
        ShellOpen = &recordOpen;
    }

    void newLabel()
    {
        TShadowLabel label;
        QCOMPARE(label.size(), QSize(65, 17));
        QVERIFY(!label.Transparent());
        QVERIFY(label.AutoSize());
        QVERIFY(label.Alignment() == taLeftJustify && label.Layout() == tlTop);
        QVERIFY(label.Shadow()->Direction() == sdDownRight && label.Shadow()->Offset() == 2);
        QCOMPARE(label.focusPolicy(), Qt::NoFocus);
        label.setFont(labelFont());
        label.SetWideCaption(QString());
        QCOMPARE(label.size(), plainSize(QStringLiteral(" ")));
        QVERIFY(label.width() > 0 && label.height() >= QFontMetrics(labelFont()).height());
    }

    void shadowDirection_data()
    {
        addRows<DirectionRow>({
            {"up left: size of the text alone", int(sdUpLeft), QSize(0, 0), QPoint(-3, -3)},
            {"down left", int(sdDownLeft), QSize(0, 3), QPoint(-3, 3)},
            {"up right", int(sdUpRight), QSize(3, 0), QPoint(3, -3)},
            {"down right", int(sdDownRight), QSize(3, 3), QPoint(3, 3)},
        });
    }
    void shadowDirection()
    {
        QFETCH(DirectionRow, row);
        TShadowLabel label;
        label.setFont(labelFont());
        label.Shadow()->SetOffset(3);
        label.Shadow()->SetDirection(TShadowDirection(row.direction));
        label.SetLabelStyle(lsShadow);
        label.move(20, 30);
        label.SetWideCaption(QStringLiteral("IH"));
        QCOMPARE(label.size(), plainSize(QStringLiteral("IH")) + row.growth);
        QCOMPARE(label.pos(), QPoint(20, 30));
        // Shadow settings repaint but leave the size alone.
        label.Shadow()->SetOffset(6);
        label.SetLabelStyle(lsNormal);
        QCOMPARE(label.size(), plainSize(QStringLiteral("IH")) + row.growth);

        // In the middle of a larger label, the shadow peeks out on the side it is cast to; the
        // text lies over the rest.
        prepareForSearch(label, QSize(80, 30));
        label.SetAlignment(taCenter);
        label.SetLayout(tlCenter);
        label.Shadow()->SetOffset(3);
        label.SetLabelStyle(lsShadow);
        const QImage image = render(label);
        const QRect text = inkBounds(image, dark);
        const QRect shadow = inkBounds(image, reddish);
        QVERIFY(!text.isEmpty() && !shadow.isEmpty());
        if (row.shift.x() > 0)
            QCOMPARE(shadow.right(), text.right() + row.shift.x());
        else
            QCOMPARE(shadow.left(), text.left() + row.shift.x());
        if (row.shift.y() > 0)
            QCOMPARE(shadow.bottom(), text.bottom() + row.shift.y());
        else
            QCOMPARE(shadow.top(), text.top() + row.shift.y());
    }

    void disabledIsEmbossedWithoutShadow()
    {
        TShadowLabel label;
        prepareForSearch(label, QSize(80, 30)); // room for the lower copy
        const QRgb background = qRgb(128, 128, 128); // neither embossing colour
        label.SetColor(background);
        label.SetWideCaption(QStringLiteral("Off"));
        const QRect plain = inkBounds(render(label), [background](QRgb p) { return p != background; });
        label.SetLabelStyle(lsShadow);
        label.setEnabled(false);
        const QImage image = render(label);
        QVERIFY(inkBounds(image, reddish).isEmpty());
        // Two copies, the highlight one a pixel right of and below the shadow one.
        const QRect embossed = inkBounds(image, [background](QRgb p) { return p != background; });
        QCOMPARE(embossed, plain.adjusted(0, 0, 1, 1));
        const QRgb light = label.palette().color(QPalette::Active, QPalette::Light).rgb();
        const QRgb shade = label.palette().color(QPalette::Active, QPalette::Dark).rgb();
        QVERIFY(!inkBounds(image, [light](QRgb p) { return p == light; }).isEmpty());
        QVERIFY(!inkBounds(image, [shade](QRgb p) { return p == shade; }).isEmpty());
    }

    void alignment_data()
    {
        addRows<AlignmentRow>({
            {"left, top", int(taLeftJustify), int(tlTop), 0, false},
            {"right, bottom", int(taRightJustify), int(tlBottom), 2, true},
            {"centre, centre", int(taCenter), int(tlCenter), 1, false},
        });
    }
    void alignment()
    {
        QFETCH(AlignmentRow, row);
        TShadowLabel label;
        prepareForSearch(label, QSize(200, 60));
        label.SetAlignment(TAlignment(row.alignment));
        label.SetLayout(TTextLayout(row.layout));
        label.SetWideCaption(QStringLiteral("|"));
        const QRect ink = inkBounds(render(label), dark);
        // The cell the bar is laid out in: its ink lies inside, the cell against the edges.
        const QSize cell = plainSize(QStringLiteral("|"));
        const QPoint at((200 - cell.width()) * row.place / 2, (60 - cell.height()) * row.place / 2);
        QVERIFY(!ink.isEmpty());
        QVERIFY(QRect(at, cell).adjusted(-1, 0, 1, 0).contains(ink));

        // Auto-sized for a longer caption or a larger font, it keeps the edge it is aligned to
        // (the left one when centred).
        TShadowLabel sized;
        sized.setFont(labelFont());
        sized.SetAlignment(TAlignment(row.alignment));
        sized.move(100, 5);
        sized.SetWideCaption(QStringLiteral("Short"));
        const QRect before = sized.geometry();
        sized.SetWideCaption(QStringLiteral("A much longer caption"));
        QCOMPARE(sized.size(), plainSize(QStringLiteral("A much longer caption")));
        QVERIFY(sized.width() > before.width());
        QCOMPARE(row.keepsRight ? sized.geometry().right() : sized.x(), row.keepsRight ? before.right() : before.x());
        const QSize small = sized.size();
        sized.setFont(QFont(labelFont().family(), 28));
        QVERIFY(sized.width() > small.width() && sized.height() > small.height());
    }

    void accelerator_data()
    {
        // Whenever the label does not hand the focus on, the key goes on to the window.
        addRows<AcceleratorRow>({
            {"its letter", [](Form &) {}, Qt::Key_N, true},
            {"another letter", [](Form &) {}, Qt::Key_A, false},
            {"accelerator shown off", [](Form &f) { f.label->SetShowAccelChar(false); }, Qt::Key_N, false},
            {"label disabled", [](Form &f) { f.label->setEnabled(false); }, Qt::Key_N, false},
            {"focus control disabled", [](Form &f) { f.target->setEnabled(false); }, Qt::Key_N, false},
            {"focus control hidden", [](Form &f) { f.target->hide(); }, Qt::Key_N, false},
            {"focus control takes no focus", [](Form &f) { f.target->setFocusPolicy(Qt::NoFocus); }, Qt::Key_N, false},
            {"no focus control", [](Form &f) { f.label->SetFocusControl(nullptr); }, Qt::Key_N, false},
            {"focus control destroyed: forgotten", [](Form &f) {
                 delete f.target;
                 QCOMPARE(f.label->FocusControl(), nullptr);
             }, Qt::Key_N, false},
        });
    }
    void accelerator()
    {
        QFETCH(AcceleratorRow, row);
        Form form;
        QPointer<QLineEdit> target = form.target;
        row.setup(form);
        KeyPressRecorder reachingWindow;
        form.window.installEventFilter(&reachingWindow);
        QTest::keyClick(&form.window, Qt::Key(row.key), Qt::AltModifier);
        QCOMPARE(target && target->hasFocus(), row.focused);
        QCOMPARE(form.other->hasFocus(), !row.focused);
        QCOMPARE(reachingWindow.keys.contains(row.key), !row.focused);
    }

    void ampersandsMeasured()
    {
        // The ampersand marks the letter and takes no room; shown as it is, it does.
        QCOMPARE(plainSize(QStringLiteral("&Name")), plainSize(QStringLiteral("Name")));
        QCOMPARE(plainSize(QStringLiteral("&&Name")), plainSize(QStringLiteral("&Name"), false));
        QVERIFY(plainSize(QStringLiteral("&Name"), false).width() > plainSize(QStringLiteral("Name")).width());
        // A lone ampersand still measures as a line.
        QCOMPARE(plainSize(QStringLiteral("&")).height(), plainSize(QStringLiteral("N")).height());
    }

    void clickActions_data()
    {
        addRows<ClickRow>({
            {"click action, click", int(acClick), false, {"open", "click"}},
            {"click action, double click", int(acClick), true, {"open", "click", "dblclick"}},
            {"double-click action, click", int(acDblClick), false, {"click"}},
            {"double-click action, double click", int(acDblClick), true, {"click", "open", "dblclick"}},
            {"no action, double click", int(acNone), true, {"click", "dblclick"}},
        });
    }
    void clickActions()
    {
        QFETCH(ClickRow, row);
        Form form;
        form.label->SetCommand(QStringLiteral("/tmp/readme.txt"));
        form.label->SetShowCommand(sShowMaximize);
        form.label->SetClickAction(TClickAction(row.action));
        form.label->OnClick = [](QObject *) { events << QStringLiteral("click"); };
        form.label->OnDblClick = [](QObject *) { events << QStringLiteral("dblclick"); };
        // Through the window, as the platform delivers them: a double click is a click and a
        // second press that also comes as a double click.
        const QPoint inside = form.label->mapTo(&form.window, form.label->rect().center());
        if (row.doubleClick)
            QTest::mouseDClick(form.window.windowHandle(), Qt::LeftButton, {}, inside);
        else
            QTest::mouseClick(form.window.windowHandle(), Qt::LeftButton, {}, inside);
        QCOMPARE(events, row.log);
        QCOMPARE(opened.size(), int(row.log.count("open")));
        for (const TShellRequest &request : opened)
            QVERIFY(request.Verb == "Open" && request.Target == "/tmp/readme.txt" && request.ShowMode == 3);
        QVERIFY(form.other->hasFocus()); // the label never takes the focus
    }

    void showModes_data()
    {
        QTest::addColumn<int>("show");
        QTest::addColumn<int>("mode");
        const int modes[] = {0, 3, 6, 9, 5, 10, 3, 2, 7, 8, 4, 1};
        for (int show = sHide; show <= sShowNormal; ++show)
            QTest::addRow("%d", show) << show << modes[show];
    }
    void showModes()
    {
        QFETCH(int, show);
        QFETCH(int, mode);
        QCOMPARE(ShowModeOf(TShow(show)), mode);
        TShadowLabel label;
        label.SetShowCommand(TShow(show));
        label.RunCommand();
        QCOMPARE(opened.size(), 1);
        QCOMPARE(opened.first().ShowMode, mode);
        QCOMPARE(opened.first().Target, QString()); // an empty command goes as an empty string
    }

    void targetUrls_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QUrl>("url");
        QTest::newRow("absolute path") << "/tmp/manual.pdf" << QUrl("file:///tmp/manual.pdf");
        QTest::newRow("relative path")
            << "docs/a b.txt" << QUrl::fromLocalFile(QDir::current().absoluteFilePath("docs/a b.txt"));
        QTest::newRow("web address") << "https://example.org/x?y=1" << QUrl("https://example.org/x?y=1");
        QTest::newRow("empty") << "" << QUrl();
    }
    void targetUrls()
    {
        QFETCH(QString, target);
        QFETCH(QUrl, url);
        QCOMPARE(ShellTargetUrl(target), url);
    }

    void shadowSetterCopies()
    {
        auto other = std::make_unique<TShadowLabel>();
        other->Shadow()->SetDirection(sdUpLeft);
        other->Shadow()->SetOffset(5);
        other->Shadow()->SetShadowColor(Qt::blue);
        TShadowLabel label;
        TShadow *own = label.Shadow();
        label.SetShadow(*other->Shadow());
        other.reset(); // the label's own shadow outlives the one it copied
        QCOMPARE(label.Shadow(), own);
        QVERIFY(own->Direction() == sdUpLeft && own->Offset() == 5 && own->ShadowColor() == QColor(Qt::blue));
    }

    void shadowColour_data()
    {
        addRows<ColourRow>({
            {"follows the palette", QColor(), false, QColor(Qt::red)},
            {"set by the program: kept", QColor(Qt::blue), false, QColor(Qt::blue)},
            {"set, then put back to the palette", QColor(Qt::blue), true, QColor(Qt::red)},
        });
    }
    void shadowColour()
    {
        QFETCH(ColourRow, row);
        const QColor painted = row.painted;
        TShadowLabel label;
        label.setFont(labelFont());
        label.SetLabelStyle(lsShadow);
        label.SetWideCaption(QStringLiteral("IH"));
        if (row.set.isValid())
            label.Shadow()->SetShadowColor(row.set);
        if (row.putBack)
            label.Shadow()->SetShadowColor(QColor());
        // The palette changes after the label was made, as with a change of theme.
        QPalette palette = label.palette();
        palette.setColor(QPalette::Dark, Qt::red);
        label.setPalette(palette);
        QCOMPARE(label.Shadow()->ShadowColor(), painted);
        QVERIFY(!inkBounds(render(label), [painted](QRgb p) { return near(p, painted); }).isEmpty());
    }
};

QTEST_MAIN(TestShadowLabel)
#include "test_shadow_label.moc"
