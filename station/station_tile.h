#pragma once
#include "batch_report.h"
#include "batch_view.h"
#include "fit_label.h"

#include <QFrame>
#include <QLabel>
#include <QString>
#include <QTimer>
#include <optional>
#include <utility>
#include <string>

class QProgressBar;
class QPushButton;

// What a socket's tile says in its large word, read from a metre away: each with a word, a
// symbol and a colour, so that none rests on colour alone.
enum class TileState {
    Empty,                // no device yet (or it was taken out)
    Working,              // a device is being updated
    Updated,              // its firmware is confirmed and its table taken
    AlreadyCurrent,       // it had the carried firmware already: left as it was, a success
    Failed,               // it failed and was left as it was before (or with its new firmware)
    MayBeWithoutFirmware, // it failed while it was written: it may not start again
    NotWritten,           // not written at all: the station stopped before its turn
    PutAside,             // nothing is wrong with it: it waits for a person's decision
};

// One socket of the station: its name, the device in it (serial, firmware before → after),
// how far its update is, and what it came to.
class StationTile : public QFrame {
    Q_OBJECT
public:
    StationTile(const QString &name, const std::string &port, QWidget *parent = nullptr);

    QString socketName() const { return name_->text(); }
    const std::string &port() const { return port_; }
    void setName(const QString &name);
    void setPort(const std::string &port) { port_ = port; }

    TileState state() const { return state_; }
    // The large word: "UPDATED", "FAILED", "MAY BE WITHOUT FIRMWARE", "EMPTY", ...
    QString resultWord() const;
    QString serial() const { return serial_; }
    QString firmwareText() const; // "FW 67 → 68"
    const QString &message() const { return message_; }
    const QString &explanation() const { return explanation_; }

    // What a line of the worker of the run `run` in this socket told, besides where the worker
    // stands (`w`). A run is one worker process: the key never comes again, in this batch or a
    // later one.
    struct News {
        bool planned = false;        // who the device is: `w`'s serial, and its firmware
        std::optional<int> firmware; // with the plan, the firmware it has; else the firmware after
        std::optional<int> battery;  // with the plan, its battery
        std::optional<std::pair<std::string, std::string>> failure; // a failure, and its explanation
    };
    void said(const std::string &run, const WorkerShown &w, const News &news);
    // The device's update ended with this row.
    void ended(const ReportRow &row);
    // The batch left the device of the socket's latest run as it is (back after its update, or
    // the station stopped before its turn).
    void leftAlone(bool stopping);
    // Whether the socket's port has a device now; nothing when it cannot be told.
    void setPresent(bool present);
    // What the device last taken out of the socket ended as, shown small on the empty tile.
    const QString &lastResult() const { return last_; }

signals:
    void saveReportAsked();

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void begin(const std::string &run);
    void showState(TileState state);
    void showDetails();
    void showProgress(bool now);
    int fittingBase() const;
    void fitTexts();
    void explain();

    QLabel *name_, *device_, *battery_, *stage_, *left_, *result_;
    FitLabel *detail_;
    QProgressBar *bar_;
    QPushButton *explainButton_, *saveButton_;
    struct Progress {
        QString stage, left;
        int percent = 0;
    } progress_;     // what the stage, the time left and the bar say, drawn at most so often
    QTimer repaint_; // runs while progress_ is not drawn yet
    std::string port_;
    TileState state_ = TileState::Empty;
    bool present_ = true;
    std::string run_;   // the run whose device the tile shows; empty: none
    std::string latest_; // the latest run in the socket: it may be the same device, back
    struct Plan {
        QString serial;
        std::optional<int> before, battery;
    } plan_; // who the device of the latest run is, taken once it is told to go
    QString serial_, message_, explanation_;
    QString last_; // what the device taken out ended as
    std::optional<int> before_, after_, batteryPercent_;
};

// The large word of each state.
QString tileWord(TileState state);
// A device's battery as its tile shows it ("Battery 15 %"; nothing before a reading), and whether
// it is shown red: below the battery guard's threshold, whether the guard is on or not.
struct BatteryShown {
    QString text;
    bool low = false;
};
BatteryShown batteryShown(std::optional<int> percent);
// What a device's tile says it came to, from its run's outcome.
TileState tileStateOf(Outcome outcome, bool mayBeWithoutFirmware, bool firmwareNewer);
