#include "station_tile.h"
#include "battery.h"
#include "safe_text.h"

#include <QHBoxLayout>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QResizeEvent>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

namespace {

struct Look {
    const char *word, *symbol, *colour;
};

// Green, red and a dark magenta apart from both: a device that may not start again is not
// one that failed and was left as it was. Each also has its word and symbol.
Look lookOf(TileState state)
{
    switch (state) {
    case TileState::Empty:
        return {"EMPTY", "\u25CB", "#6b6b6b"};
    case TileState::Working:
        return {"UPDATING", "\u25B6", "#1f4e9c"};
    case TileState::Updated:
        return {"UPDATED", "\u2714", "#1b7a2e"};
    case TileState::AlreadyCurrent:
        return {"ALREADY CURRENT", "\u2714", "#1b6a5e"};
    case TileState::Failed:
        return {"FAILED", "\u2716", "#c21f1f"};
    case TileState::MayBeWithoutFirmware:
        return {"MAY BE WITHOUT FIRMWARE", "\u26A0", "#8e1a7e"};
    case TileState::NotWritten:
        return {"NOT WRITTEN", "\u2298", "#4a5a66"};
    case TileState::PutAside: // amber: not the red of a failure, yet a person is called to it
        return {"PUT ASIDE", "\u2691", "#9a5b00"};
    }
    return {"", "", "#000000"};
}

QString text(const std::string &s) { return QString::fromStdString(s); }

// An estimate of the time left: above a minute in tens of seconds, which is all it can say,
// so that the tiles are not drawn again every second for it.
long roughSeconds(double seconds)
{
    const long s = std::lround(seconds);
    return s > 60 ? (s + 5) / 10 * 10 : s;
}

constexpr int ProgressMs = 1000; // the time left counts in seconds: nothing is drawn more often

} // namespace

TileState tileStateOf(Outcome outcome, bool mayBeWithoutFirmware, bool firmwareNewer)
{
    switch (deviceEnd(outcome, mayBeWithoutFirmware, firmwareNewer)) {
    case DeviceEnd::PutAside: return TileState::PutAside;
    case DeviceEnd::Updated: return TileState::Updated;
    case DeviceEnd::AlreadyCurrent: return TileState::AlreadyCurrent;
    case DeviceEnd::NotWritten: return TileState::NotWritten;
    case DeviceEnd::Failed: return TileState::Failed;
    case DeviceEnd::MayBeWithoutFirmware: return TileState::MayBeWithoutFirmware;
    }
    return TileState::Failed;
}

QString tileWord(TileState state) { return QString::fromUtf8(lookOf(state).word); }

BatteryShown batteryShown(std::optional<int> percent)
{
    if (!percent)
        return {};
    return {"Battery " + QString::number(*percent) + " %", belowBatteryGuard(percent)};
}

StationTile::StationTile(const QString &name, const std::string &port, QWidget *parent)
    : QFrame(parent), name_(new QLabel(name)), device_(new QLabel), battery_(new QLabel), stage_(new QLabel),
      left_(new QLabel),
      result_(new QLabel), detail_(new FitLabel), bar_(new QProgressBar), explainButton_(new QPushButton("Explanation\u2026")),
      saveButton_(new QPushButton("Save a report\u2026")), port_(port)
{
    setFrameShape(QFrame::Box);
    setLineWidth(3);
    setMinimumSize(220, 170);
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(8, 6, 8, 6);
    column->setSpacing(3);
    name_->setTextFormat(Qt::PlainText);
    column->addWidget(name_);
    auto *device = new QHBoxLayout;
    device->addWidget(device_, 1);
    device->addWidget(battery_);
    column->addLayout(device);
    column->addWidget(stage_);
    auto *progress = new QHBoxLayout;
    bar_->setRange(0, 100);
    progress->addWidget(bar_, 1);
    progress->addWidget(left_);
    column->addLayout(progress);
    result_->setAlignment(Qt::AlignCenter);
    result_->setWordWrap(true);
    result_->setAutoFillBackground(true);
    column->addWidget(result_);
    detail_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    detail_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    column->addWidget(detail_, 1);
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(explainButton_);
    buttons->addWidget(saveButton_);
    column->addLayout(buttons);
    for (QLabel *label : {name_, device_, stage_}) // the battery keeps its width: it is never cut
        label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    connect(explainButton_, &QPushButton::clicked, this, &StationTile::explain);
    repaint_.setSingleShot(true);
    connect(&repaint_, &QTimer::timeout, this, [this] { showProgress(true); });
    connect(saveButton_, &QPushButton::clicked, this, &StationTile::saveReportAsked);
    showState(TileState::Empty);
}

QString StationTile::resultWord() const
{
    return tileWord(state_);
}

QString StationTile::firmwareText() const
{
    if (!before_)
        return {};
    return "FW " + QString::number(*before_) + (after_ ? " \u2192 " + QString::number(*after_) : QString());
}

// A run of its own in the socket: what the tile said of the device before goes.
void StationTile::begin(const std::string &run)
{
    run_ = run;
    serial_.clear();
    before_.reset();
    after_.reset();
    batteryPercent_.reset();
    message_.clear();
    explanation_.clear();
    last_.clear();
    if (run == latest_)
        serial_ = plan_.serial, before_ = plan_.before, batteryPercent_ = plan_.battery;
    progress_ = {};
    showProgress(true);
    showDetails();
}

void StationTile::said(const std::string &run, const WorkerShown &w, const News &news)
{
    if (run != latest_)
        latest_ = run, plan_ = {};
    if (news.planned)
        plan_ = {text(w.serial), news.firmware, news.battery};
    if (run != run_) {
        // Until it is told to go, the run may be the device just updated, back after its
        // restart, which the batch leaves alone: its result stays unless the device is another.
        const bool result = state_ != TileState::Empty && state_ != TileState::Working;
        const bool another = w.state != WorkerState::Identifying && plan_.serial != serial_;
        if (result && w.word != BatchWord::Go && !another)
            return;
        begin(run);
        showState(TileState::Working);
    }
    if (news.planned)
        serial_ = plan_.serial, before_ = plan_.before, batteryPercent_ = plan_.battery;
    else if (news.firmware)
        after_ = news.firmware;
    else if (news.failure)
        message_ = text(news.failure->first), explanation_ = text(news.failure->second);
    progress_.stage = w.state == WorkerState::Identifying ? QStringLiteral("Connecting\u2026")
                      : w.state == WorkerState::Waiting   ? QStringLiteral("waiting for the others")
                                                          : text(w.stage);
    progress_.percent = w.percent;
    progress_.left = !w.present ? QStringLiteral("device not present")
                     : w.left   ? "~" + QString::number(roughSeconds(*w.left)) + " s left"
                                : QString();
    showProgress(false);
    showDetails();
}

void StationTile::ended(const ReportRow &row)
{
    if (run_ != latest_) // the row is the latest run's, not the one the tile showed
        begin(latest_);
    serial_ = text(row.serial);
    before_ = row.firmwareBefore;
    after_ = row.firmwareAfter;
    batteryPercent_ = row.batteryPercent;
    message_ = text(shownText(row.message));
    progress_.left.clear();
    const TileState state = tileStateOf(row.outcome, row.mayBeWithoutFirmware, row.firmwareNewer);
    if (state == TileState::Updated)
        progress_.percent = 100;
    // A device put aside says why in the words of its reason, not of an exit status.
    progress_.stage = state == TileState::Updated    ? QStringLiteral("done")
                      : state == TileState::PutAside ? text(asideName(row.aside()))
                                                     : text(outcomeName(row.outcome));
    showProgress(true);
    showState(state);
    showDetails();
}

void StationTile::leftAlone(bool stopping)
{
    const QString why = stopping ? QStringLiteral("left as it is: the station stopped before its turn")
                                 : QStringLiteral("left as it is: it was updated just before");
    progress_.stage = why;
    showProgress(true);
    if (run_ != latest_) // the device the tile shows, back after its update: its result stands
        return;
    message_ = why;
    progress_.left.clear();
    showProgress(true);
    showState(TileState::NotWritten);
    showDetails();
}

// Said every second: a device taken out while its worker still ran leaves its socket once its
// result is in.
void StationTile::setPresent(bool present)
{
    const bool changed = present != present_;
    present_ = present;
    if (present || state_ == TileState::Working)
        return;
    if (changed) {
        progress_.stage = "taken out: plug in the next device";
        showProgress(true);
    }
    if (state_ == TileState::Empty)
        return;
    // An empty socket does not look like a device waiting: what the last one came to stays, small.
    QStringList last {"Last: " + QString::fromUtf8(lookOf(state_).symbol) + " " + resultWord()};
    if (!serial_.isEmpty())
        last << "S/N " + serial_;
    if (before_)
        last << firmwareText();
    const QString said = last.join(" \u00B7 ");
    begin({});
    last_ = said;
    progress_.stage = "taken out: plug in the next device";
    showProgress(true);
    showState(TileState::Empty);
    showDetails();
}

// A worker tells where it stands many times a second, 32 of them at once: its stage, its bar
// and the time left are drawn at most every ProgressMs, the way it stands then. A result is
// drawn at once.
void StationTile::showProgress(bool now)
{
    if (!now) {
        if (!repaint_.isActive())
            repaint_.start(ProgressMs);
        return;
    }
    repaint_.stop();
    stage_->setText(progress_.stage);
    left_->setText(progress_.left);
    bar_->setValue(progress_.percent);
}

void StationTile::showState(TileState state)
{
    state_ = state;
    const Look look = lookOf(state);
    result_->setText(QString::fromUtf8(look.symbol) + " " + QString::fromUtf8(look.word));
    result_->setStyleSheet(QString("QLabel { background: %1; color: white; border-radius: 4px; padding: 2px; }")
                               .arg(look.colour));
    setStyleSheet(QString("StationTile { border: 3px solid %1; }").arg(look.colour));
    const bool failed = state == TileState::Failed || state == TileState::MayBeWithoutFirmware ||
                        state == TileState::NotWritten;
    explainButton_->setVisible(failed || state == TileState::PutAside);
    saveButton_->setVisible(failed);
    bar_->setVisible(state == TileState::Working || state == TileState::Updated);
}

void StationTile::showDetails()
{
    QStringList device;
    if (!serial_.isEmpty())
        device << "S/N " + serial_;
    if (before_)
        device << firmwareText();
    device_->setText(device.join("   "));
    // Red under the guard's threshold, with the guard off too: a device written so is worth a look.
    const BatteryShown battery = state_ == TileState::Empty ? BatteryShown {} : batteryShown(batteryPercent_);
    battery_->setText(battery.text);
    const QString look = battery.low ? QStringLiteral("QLabel { color: #c21f1f; font-weight: bold; }") : QString();
    if (battery_->styleSheet() != look) // said every line of the worker: the style is set again only when it changes
        battery_->setStyleSheet(look);
    QString detail;
    if (state_ == TileState::Empty)
        detail = last_;
    else if (state_ != TileState::Updated && state_ != TileState::Working) // the cause, then the next step
        detail = message_ + (explanation_.isEmpty() ? QString() : "\n\u2192 " + explanation_);
    detail_->setFullText(detail);
}

void StationTile::explain()
{
    QMessageBox box(QMessageBox::Information, socketName(),
                    resultWord() + (serial_.isEmpty() ? QString() : " \u2014 S/N " + serial_), QMessageBox::Ok, this);
    box.setInformativeText(message_ + (explanation_.isEmpty() ? QString() : "\n\n" + explanation_));
    box.exec();
}

// The largest size of the texts at which every row the tile may show fits its height: the
// name, the device, the stage, the bar, the large word (on as many lines as it wraps to),
// three lines for the cause and the first words of the next step, and the buttons.
int StationTile::fittingBase() const
{
    const auto line = [this](double pixels, bool bold) {
        QFont f = font();
        f.setPixelSize(std::max(8, int(pixels)));
        f.setBold(bold);
        return QFontMetrics(f);
    };
    const int frame = frameWidth();
    const QMargins margins = contentsMargins() + layout()->contentsMargins() + QMargins(frame, frame, frame, frame);
    const int inside = width() - margins.left() - margins.right();
    const int spacing = 6 * layout()->spacing();
    int base = std::clamp(std::min(height(), width()) / 13, 10, 32);
    for (; base > 8; --base) {
        const QFontMetrics name = line(base * 1.6, true), word = line(base * 1.4, true), text = line(base, false),
                           small = line(base * 0.85, false);
        const QString longest = QString::fromUtf8(lookOf(TileState::MayBeWithoutFirmware).symbol) + " " +
                                tileWord(TileState::MayBeWithoutFirmware);
        const int wordHeight = word.boundingRect(QRect(0, 0, inside - 8, 1000), Qt::TextWordWrap, longest).height();
        // The bar's row stays (its time left) when the buttons show.
        const int need = name.lineSpacing() + 2 * text.lineSpacing() + text.height() + 6 + wordHeight + 6 +
                         3 * small.lineSpacing() + small.height() + 12 + spacing + margins.top() + margins.bottom();
        if (need <= height())
            break;
    }
    return base;
}

void StationTile::setName(const QString &name)
{
    name_->setText(name);
    fitTexts();
}

void StationTile::resizeEvent(QResizeEvent *event)
{
    QFrame::resizeEvent(event);
    fitTexts();
}

// The texts grow with the tile, so that a large tile is read from further away; the name and
// the stages an operator acts on are never wider than the tile.
void StationTile::fitTexts()
{
    const int base = fittingBase();
    const int inside = contentsRect().width() - layout()->contentsMargins().left() - layout()->contentsMargins().right();
    const auto fitting = [inside](QFont f, double pixels, const QStringList &texts) {
        for (; pixels > 8; pixels -= 1) {
            f.setPixelSize(int(pixels));
            const QFontMetrics metrics(f);
            if (std::all_of(texts.begin(), texts.end(), [&](const QString &t) { return metrics.horizontalAdvance(t) <= inside; }))
                break;
        }
        return pixels;
    };
    auto sized = [](QWidget *w, double pixels, bool bold) {
        QFont f = w->font();
        f.setPixelSize(std::max(8, int(pixels)));
        f.setBold(bold);
        if (f != w->font())
            w->setFont(f);
    };
    QFont bold = name_->font();
    bold.setBold(true);
    sized(name_, fitting(bold, base * 1.6, {name_->text()}), true);
    sized(result_, base * 1.4, true);
    for (QWidget *w : std::initializer_list<QWidget *> {left_, bar_})
        sized(w, base, false);
    // The device's line whole beside its battery, the firmware after the update included.
    const double device = fitting(device_->font(), base, {"S/N 0000   FW 00 \u2192 00    Battery 100 %"});
    for (QWidget *w : std::initializer_list<QWidget *> {device_, battery_})
        sized(w, device, false);
    sized(stage_, fitting(stage_->font(), base, {"taken out: plug in the next device", "waiting for the others"}), false);
    sized(detail_, base * 0.85, false);
    // The time left keeps its width as it counts down: the bar beside it is not laid out again each second.
    left_->setMinimumWidth(QFontMetrics(left_->font()).horizontalAdvance("~8888 s left"));
    // The buttons side by side, each word of theirs whole.
    double pixels = base * 0.85;
    for (QFont f = saveButton_->font(); pixels > 8; pixels -= 1) {
        f.setPixelSize(int(pixels));
        if (QFontMetrics(f).horizontalAdvance(saveButton_->text()) + 24 <= (width() - 30) / 2)
            break;
    }
    for (QWidget *w : std::initializer_list<QWidget *> {explainButton_, saveButton_})
        sized(w, pixels, false);
}
