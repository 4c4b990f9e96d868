#include "support_report.h"
#include "device_listing.h"
#include "run_history.h"
#include "run_store.h"
#include "support_bundle.h"
#include "file_writer.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <iostream>

std::function<QString(QWidget *parent, const QString &suggested)> chooseReportFile =
    [](QWidget *parent, const QString &suggested) {
        return QFileDialog::getSaveFileName(parent, QStringLiteral("Save a report"), suggested,
                                            QStringLiteral("Support bundle (*.tar.gz)"));
    };

void offerReport(QMessageBox &box, const RunStore &store, int expectedHardwareVersion, const std::string &serial)
{
    // The box's own answer stays OK, whether by its button, Enter or Escape.
    box.setDefaultButton(QMessageBox::Ok);
    box.setEscapeButton(QMessageBox::Ok);
    QPushButton *save = box.addButton(QString::fromUtf8("Save a report\u2026"), QMessageBox::ActionRole);
    // A button of the box would close it: this one only asks for the file and writes it.
    QObject::disconnect(save, &QAbstractButton::clicked, nullptr, nullptr);
    QObject::connect(save, &QAbstractButton::clicked, &box, [&box, save, &store, expectedHardwareVersion, serial] {
        const QString suggested = QDir::home().filePath(QString::fromStdString(
            supportBundleName(serial, QDateTime::currentSecsSinceEpoch())));
        const QString name = chooseReportFile(&box, suggested);
        if (name.isEmpty())
            return;
        const std::string path = QFile::encodeName(name).toStdString();
        FileWriter::drain(); // the run's record, which the writer's thread may still be writing
        SupportBundle bundle;
        std::string error;
        if (!writeSupportBundle(path, store, DefaultLogRuns, usbListText(expectedHardwareVersion), bundle, error)) {
            QMessageBox::warning(&box, QApplication::applicationName(),
                                 QStringLiteral("The report could not be saved:\n%1").arg(QFile::decodeName(error.c_str())));
            return;
        }
        std::cerr << QApplication::applicationName().toStdString() << ": report saved in " << path << ": "
                  << bundle.summary() << std::endl;
        save->setEnabled(false);
        const QString where = QStringLiteral("The report is saved in %1: %2.").arg(name, QString::fromStdString(bundle.summary()));
        box.setInformativeText(box.informativeText().isEmpty() ? where : box.informativeText() + QStringLiteral("\n\n") + where);
    });
}
