#pragma once
#include "batch_report.h"

#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>
#include <map>
#include <string>
#include <vector>

class QCheckBox;
class QLabel;
class FitLabel;
class QPushButton;

// What the devices came to since the station started, each device by its last update (as
// the batch's summary counts them), across every batch the station ran.
struct StationCounts {
    int devices = 0, updated = 0, failed = 0, retried = 0;
    int current = 0; // already current: a success apart from updated (nothing was written)
    int aside = 0;   // put aside for a person's decision: neither a success nor a failure
    void add(const ReportRow &row);

private:
    struct Seen {
        bool updated = false, current = false, aside = false;
        int times = 0;
    };
    std::map<std::string, Seen> bySerial_; // a device without a serial is a device of its own
    int unnamed_ = 0;
};

// The station's head: the counts, the yield and the pace, how long it runs, where the report
// goes and what the guards are set to; and the buttons that stop it, start it and name its
// sockets.
class StationHeader : public QWidget {
    Q_OBJECT
public:
    StationHeader(const std::string &report, bool batteryGuard, bool askBeforeRecording, bool sound,
                  QWidget *parent = nullptr);

    void add(const ReportRow &row);
    const StationCounts &counts() const { return counts_; }
    bool sound() const;
    // The batch runs, stops after the devices being written, or has stopped.
    void running();
    void stopping();
    void stopped(const QString &why);
    void say(const QString &text);

    QPushButton *stopButton() const { return stop_; }
    QPushButton *startButton() const { return start_; }
    QPushButton *nameButton() const { return name_; }

signals:
    // The operator switched the sound on a failure on or off.
    void soundSwitched(bool on);

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void tick();
    void showCounts();
    void fitFonts();

    StationCounts counts_;
    std::vector<int64_t> ends_; // when each update ended, since the station started
    QLabel *updated_, *failed_, *aside_, *retried_, *yield_, *pace_, *clock_;
    FitLabel *status_; // two lines at most: a longer text ends in an ellipsis, whole in its tooltip
    QCheckBox *sound_;
    QPushButton *stop_, *start_, *name_;
    QElapsedTimer since_;
    QTimer tick_;
};
