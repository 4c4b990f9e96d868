#pragma once
#include "build_settings.h"
#include "device_record.h"

#include <QWidget>
#include <memory>
#include <string>

class Clock;
class QLabel;
class QPushButton;
class QTimer;
class UsbConnection;

// The main window: finds the device by itself, shows who it is and its battery, and runs
// the update behind its one button.
class TKVLUpdate : public QWidget {
    Q_OBJECT
public:
    // arguments: the program name first; the next one, if any, is a device path that
    // replaces discovery on the tty road. Further ones are ignored.
    explicit TKVLUpdate(const QStringList &arguments, QWidget *parent = nullptr);
    // For tests: the clock, the link and the build's texts are given.
    TKVLUpdate(const QStringList &arguments, Clock &clock, std::unique_ptr<UsbConnection> link,
               const BuildSettings &settings, QWidget *parent = nullptr);
    ~TKVLUpdate() override;

    // Visible controls and the timer, under the names the rest of the program uses.
    QPushButton *UpdateButton = nullptr;
    QLabel *GeraetLabel = nullptr;
    QLabel *AccuLabel = nullptr;
    QTimer *AccuTimer = nullptr;

    UsbConnection *link() const { return link_.get(); }
    DeviceRecord &deviceRecord() { return deviceRecord_; }
    int expectedHardwareVersion() const { return expectedHardwareVersion_; }
    const std::string &portPath() const { return portPath_; }
    void setPortPath(const std::string &path) { portPath_ = path; }
    const std::string &portPathOverride() const { return portPathOverride_; }
    bool updateRunning() const { return updateRunning_; }
    void setUpdateRunning(bool running) { updateRunning_ = running; }
    Clock &clock() { return clock_; }

    // Whether the window may close now; with the link open it first tells the device
    // that the program leaves it.
    bool FormClose();

public slots:
    void AccuTimerTimer();
    void UpdateButtonClick();

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void buildForm();

    Clock &clock_;
    std::unique_ptr<UsbConnection> link_;
    DeviceRecord deviceRecord_;
    int expectedHardwareVersion_ = 0;
    std::string portPath_;
    std::string portPathOverride_;
    bool updateRunning_ = false;
    bool centred_ = false;
};

// The program-wide pointer to the main window, set while it exists.
extern TKVLUpdate *KVLUpdate;
