#pragma once
#include "batch.h"
#include "station_settings.h"

#include <QTimer>
#include <QWidget>
#include <memory>
#include <mutex>
#include <vector>

class QGridLayout;
class QScrollArea;
class StationHeader;
class StationTile;

// The station: a tile for each socket, in the sockets' order, and the batch that updates each
// device plugged into one, as `mova-update --repeat` does on the command line. It runs in the
// window's event loop; the window is the batch's view.
// How many columns the tiles of `tiles` sockets take in a window's area of this size.
int tileColumns(int tiles, QSize area);

class StationWindow : public QWidget, private BatchView {
    Q_OBJECT
public:
    explicit StationWindow(StationSettings settings, QWidget *parent = nullptr);
    ~StationWindow() override;

    // Starts a batch with the settings and the sockets' names as they are now; false when it
    // cannot (the reason is shown, and said on standard error).
    bool start();
    // No further device is started; the devices being written are finished.
    void stopAfterWriting();
    // No batch runs.
    bool over() const { return over_; }
    // The last batch's exit status, as mova-update's.
    int exitStatus() const { return status_; }
    const std::vector<StationTile *> &tiles() const { return tiles_; }
    StationHeader *header() const { return header_; }
    // A stop signal asks what closing the window asks.
    void closeOnSignal(int number);

signals:
    void batchEnded(int status);
    // The batch looked at its sockets and has nothing to start: it waits for the next device.
    void waitingForDevices();

protected:
    void closeEvent(QCloseEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void started(const std::string &, bool) override {}
    void error(const std::string &text) override;
    std::unique_ptr<WorkerListener> worker() override;
    void skipped(const WorkerShown &w) override;
    void reported(const ReportRow &row) override;
    void waiting() override { emit waitingForDevices(); }
    void summary(const BatchSummary &s) override;

    StationTile *tileFor(const std::string &socket, const std::string &port);
    void makeTiles(const BatchOptions &options);
    void placeTiles();
    void batchOver();
    void refuseWhileWriting(const QString &what);
    void nameSocketsAsked();
    void nameSockets();
    void saveReport(const StationTile &tile);
    void lookAtPorts();
    void keepSound(bool on);

    StationSettings settings_;
    std::unique_ptr<Batch> batch_;
    StationHeader *header_;
    QScrollArea *scroll_;
    QWidget *grid_;
    QGridLayout *gridLayout_ = nullptr;
    std::vector<StationTile *> tiles_;
    int columns_ = 0, placed_ = -1;
    bool over_ = true, closeWhenOver_ = false, nameWhenOver_ = false;
    int status_ = 0;
    int rows_ = 0; // report rows since the station started
    QTimer presence_;
    std::map<std::string, PortHold> held_; // the devices the last batch left in their sockets
    // Where the writer's thread tells what became of a setting kept: the window, while it is there.
    struct Told {
        std::mutex lock;
        StationWindow *window = nullptr;
    };
    std::shared_ptr<Told> told_ = std::make_shared<Told>();
};
