#include "station_window.h"
#include "alert_sound.h"
#include "build_settings.h"
#include "device_listing.h"
#include "file_writer.h"
#include "run_record.h"
#include "safe_text.h"
#include "socket_naming.h"
#include "station_header.h"
#include "station_tile.h"
#include "support_bundle.h"

#include <QCloseEvent>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>
#include <algorithm>
#include <cstring>
#include <iostream>
#include <utility>

namespace {

constexpr int MinTileWidth = 230;
constexpr int MinTileHeight = 170;
constexpr int MostRunsInReport = 64;

const char *const WritingRefusal = "A device is being written: closing now could leave it without working firmware. "
                                   "Stop after the devices being written, then close.";

} // namespace

StationWindow::StationWindow(StationSettings settings, QWidget *parent)
    : QWidget(parent), settings_(std::move(settings)),
      header_(new StationHeader(settings_.report, settings_.batteryGuard, settings_.askBeforeRecording,
                                settings_.sound)),
      scroll_(new QScrollArea), grid_(new QWidget)
{
    setWindowTitle("QTX MOVA Station");
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(header_);
    scroll_->setWidget(grid_);
    scroll_->setWidgetResizable(true);
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    column->addWidget(scroll_, 1);
    connect(header_->stopButton(), &QPushButton::clicked, this, &StationWindow::stopAfterWriting);
    connect(header_->startButton(), &QPushButton::clicked, this, &StationWindow::start);
    connect(header_->nameButton(), &QPushButton::clicked, this, &StationWindow::nameSocketsAsked);
    connect(header_, &StationHeader::soundSwitched, this, &StationWindow::keepSound);
    connect(&presence_, &QTimer::timeout, this, &StationWindow::lookAtPorts);
    presence_.start(1000);
    told_->window = this;
}

StationWindow::~StationWindow()
{
    const std::lock_guard<std::mutex> hold(told_->lock); // no word of the writer's comes to a window gone
    told_->window = nullptr;
}

// The sound switch as the operator left it, in station.conf for the next start: written on the
// writer's thread, so that a stalled disk holds nothing here. A refused file is not written over.
void StationWindow::keepSound(bool on)
{
    settings_.sound = on;
    if (!settings_.refused.empty()) {
        header_->say(QString("The sound stays %1 for this run only: the settings file was refused.").arg(on ? "on" : "off"));
        return;
    }
    FileWriter::post([told = told_, on, file = StationSettings::standardFile()] {
        std::string why;
        if (keepSetting(file, "sound", on ? "on" : "off", why))
            return;
        const std::lock_guard<std::mutex> hold(told->lock);
        if (StationWindow *window = told->window)
            QMetaObject::invokeMethod(window, [window, on, why] {
                window->header_->say(QString("The sound stays %1 for this run only: %2")
                                         .arg(on ? "on" : "off", QString::fromStdString(shownText(why))));
            }, Qt::QueuedConnection);
    });
}

bool StationWindow::start()
{
    BatchOptions options;
    std::string why;
    if (!settings_.batchOptions(options, why)) {
        error("qtx-mova-station: " + why);
        header_->stopped(QString::fromStdString(why));
        return false;
    }
    makeTiles(options);
    options.held = held_; // a device the last batch left in its socket stays as it is
    batch_.reset();
    batch_ = std::make_unique<Batch>(options, static_cast<BatchView &>(*this));
    over_ = false;
    header_->running();
    if (const std::optional<int> cannot = batch_->start([this] { batchOver(); })) {
        over_ = true;
        status_ = *cannot;
        header_->stopped("The batch could not start.");
        emit batchEnded(status_);
        if (settings_.quitAtEnd)
            QTimer::singleShot(0, this, &QWidget::close);
        return false;
    }
    return true;
}

// The sockets' tiles in their order: the given ports', or the named sockets' before the
// devices found (those get theirs as they come).
void StationWindow::makeTiles(const BatchOptions &options)
{
    if (options.ports.empty()) { // names may have changed: the tiles follow them
        for (StationTile *tile : tiles_)
            delete tile;
        tiles_.clear();
        for (const SocketName &socket : options.sockets.all())
            tileFor(socket.name, {});
    }
    for (const std::string &port : options.ports)
        tileFor(options.sockets.nameOf(port), port);
    placeTiles();
}

StationTile *StationWindow::tileFor(const std::string &socket, const std::string &port)
{
    const QString name = QString::fromStdString(shownText(socket));
    for (StationTile *tile : tiles_)
        if (!port.empty() && tile->port() == port) {
            tile->setName(name);
            return tile;
        }
    for (StationTile *tile : tiles_)
        if (tile->socketName() == name) {
            if (!port.empty())
                tile->setPort(port);
            return tile;
        }
    auto *tile = new StationTile(name, port, grid_);
    connect(tile, &StationTile::saveReportAsked, this, [this, tile] { saveReport(*tile); });
    tiles_.push_back(tile);
    placeTiles();
    return tile;
}

// As many columns as make the tiles largest while each stays at least its smallest width;
// rows that do not fit the window scroll.
int tileColumns(int tiles, QSize area)
{
    int best = 1;
    double bestSide = -1;
    for (int c = 1; c <= std::max(1, tiles); ++c) {
        const double w = double(area.width()) / c;
        if (c > 1 && w < MinTileWidth)
            break;
        const int rows = (tiles + c - 1) / c;
        const double h = std::max(double(area.height()) / std::max(1, rows), double(MinTileHeight));
        // Among tiles as large, the most columns: fewer rows to scroll through.
        if (const double side = std::min(w, h); side > bestSide - 0.5)
            best = c, bestSide = std::max(side, bestSide);
    }
    return best;
}

void StationWindow::placeTiles()
{
    const int n = int(tiles_.size());
    const int best = tileColumns(n, scroll_->viewport()->size());
    if (best == columns_ && placed_ == n)
        return;
    columns_ = best;
    placed_ = n;
    delete gridLayout_; // the tiles stay the grid's children
    gridLayout_ = new QGridLayout(grid_);
    gridLayout_->setContentsMargins(6, 6, 6, 6);
    gridLayout_->setSpacing(6);
    for (int i = 0; i < n; ++i)
        gridLayout_->addWidget(tiles_[size_t(i)], i / best, i % best);
    for (int c = 0; c < best; ++c)
        gridLayout_->setColumnStretch(c, 1);
    for (int r = 0; r < (n + best - 1) / best; ++r)
        gridLayout_->setRowStretch(r, 1);
}

void StationWindow::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    placed_ = -1;
    placeTiles();
}

void StationWindow::error(const std::string &text)
{
    std::cerr << text << std::endl;
    QString shown = QString::fromStdString(shownText(text));
    shown.remove(QRegularExpression("^mova-update: "));
    header_->say(shown);
}

// A worker's lines to its socket's tile, one line's news at a time.
std::unique_ptr<WorkerListener> StationWindow::worker()
{
    class ToTile final : public WorkerListener {
    public:
        explicit ToTile(StationWindow &window) : window_(window) {}
        void device(const DeviceFacts &d) override
        {
            news_.firmware = d.record.firmwareVersion;
            news_.battery = d.batteryPercent;
        }
        void plan(const RunPlan &) override { news_.planned = true; }
        void after(const DeviceFacts &d) override { news_.firmware = d.record.firmwareVersion; }
        void explained(const RunMessage &m, const std::string &explanation) override
        {
            if (m.failure())
                news_.failure = {m.text, explanation};
        }
        void heard() override
        {
            // Keyed by the worker's run, never its number, which counts again from 0 in every batch.
            window_.tileFor(now.socket, now.port)->said(now.run, now, std::exchange(news_, {}));
        }

    private:
        StationWindow &window_;
        StationTile::News news_;
    };
    return std::make_unique<ToTile>(*this);
}

void StationWindow::skipped(const WorkerShown &w)
{
    tileFor(w.socket, w.port)->leftAlone(batch_->stopping());
}

void StationWindow::reported(const ReportRow &row)
{
    ++rows_;
    header_->add(row);
    StationTile *tile = tileFor(row.socket, row.port);
    tile->ended(row);
    // The operator is called to a device that needs a hand: not to one the station stopped.
    if (needsAHand(row.outcome, row.mayBeWithoutFirmware, row.firmwareNewer) && header_->sound())
        MyValueSpin::AlertSound();
}

void StationWindow::summary(const BatchSummary &s)
{
    const QString current = s.alreadyCurrent > 0 ? QString("%1 already current, ").arg(s.alreadyCurrent) : QString();
    const QString aside = s.putAside > 0 ? QString(", %1 put aside").arg(s.putAside) : QString();
    header_->stopped(QString("%1 device%2 in this batch: %3 updated, %4%5 failed%6.")
                         .arg(s.devices)
                         .arg(s.devices == 1 ? "" : "s")
                         .arg(s.updated)
                         .arg(current)
                         .arg(s.failed)
                         .arg(aside));
}

void StationWindow::stopAfterWriting()
{
    if (!batch_ || over_)
        return;
    header_->stopping();
    batch_->stopAfterWriting();
}

void StationWindow::batchOver()
{
    status_ = batch_->finish();
    held_ = batch_->stillHeld();
    over_ = true;
    emit batchEnded(status_);
    if (closeWhenOver_ || settings_.quitAtEnd) {
        close();
    } else if (nameWhenOver_) {
        nameWhenOver_ = false;
        QTimer::singleShot(0, this, &StationWindow::nameSockets); // out of the batch's own call
    }
}

void StationWindow::refuseWhileWriting(const QString &text)
{
    auto *box = new QMessageBox(QMessageBox::Warning, windowTitle(), text, QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open(); // the batch goes on while the box is shown
}

void StationWindow::closeEvent(QCloseEvent *event)
{
    if (over_) {
        event->accept();
        return;
    }
    event->ignore();
    if (batch_->writing()) {
        refuseWhileWriting(WritingRefusal);
        return;
    }
    closeWhenOver_ = true; // nothing is written: the batch stops, and the window closes once it is over
    stopAfterWriting();
}

void StationWindow::closeOnSignal(int number)
{
    if (!close() && !over_ && batch_->writing())
        std::cerr << "qtx-mova-station: " << ::strsignal(number) << ": " << WritingRefusal << std::endl;
}

void StationWindow::nameSocketsAsked()
{
    if (!over_ && batch_->writing()) {
        refuseWhileWriting("A device is being written: the sockets can be named once no device is written. "
                           "Stop after the devices being written first.");
        return;
    }
    if (!over_) {
        nameWhenOver_ = true;
        stopAfterWriting();
        return;
    }
    nameSockets();
}

void StationWindow::nameSockets()
{
    SocketNaming naming(settings_.ports, settings_.labels, this);
    naming.exec();
    // Closed meanwhile (a stop signal), the station is over: a batch started now would outlive it.
    if (isVisible())
        start(); // with the names as they are now
}

void StationWindow::saveReport(const StationTile &tile)
{
    const QString who = tile.serial().isEmpty() ? tile.socketName() : tile.serial();
    // Named as the main window names its report: the device, then the moment.
    const QString suggested =
        QString::fromStdString(supportBundleName(who.toStdString(), QDateTime::currentSecsSinceEpoch()));
    const QString path = QFileDialog::getSaveFileName(this, "Save a report", QDir::home().filePath(suggested),
                                                      "Support bundle (*.tar.gz)");
    if (path.isEmpty())
        return;
    const RunStore store = RunStore::standard("mova-update", {}); // where the workers keep their runs
    SupportBundle bundle;
    std::string why;
    const int runs = std::clamp(rows_, 1, MostRunsInReport);
    if (!writeSupportBundle(QFile::encodeName(path).toStdString(), store, runs,
                            usbListText(BuildSettings::compiled().expectedHardwareVersion()), bundle, why)) {
        QMessageBox::warning(this, windowTitle(), "The report could not be saved:\n" + QString::fromStdString(why));
        return;
    }
    header_->say("Report saved in " + path + ": " + QString::fromStdString(bundle.summary()));
}

// Whether each socket has a device, for the tiles that wait for the next one.
void StationWindow::lookAtPorts()
{
    for (StationTile *tile : tiles_)
        if (!tile->port().empty())
            tile->setPresent(QFileInfo::exists(QString::fromStdString(tile->port())));
}
