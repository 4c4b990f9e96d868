#include "station_header.h"
#include "batch_summary.h"
#include "station_tile.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

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

QLabel *figure(const QString &text = {})
{
    auto *label = new QLabel(text);
    QFont f = label->font();
    f.setPointSizeF(f.pointSizeF() * 1.5);
    f.setBold(true);
    label->setFont(f);
    return label;
}

QString onOff(bool on) { return on ? QStringLiteral("on") : QStringLiteral("off"); }

} // namespace

StationHeader::StationHeader(const std::string &report, bool batteryGuard, bool askBeforeRecording, bool sound,
                             QWidget *parent)
    : QWidget(parent), updated_(figure()), failed_(figure()), aside_(figure()), retried_(figure()), yield_(figure()),
      pace_(figure()), clock_(figure()), status_(new FitLabel), sound_(new QCheckBox("Sound on a failure")),
      stop_(new QPushButton("Stop after the devices being written")), start_(new QPushButton("Start")),
      name_(new QPushButton("Name the sockets\u2026"))
{
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(8, 6, 8, 2);
    auto *figures = new QHBoxLayout;
    for (QLabel *label : {updated_, failed_, aside_, retried_, yield_, pace_})
        figures->addWidget(label);
    figures->addStretch(1);
    figures->addWidget(clock_);
    column->addLayout(figures);

    auto *settings = new QHBoxLayout;
    auto *reportLabel = new QLabel("Report: " + (report.empty() ? QStringLiteral("none")
                                                                : QString::fromStdString(report)));
    reportLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    reportLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    settings->addWidget(reportLabel, 1);
    settings->addWidget(new QLabel("Battery guard: " + onOff(batteryGuard)));
    settings->addSpacing(16);
    settings->addWidget(new QLabel("Question before writing a recording: " + onOff(askBeforeRecording)));
    settings->addSpacing(16);
    sound_->setChecked(sound);
    settings->addWidget(sound_);
    column->addLayout(settings);

    auto *controls = new QHBoxLayout;
    status_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    controls->addWidget(status_, 1);
    controls->addWidget(stop_);
    controls->addWidget(start_);
    controls->addWidget(name_);
    column->addLayout(controls);

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
    showCounts();
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
    failed_->setText("   \u2716 " + QString::number(c.failed) + " failed");
    aside_->setText("   \u2691 " + QString::number(c.aside) + " put aside");
    retried_->setText("   \u21BB " + QString::number(c.retried) + " retried");
    // The yield judges the devices the line worked on: one put aside waits for a person.
    const int judged = c.devices - c.aside;
    const QString yield = QString::number(yieldPercent(c.updated + c.current, judged), 'f', 0) + " %";
    yield_->setText("   Yield " + (judged > 0 ? yield : QStringLiteral("\u2013")));
}

void StationHeader::tick()
{
    const qint64 s = since_.elapsed() / 1000;
    clock_->setText(QString("Running for %1:%2:%3")
                        .arg(s / 3600)
                        .arg(s / 60 % 60, 2, 10, QLatin1Char('0'))
                        .arg(s % 60, 2, 10, QLatin1Char('0')));
    // The pace over the whole time the station runs: what a shift can plan with.
    pace_->setText("   " + QString::number(devicesPerHour(counts_.devices, since_.elapsed()), 'f', 0) + " devices/h");
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
