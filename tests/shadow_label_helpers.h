#pragma once
// What the shadow label's tests share: the desktop shell replaced by a recorder, the label's
// font, and renderings searched for the text's and the shadow's ink.
#include "shadow_label.h"

#include <QLineEdit>
#include <QtTest>

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

QImage render(QWidget &widget)
{
    QImage image(widget.size(), QImage::Format_RGB32);
    widget.render(&image);
    return image;
}

// The smallest rectangle around the pixels that pass the test.
template <typename Test>
QRect inkBounds(const QImage &image, Test test)
{
    QRect bounds;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            bounds |= test(image.pixel(x, y)) ? QRect(x, y, 1, 1) : QRect();
    return bounds;
}

bool dark(QRgb pixel) { return qGray(pixel) < 96 && qRed(pixel) < 96; }
bool reddish(QRgb pixel) { return qRed(pixel) > 160 && qGreen(pixel) < 96 && qBlue(pixel) < 96; }
bool near(QRgb pixel, const QColor &color)
{
    return qAbs(qRed(pixel) - color.red()) < 64 && qAbs(qGreen(pixel) - color.green()) < 64 &&
           qAbs(qBlue(pixel) - color.blue()) < 64;
}

// The keys pressed that reach the watched widget: those no shortcut took.
struct KeyPressRecorder : QObject {
    QList<int> keys;
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::KeyPress)
            keys << static_cast<QKeyEvent *>(event)->key();
        return false;
    }
};

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
        window.show();
        QApplication::setActiveWindow(&window);
        (void)QTest::qWaitForWindowActive(&window);
        other->setFocus();
    }
};

} // namespace
