#pragma once
// Answers the modal message boxes that the window opens, as an operator would: it watches
// for one, remembers its caption and text, and presses the button it was told to (NoButton:
// the Enter key, which takes the box's default).
#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <QtTest>

class MessageBoxAnswerer : public QObject {
public:
    explicit MessageBoxAnswerer(QMessageBox::StandardButton answer = QMessageBox::Ok) : answer(answer)
    {
        timer_.setInterval(10);
        QObject::connect(&timer_, &QTimer::timeout, this, [this] { look(); });
        timer_.start();
    }
    QMessageBox::StandardButton answer;
    QString pressFirst; // a button of the box's own to press before the answer
    QList<bool> leftOpen; // for each press of it: whether the box was still open after it
    QStringList captions, texts, informativeTexts, detailedTexts;

private:
    void look()
    {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || box->property("answered").toBool())
            return;
        box->setProperty("answered", true);
        captions << box->windowTitle();
        texts << box->text();
        informativeTexts << box->informativeText();
        detailedTexts << box->detailedText();
        for (QAbstractButton *button : box->buttons())
            if (!pressFirst.isEmpty() && button->text() == pressFirst) {
                button->click();
                leftOpen << box->isVisible();
            }
        if (answer == QMessageBox::NoButton)
            QTest::keyClick(box, Qt::Key_Return);
        else if (QAbstractButton *button = box->button(answer))
            button->click();
        else
            box->reject();
    }
    QTimer timer_;
};
