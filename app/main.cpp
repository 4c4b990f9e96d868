#include "kvl_update.h"

#include <QApplication>
#include <QMessageBox>
#include <exception>

int main(int argc, char **argv)
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("QTX_MOVA_Update"));
    QApplication::setApplicationVersion(QStringLiteral(QTX_APP_VERSION));
    QApplication::setApplicationDisplayName(QStringLiteral("Corvane MOVA Firmware update"));
    try {
        TKVLUpdate window(QApplication::arguments());
        window.show();
        application.exec();
    } catch (const std::exception &e) {
        QMessageBox::critical(nullptr, QApplication::applicationName(), QString::fromLocal8Bit(e.what()));
    } catch (...) {
        QMessageBox::critical(nullptr, QApplication::applicationName(), QString());
    }
    return 0;
}
