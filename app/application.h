#pragma once
#include <QApplication>

// The program's application object. An exception that escapes an event handler is shown in
// a message box and the event loop goes on; a failure of the run's own kind (Abort) has been
// shown already and passes silently.
class TApplication : public QApplication {
public:
    using QApplication::QApplication;
    bool notify(QObject *receiver, QEvent *event) override;
};
