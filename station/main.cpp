#include "file_writer.h"
#include "standard_descriptors.h"
#include "station_settings.h"
#include "station_window.h"
#include "stop_signals.h"

#include <QApplication>
#include <QScreen>
#include <csignal>
#include <iostream>

int main(int argc, char **argv)
{
    const FileWriter::DrainAtEnd filesWritten; // the runs' records and traces, before the program's end
    keepStandardDescriptorsOpen(); // the workers' pipes never take the place of a closed one
    // --help and a wrong option are answered without a display.
    StationSettings settings;
    settings.load(StationSettings::standardFile());
    std::string error;
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    switch (parseStationArguments(arguments, settings, error)) {
    case StationCommand::Help:
        std::cout << StationUsage;
        return 0;
    case StationCommand::Failed:
        std::cerr << "qtx-mova-station: " << error << "\n" << StationUsage;
        return 1;
    case StationCommand::Run:
        break;
    }
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("qtx-mova-station"));
    QApplication::setApplicationVersion(QStringLiteral(QTX_APP_VERSION));
    settings.workerProgram = findWorkerProgram(QApplication::applicationDirPath().toStdString());
    StationWindow window(settings);
    // A stop from the system or Ctrl-C is a close request: refused while a device is written,
    // as the window's own close is.
    StopSignals stopSignals({SIGINT, SIGTERM}, [&window](int number) { window.closeOnSignal(number); });
    // A station's screen is the station's: the tiles take all of it.
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        window.resize(screen->availableGeometry().size());
    window.showMaximized();
    window.start();
    application.exec();
    return window.exitStatus();
}
