#pragma once
#include <QString>
#include <functional>

class QMessageBox;
class QWidget;
struct RunStore;

// Asks the operator where a report goes, `suggested` first: the file dialog, or a test's own
// answer. An empty name means the operator thought better of it.
extern std::function<QString(QWidget *parent, const QString &suggested)> chooseReportFile;

// The failure box gets one button more, "Save a report…", beside its own. Pressing it asks
// for a file (in the home folder, named for this moment) and keeps the answer in `chosen`;
// the box stays open and is answered as before. The report is written once the run has
// ended (saveChosenReport), so that it holds the record of the run that failed.
void offerReport(QMessageBox &box, QString &chosen);

// Writes the support bundle the operator chose during the run, as `mova-update log --export`
// does; says in a box when it could not be written. Nothing when none was chosen.
void saveChosenReport(QWidget *parent, const RunStore &store, int expectedHardwareVersion, QString &chosen);
