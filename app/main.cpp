#include "kvl_update.h"

#include <QApplication>
#include <QMessageBox>
#include <exception>

int main(int argc, char **argv)
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("QTX_MOVA_Update"));
    QApplication::setApplicationVersion(QStringLiteral(QTX_APP_VERSION));
    try {
        TKVLUpdate window(QApplication::arguments());
        // For a quick look with a small image, or a vendor's trial of a new one: the
        // payloads from files instead of those carried.
        if (const QByteArray firmware = qgetenv("QTX_MOVA_FIRMWARE"); !firmware.isEmpty())
            window.payloads.firmware = firmware.toStdString();
        if (const QByteArray table = qgetenv("QTX_MOVA_TABLE"); !table.isEmpty())
            window.payloads.table = table.toStdString();
        window.show();
        application.exec();
    } catch (const std::exception &e) {
        QMessageBox::critical(nullptr, QApplication::applicationName(), QString::fromLocal8Bit(e.what()));
    } catch (...) {
        QMessageBox::critical(nullptr, QApplication::applicationName(), QString());
    }
    return 0;
}
