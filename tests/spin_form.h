#pragma once
// What the two spin edits' tests share: the alerts counted, and a field beside a second one
// to move the focus to, in an active window, with its events logged and the text they saw.
#include "alert_sound.h"
#include "control_rig.h"
#include "table_rows.h"

#include <QLineEdit>
#include <QtTest>

inline int beeps = 0;
inline void countBeep() { ++beeps; }

template <typename Edit>
struct SpinForm {
    QWidget window;
    Edit *edit = new Edit(&window);
    QLineEdit *other = new QLineEdit(&window);
    QStringList log; // OnChange, OnChanged, OnEnter and OnExit with the text they saw

    explicit SpinForm(int width, const QFont &font = QFont())
    {
        window.setFont(font);
        edit->setGeometry(10, 10, width, 22);
        other->setGeometry(10, 40, 80, 22);
        edit->OnChange = [this](QObject *) { log << "change " + edit->text(); };
        edit->OnChanged = [this](QObject *) { log << "changed " + edit->text(); };
        edit->OnEnter = [this](QObject *) { log << "enter " + edit->text(); };
        edit->OnExit = [this](QObject *) { log << "exit " + edit->text(); };
        window.resize(200, 80);
        (void)showActive(window);
        // The field starts without the focus; the tests give it when they need it.
        other->setFocus();
        log.clear();
    }
    MyValueSpin::TTimerSpeedButton *arrow(bool up) const
    {
        return up ? edit->ArrowButtons->UpBtn : edit->ArrowButtons->DownBtn;
    }
    void clickArrow(bool up) const { QTest::mouseClick(arrow(up), Qt::LeftButton, {}, arrow(up)->rect().center()); }
};
