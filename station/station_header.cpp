#include "station_header.h"
#include "batch_summary.h"
#include "station_tile.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

void StationCounts::add(const ReportRow &row)
{
    Seen &seen = row.serialHex.empty() ? bySerial_["#" + std::to_string(unnamed_++)] : bySerial_[row.serialHex];
    if (seen.times == 0) {
        ++devices;
    } else { // counted by its last update: what it came to before goes
        updated -= seen.updated, current -= seen.current, aside -= seen.aside;
        failed -= !seen.updated && !seen.current && !seen.aside;
    }
    if (++seen.times == 2)
        ++retried;
    seen.updated = row.outcome == Outcome::Updated;
    seen.current = row.outcome == Outcome::AlreadyCurrent;
    seen.aside = deviceEnd(row.outcome, row.mayBeWithoutFirmware, row.firmwareNewer) == DeviceEnd::PutAside;
    updated += seen.updated;
    current += seen.current;
    aside += seen.aside;
    failed += !seen.updated && !seen.current && !seen.aside;
}

namespace {

QLabel *figure()
{
    auto *label = new QLabel;
    label->setMinimumWidth(1); // its font is fitted to the header's width: it never widens the window
    return label;
}

QString onOff(bool on) { return on ? QStringLiteral("on") : QStringLiteral("off"); }

// A font of `base`'s family at `pixels`.
QFont sized(const QFont &base, int pixels, bool bold)
{
    QFont f = base;
    f.setPixelSize(pixels);
    f.setBold(bold);
    return f;
}

void fontOf(QWidget *w, const QFont &f)
{
    if (w->font() != f)
        w->setFont(f);
}

} // namespace

StationHeader::StationHeader(const std::string &report, bool batteryGuard, bool askBeforeRecording, bool sound,
                             QWidget *parent)
    : QWidget(parent), updated_(figure()), failed_(figure()), aside_(figure()), retried_(figure()), yield_(figure()),
      pace_(figure()), clock_(figure()), status_(new FitLabel), sound_(new QCheckBox("Sound on a failure")),
      stop_(new QPushButton("Stop after the devices being written")), start_(new QPushButton("Start")),
      name_(new QPushButton("Name the sockets\u2026"))
{
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(8, 6, 8, 4);
    column->setSpacing(2);
    auto *figures = new QHBoxLayout;
    for (QLabel *label : {updated_, failed_, aside_, retried_, yield_})
        figures->addWidget(label);
    figures->addStretch(1);
    auto *time = new QVBoxLayout; // how long it runs over its pace, smaller: the counts come first
    time->setSpacing(0);
    for (QLabel *label : {clock_, pace_}) {
        label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        time->addWidget(label);
    }
    figures->addLayout(time);
    column->addLayout(figures);

    // The status (a stop, the hook's failures, a report saved), read from where the tiles are;
    // the buttons beside it.
    auto *controls = new QHBoxLayout;
    status_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    status_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    controls->addWidget(status_, 1);
    for (QPushButton *button : {stop_, start_, name_})
        controls->addWidget(button, 0, Qt::AlignVCenter);
    column->addLayout(controls);

    auto *settings = new QHBoxLayout;
    auto *reportLabel = new FitLabel;
    reportLabel->setFullText("Report: " + (report.empty() ? QStringLiteral("none") : QString::fromStdString(report)));
    reportLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    reportLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    settings->addWidget(reportLabel, 1);
    settings->addWidget(new QLabel("Battery guard: " + onOff(batteryGuard)));
    settings->addSpacing(16);
    settings->addWidget(new QLabel("Question before writing a recording: " + onOff(askBeforeRecording)));
    settings->addSpacing(16);
    sound_->setChecked(sound);
    connect(sound_, &QCheckBox::toggled, this, &StationHeader::soundSwitched);
    settings->addWidget(sound_);
    column->addLayout(settings);

    since_.start();
    connect(&tick_, &QTimer::timeout, this, &StationHeader::tick);
    tick_.start(1000); // the clock's label alone is drawn again each second
    showCounts();
    tick();
    start_->hide();
}

void StationHeader::add(const ReportRow &row)
{
    counts_.add(row);
    ends_.push_back(since_.elapsed());
    showCounts();
    tick();
}

bool StationHeader::sound() const
{
    return sound_->isChecked();
}

void StationHeader::showCounts()
{
    const StationCounts &c = counts_;
    updated_->setText("\u2714 " + QString::number(c.updated) + " updated" +
                      (c.current > 0 ? ", " + QString::number(c.current) + " already current" : QString()));
    failed_->setText("\u2716 " + QString::number(c.failed) + " failed");
    aside_->setText("\u2691 " + QString::number(c.aside) + " put aside");
    retried_->setText("\u21BB " + QString::number(c.retried) + " retried");
    // The yield judges the devices the line worked on: one put aside waits for a person.
    const int judged = c.devices - c.aside;
    const QString yield = QString::number(yieldPercent(c.updated + c.current, judged), 'f', 0) + " %";
    yield_->setText("Yield " + (judged > 0 ? yield : QStringLiteral("\u2013")));
    fitFonts();
}

void StationHeader::tick()
{
    const qint64 s = since_.elapsed() / 1000;
    clock_->setText(QString("Running for %1:%2:%3")
                        .arg(s / 3600)
                        .arg(s / 60 % 60, 2, 10, QLatin1Char('0'))
                        .arg(s % 60, 2, 10, QLatin1Char('0')));
    // The pace of the last half hour, once there is one: the start's says nothing of a shift's.
    const std::optional<double> pace = recentDevicesPerHour(ends_, since_.elapsed());
    pace_->setText((pace ? QString::number(*pace, 'f', 0) : QStringLiteral("\u2013")) + " devices/h");
}

void StationHeader::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    fitFonts();
}

// The counts as large as the window's height allows and its width holds whole; the status a
// little smaller, on two lines; how long it runs and its pace smaller: the counts come first.
void StationHeader::fitFonts()
{
    const int most = std::clamp(window()->height() / 30, 14, 40);
    const QString clockWidest = "Running for 00:00:00", paceWidest = "8888 devices/h";
    int pixels = most;
    for (; pixels > 10; --pixels) {
        const QFontMetrics big(sized(font(), pixels, true)), small(sized(font(), pixels * 3 / 5, true));
        int width = 16 + 5 * pixels + std::max(small.horizontalAdvance(clockWidest), small.horizontalAdvance(paceWidest));
        for (const QLabel *label : {updated_, failed_, aside_, retried_, yield_})
            width += big.horizontalAdvance(label->text());
        if (width <= contentsRect().width())
            break;
    }
    for (QLabel *label : {updated_, failed_, aside_, retried_, yield_})
        fontOf(label, sized(font(), pixels, true));
    for (QLabel *label : {clock_, pace_})
        fontOf(label, sized(font(), pixels * 3 / 5, true));
    static_cast<QBoxLayout *>(layout()->itemAt(0)->layout())->setSpacing(pixels);
    const QFont status = sized(font(), std::max(12, most * 5 / 6), false); // on two lines: it needs not the width
    fontOf(status_, status);
    status_->setFixedHeight(2 * QFontMetrics(status).lineSpacing() + 2);
}

void StationHeader::running()
{
    stop_->setEnabled(true);
    stop_->setText("Stop after the devices being written");
    stop_->show();
    start_->hide();
    status_->setFullText("Running: plug a device into any socket.");
}

void StationHeader::stopping()
{
    stop_->setEnabled(false);
    stop_->setText("Stopping after the devices being written\u2026");
    status_->setFullText("Stopping: no further device is started; the devices being written are finished.");
}

void StationHeader::stopped(const QString &why)
{
    stop_->hide();
    start_->show();
    status_->setFullText("Stopped. " + why);
}

void StationHeader::say(const QString &text)
{
    status_->setFullText(text);
}
