#include "application.h"
#include "abort.h"

#include <QMessageBox>
#include <exception>

bool TApplication::notify(QObject *receiver, QEvent *event)
{
    QString text;
    try {
        return QApplication::notify(receiver, event);
    } catch (const Abort &) {
        return false;
    } catch (const std::exception &error) {
        text = QString::fromLocal8Bit(error.what());
    } catch (...) {
        // Nothing to say about it but that it happened: the box stays empty.
    }
    QMessageBox::critical(activeWindow(), applicationName(), text);
    return false;
}
