#include "application.h"
#include "kvl_update.h"
#include "output_writer.h"
#include "file_writer.h"
#include "standard_descriptors.h"
#include "stop_signals.h"

#include <QMessageBox>
#include <csignal>
#include <exception>

int main(int argc, char **argv)
{
    const FileWriter::DrainAtEnd filesWritten; // the runs' records and traces, before the program's end
    keepStandardDescriptorsOpen();
    OutputWriter::install(); // the verify pass's lines never hold the device's clock
    TApplication application(argc, argv);
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
        // Ctrl-C or a stop from the system is a close request: refused while the device is
        // written, as the window's own close is.
        StopSignals stopSignals({SIGINT, SIGTERM}, [&window](int number) { window.closeOnSignal(number); });
        window.show();
        application.exec();
    } catch (const std::exception &e) {
        QMessageBox::critical(nullptr, QApplication::applicationName(), QString::fromLocal8Bit(e.what()));
    } catch (...) {
        QMessageBox::critical(nullptr, QApplication::applicationName(), QString());
    }
    return 0;
}
