#include "application.h"
#include "build_settings.h"
#include "kvl_update.h"
#include "output_writer.h"
#include "file_writer.h"
#include "standard_descriptors.h"
#include "stop_signals.h"

#include <QMessageBox>
#include <csignal>
#include <cstring>
#include <exception>
#include <iostream>

namespace {

const char *Usage = R"(usage: QTX_MOVA_Update [DEVICE_PATH]
  Opens the window that finds the recording device by itself, shows it and its battery, and
  on a press of "Update" installs the firmware and the translation table this program carries.
  DEVICE_PATH   the device's terminal to open instead of looking for it by its USB id (on the
                device's own USB serial interface; the docking station is always found)
  --help, -h    this text
  --version     the program's version, the carried firmware and the build's hardware version
environment: QTX_MOVA_FIRMWARE, QTX_MOVA_TABLE (files to update from instead of the carried
  ones), QTX_MOVA_TRACE=1, QTX_MOVA_USB_ID=vvvv:pppp, QTX_MOVA_NO_RECORD=1 (man QTX_MOVA_Update)
the same update without a window: mova-update
)";

// Help and the version are answered before the window's application is made: they need no
// display, and a terminal without one must still get them. -1 when the window is to open.
int answeredWithoutWindow(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::cout << Usage << std::flush;
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            const BuildSettings build = BuildSettings::compiled();
            std::cout << "QTX_MOVA_Update " QTX_APP_VERSION "\ncarried firmware  " << build.firmwareName
                      << "\nhardware version  " << build.expectedHardwareVersion() << std::endl;
            return 0;
        }
    }
    return -1;
}

} // namespace

int main(int argc, char **argv)
{
    if (const int status = answeredWithoutWindow(argc, argv); status >= 0)
        return status;
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
