#pragma once
#include "build_settings.h"
#include "monitor_screen.h"
#include "run_record.h"
#include "run_events.h"
#include "session.h"
#include "update_run.h"

#include <QWidget>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class Clock;
class QLabel;
class QPushButton;
class QTimer;
class UsbConnection;

// The main window: finds the device by itself, shows who it is and its battery, and runs
// the update behind its one button. It is the screen of the monitoring and shows the run.
class TKVLUpdate : public QWidget, public MonitorScreen, public RunScreen {
    Q_OBJECT
public:
    // arguments: the program name first; the next one, if any, is a device path that
    // replaces discovery on the tty road. Further ones are ignored.
    explicit TKVLUpdate(const QStringList &arguments, QWidget *parent = nullptr);
    // For tests: the clock, the link and the build's texts are given.
    TKVLUpdate(const QStringList &arguments, Clock &clock, std::unique_ptr<UsbConnection> link,
               const BuildSettings &settings, QWidget *parent = nullptr);
    ~TKVLUpdate() override;

    // Visible controls and the timer.
    QPushButton *UpdateButton = nullptr;
    QLabel *GeraetLabel = nullptr;
    QLabel *AccuLabel = nullptr;
    // Beside the button: why it stays disabled for the device shown (empty while it may update).
    QLabel *RefusalLabel = nullptr;
    QTimer *AccuTimer = nullptr;

    UsbConnection *link() const { return link_.get(); }
    Session &session() { return session_; }
    DeviceRecord &deviceRecord() { return session_.record; }
    int expectedHardwareVersion() const { return session_.expectedHardwareVersion; }
    const std::string &portPath() const { return session_.portPath; }
    const std::string &portPathOverride() const { return session_.portPathOverride; }
    bool updateRunning() const { return session_.updateRunning; }
    void setUpdateRunning(bool running) { session_.updateRunning = running; }
    Clock &clock() { return clock_; }
    // Where the run takes its payloads from (the carried ones unless a test says otherwise).
    Payloads payloads;

    // Whether the window may close now; with the link open it first tells the device
    // that the program leaves it.
    bool FormClose();
    // A stop signal asks the window to close; while the device is written it stays open and
    // says so on standard error.
    void closeOnSignal(int signalNumber);

public slots:
    void AccuTimerTimer();
    void UpdateButtonClick();

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void buildForm();

    // MonitorScreen
    void showDeviceLine(const std::string &text) override;
    void showBattery(const std::string &text, std::optional<Charge> charge) override;
    void clearBattery() override;
    void setUpdateEnabled(bool enabled) override;
    void showUpdateRefusal(const UpdateRefusal &refusal) override;
    void setBusy(bool busy) override;
    bool askToConnect(const std::string &text) override;
    void endProgram() override;
    void schedulePoll(int intervalMs, bool enabled) override;
    // RunScreen: the run's questions, and what it tells shown as the window shows it.
    // A device that has the carried firmware already, or a newer one, is written only when the
    // operator says OK to that first; Cancel, the default, leaves it untouched.
    Answer confirmFirmwareAge(FirmwareAge age, const DeviceRecord &device) override;
    Answer confirm(const std::string &caption, const std::string &text) override;
    Answer confirmLowBattery(int percent) override;
    void holding(bool on) override;
    void writing(bool on) override;
    void stage(ProgressStage stage, const std::string &caption) override;
    void progress(int percent) override;
    // A failure's box says what it means and where the run's record is kept.
    void message(const RunMessage &m) override;
    void showMessage(const RunMessage &m, const std::string &serial);
    void released() override { AccuTimerTimer(); }
    // The device is updated: the program ends.
    void result(const RunEnd &end) override;

    Clock &clock_;
    std::unique_ptr<UsbConnection> link_;
    Session session_;
    bool busy_ = false;
    std::string openHintShown_;
    bool centred_ = false;
    RunStore store_ = RunStore::standard("QTX_MOVA_Update"); // every run's record, for the window's life
    // While a click's run goes on, its failure box (and every box after it) waits for the run's
    // end, with the serial of the device it is about; so does the window's close.
    bool inClick_ = false;
    std::vector<std::pair<RunMessage, std::string>> heldBoxes_;
    bool closeWhenShown_ = false;
};

// The program-wide pointer to the main window, set while it exists.
extern TKVLUpdate *KVLUpdate;
