// The shadow label: automatic size per shadow direction, where its text lands, the
// accelerator hand-off and the click actions, with the desktop shell replaced by a recorder.
#include "shadow_label_helpers.h"

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

    void autoSizePerDirection_data()
    {
        QTest::addColumn<int>("direction");
        QTest::addColumn<QSize>("growth");
        QTest::newRow("up left: text alone") << int(sdUpLeft) << QSize(0, 0);
        QTest::newRow("down left") << int(sdDownLeft) << QSize(0, 3);
        QTest::newRow("up right") << int(sdUpRight) << QSize(3, 0);
        QTest::newRow("down right") << int(sdDownRight) << QSize(3, 3);
    }
    void autoSizePerDirection()
    {
        QFETCH(int, direction);
        QFETCH(QSize, growth);
        TShadowLabel label;
        label.setFont(labelFont());
        label.Shadow()->SetOffset(3);
        label.Shadow()->SetDirection(TShadowDirection(direction));
        label.SetLabelStyle(lsShadow);
        label.move(20, 30);
        label.SetWideCaption(QStringLiteral("Shadowed"));
        QCOMPARE(label.size(), plainSize(QStringLiteral("Shadowed")) + growth);
        QCOMPARE(label.pos(), QPoint(20, 30));
        // Shadow settings repaint but leave the size alone.
        const QSize sized = label.size();
        label.Shadow()->SetOffset(6);
        label.SetLabelStyle(lsNormal);
        QCOMPARE(label.size(), sized);
    }

    void shadowDrawnInItsDirection_data()
    {
        QTest::addColumn<int>("direction");
        QTest::addColumn<QPoint>("shift");
        QTest::newRow("up left") << int(sdUpLeft) << QPoint(-2, -2);
        QTest::newRow("down left") << int(sdDownLeft) << QPoint(-2, 2);
        QTest::newRow("up right") << int(sdUpRight) << QPoint(2, -2);
        QTest::newRow("down right") << int(sdDownRight) << QPoint(2, 2);
    }
    void shadowDrawnInItsDirection()
    {
        QFETCH(int, direction);
        QFETCH(QPoint, shift);
        TShadowLabel label;
        prepareForSearch(label, QSize(80, 30));
        label.SetLabelStyle(lsShadow);
        label.Shadow()->SetDirection(TShadowDirection(direction));
        label.SetWideCaption(QStringLiteral("IH"));
        const QImage image = render(label);
        const QRect text = inkBounds(image, dark);
        const QRect shadow = inkBounds(image, reddish);
        QVERIFY(!text.isEmpty() && !shadow.isEmpty());
        // The shadow peeks out on the side it is cast to; the text lies over the rest.
        if (shift.x() > 0)
            QCOMPARE(shadow.right(), text.right() + shift.x());
        else if (text.left() > 1)
            QCOMPARE(shadow.left(), text.left() + shift.x());
        if (shift.y() > 0)
            QCOMPARE(shadow.bottom(), text.bottom() + shift.y());
        else
            QCOMPARE(shadow.top(), text.top() + shift.y());
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

    void textPlacement_data()
    {
        QTest::addColumn<int>("alignment");
        QTest::addColumn<int>("layout");
        QTest::newRow("left, top") << int(taLeftJustify) << int(tlTop);
        QTest::newRow("right, bottom") << int(taRightJustify) << int(tlBottom);
        QTest::newRow("centre, centre") << int(taCenter) << int(tlCenter);
    }
    void textPlacement()
    {
        QFETCH(int, alignment);
        QFETCH(int, layout);
        TShadowLabel label;
        prepareForSearch(label, QSize(200, 60));
        label.SetAlignment(TAlignment(alignment));
        label.SetLayout(TTextLayout(layout));
        label.SetWideCaption(QStringLiteral("|"));
        const QRect ink = inkBounds(render(label), dark);
        // The cell the bar is laid out in: its ink lies inside, the cell against the edges.
        const QSize cell = plainSize(QStringLiteral("|"));
        const int left = alignment == taLeftJustify ? 0 : alignment == taRightJustify ? 200 - cell.width() : (200 - cell.width()) / 2;
        const int top = layout == tlTop ? 0 : layout == tlBottom ? 60 - cell.height() : (60 - cell.height()) / 2;
        QVERIFY(!ink.isEmpty());
        QVERIFY(QRect(QPoint(left, top), cell).adjusted(-1, 0, 1, 0).contains(ink));
    }

    void autoSizeKeepsTheAlignedEdge_data()
    {
        QTest::addColumn<int>("alignment");
        QTest::addColumn<bool>("keepsRight");
        QTest::newRow("left keeps left") << int(taLeftJustify) << false;
        QTest::newRow("centre keeps left") << int(taCenter) << false;
        QTest::newRow("right keeps right") << int(taRightJustify) << true;
    }
    void autoSizeKeepsTheAlignedEdge()
    {
        QFETCH(int, alignment);
        QFETCH(bool, keepsRight);
        TShadowLabel label;
        label.setFont(labelFont());
        label.SetAlignment(TAlignment(alignment));
        label.move(100, 5);
        label.SetWideCaption(QStringLiteral("Short"));
        const QRect before = label.geometry();
        label.SetWideCaption(QStringLiteral("A much longer caption"));
        QCOMPARE(label.size(), plainSize(QStringLiteral("A much longer caption")));
        QVERIFY(label.width() > before.width());
        if (keepsRight)
            QCOMPARE(label.geometry().right(), before.right());
        else
            QCOMPARE(label.x(), before.x());
    }

    void accelerator_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<int>("key");
        QTest::addColumn<bool>("focused");
        // Whenever the label does not hand the focus on, the key goes on to the window.
        QTest::newRow("its letter") << "" << int(Qt::Key_N) << true;
        QTest::newRow("another letter") << "" << int(Qt::Key_A) << false;
        QTest::newRow("accelerator shown off") << "noAccel" << int(Qt::Key_N) << false;
        QTest::newRow("label disabled") << "labelOff" << int(Qt::Key_N) << false;
        QTest::newRow("focus control disabled") << "targetOff" << int(Qt::Key_N) << false;
        QTest::newRow("focus control hidden") << "targetHidden" << int(Qt::Key_N) << false;
        QTest::newRow("focus control takes no focus") << "targetNoFocus" << int(Qt::Key_N) << false;
        QTest::newRow("no focus control") << "noTarget" << int(Qt::Key_N) << false;
        QTest::newRow("focus control destroyed: forgotten") << "targetGone" << int(Qt::Key_N) << false;
    }
    void accelerator()
    {
        QFETCH(QString, setup);
        QFETCH(int, key);
        QFETCH(bool, focused);
        Form form;
        if (setup == "noAccel")
            form.label->SetShowAccelChar(false);
        else if (setup == "labelOff")
            form.label->setEnabled(false);
        else if (setup == "targetOff")
            form.target->setEnabled(false);
        else if (setup == "targetHidden")
            form.target->hide();
        else if (setup == "targetNoFocus")
            form.target->setFocusPolicy(Qt::NoFocus);
        else if (setup == "noTarget")
            form.label->SetFocusControl(nullptr);
        QPointer<QLineEdit> target = form.target;
        if (setup == "targetGone") {
            delete form.target;
            QCOMPARE(form.label->FocusControl(), nullptr);
        }
        KeyPressRecorder reachingWindow;
        form.window.installEventFilter(&reachingWindow);
        QTest::keyClick(&form.window, Qt::Key(key), Qt::AltModifier);
        QCOMPARE(target && target->hasFocus(), focused);
        QCOMPARE(form.other->hasFocus(), !focused);
        QCOMPARE(reachingWindow.keys.contains(key), !focused);
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
        QTest::addColumn<int>("action");
        QTest::addColumn<bool>("doubleClick");
        QTest::addColumn<QStringList>("log");
        QTest::newRow("click action, click") << int(acClick) << false << QStringList{"open", "click"};
        QTest::newRow("click action, double click") << int(acClick) << true << QStringList{"open", "click", "dblclick"};
        QTest::newRow("double-click action, click") << int(acDblClick) << false << QStringList{"click"};
        QTest::newRow("double-click action, double click")
            << int(acDblClick) << true << QStringList{"click", "open", "dblclick"};
        QTest::newRow("no action, double click") << int(acNone) << true << QStringList{"click", "dblclick"};
    }
    void clickActions()
    {
        QFETCH(int, action);
        QFETCH(bool, doubleClick);
        QFETCH(QStringList, log);
        Form form;
        form.label->SetCommand(QStringLiteral("/tmp/readme.txt"));
        form.label->SetShowCommand(sShowMaximize);
        form.label->SetClickAction(TClickAction(action));
        form.label->OnClick = [](QObject *) { events << QStringLiteral("click"); };
        form.label->OnDblClick = [](QObject *) { events << QStringLiteral("dblclick"); };
        // Through the window, as the platform delivers them: a double click is a click and a
        // second press that also comes as a double click.
        const QPoint inside = form.label->mapTo(&form.window, form.label->rect().center());
        if (doubleClick)
            QTest::mouseDClick(form.window.windowHandle(), Qt::LeftButton, {}, inside);
        else
            QTest::mouseClick(form.window.windowHandle(), Qt::LeftButton, {}, inside);
        QCOMPARE(events, log);
        QCOMPARE(opened.size(), int(log.count("open")));
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
        QTest::addColumn<QColor>("set"); // invalid: left to the palette
        QTest::addColumn<bool>("putBack");
        QTest::addColumn<QColor>("painted");
        QTest::newRow("follows the palette") << QColor() << false << QColor(Qt::red);
        QTest::newRow("set by the program: kept") << QColor(Qt::blue) << false << QColor(Qt::blue);
        QTest::newRow("set, then put back to the palette") << QColor(Qt::blue) << true << QColor(Qt::red);
    }
    void shadowColour()
    {
        QFETCH(QColor, set);
        QFETCH(bool, putBack);
        QFETCH(QColor, painted);
        TShadowLabel label;
        label.setFont(labelFont());
        label.SetLabelStyle(lsShadow);
        label.SetWideCaption(QStringLiteral("IH"));
        if (set.isValid())
            label.Shadow()->SetShadowColor(set);
        if (putBack)
            label.Shadow()->SetShadowColor(QColor());
        // The palette changes after the label was made, as with a change of theme.
        QPalette palette = label.palette();
        palette.setColor(QPalette::Dark, Qt::red);
        label.setPalette(palette);
        QCOMPARE(label.Shadow()->ShadowColor(), painted);
        QVERIFY(!inkBounds(render(label), [painted](QRgb p) { return near(p, painted); }).isEmpty());
    }

    void fontChangeResizes()
    {
        TShadowLabel label;
        label.setFont(labelFont());
        label.SetWideCaption(QStringLiteral("Grows"));
        const QSize small = label.size();
        label.setFont(QFont(labelFont().family(), 28));
        QVERIFY(label.width() > small.width() && label.height() > small.height());
    }
};

QTEST_MAIN(TestShadowLabel)
#include "test_shadow_label.moc"
