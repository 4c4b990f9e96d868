#pragma once
// What the owner-drawn controls' tests share: a control rendered, the ink found in it, the
// keys that reach a window, and a window shown and made active.
#include <QApplication>
#include <QImage>
#include <QKeyEvent>
#include <QTest>
#include <QWidget>

inline QImage render(QWidget &widget)
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

// The keys pressed that reach the watched widget, sent to it or passed on by a child: those
// no shortcut or control took.
struct KeyPressRecorder : QObject {
    QList<int> keys;
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::KeyPress)
            keys << static_cast<QKeyEvent *>(event)->key();
        return false;
    }
};

// The focus tests fail on their own if the window does not become active.
inline bool showActive(QWidget &window)
{
    window.show();
    QApplication::setActiveWindow(&window);
    return QTest::qWaitForWindowActive(&window);
}
