#pragma once
#include <QString>
#include <functional>
#include <string>

class QMessageBox;
class QWidget;
struct RunStore;

// Asks the operator where a report goes, `suggested` first: the file dialog, or a test's own
// answer. An empty name means the operator thought better of it.
extern std::function<QString(QWidget *parent, const QString &suggested)> chooseReportFile;

// The failure box gets one button more, "Save a report…", beside its own. Pressing it asks
// for a file (in the home folder, named for the device `serial` and this moment, as the station
// names it) and writes the support bundle there at once, as `mova-update log --export` does;
// the box stays open, is answered as before, and says where the report went (or, in a box of
// its own, why it could not be written, the button left to try another place). The window
// shows a failure's box once the run has ended, so that the report holds the run that failed.
void offerReport(QMessageBox &box, const RunStore &store, int expectedHardwareVersion, const std::string &serial);
