#include "console_progress.h"
#include "batch_words.h"
#include "live_columns.h"
#include "protocol.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

namespace {

// The device's own waits around a block; the rest of a block's time is the line.
constexpr double AfterBlockS = Wait::AfterBlockMs / 1000.0;         // after each block it takes
constexpr double BeforeReadBackS = Wait::BeforeReadBackMs / 1000.0; // before each block it gives back

constexpr int BarWidth = 14;     // with the estimates the line still fits 80 columns
constexpr int PlainStep = 10;    // without a terminal, a line every this many percent
constexpr double QuietS = 5;     // a log hears from a waiting stage at least this often
// Ticks come about a second apart, a little early or late: half a tick's slack keeps the
// lines five seconds apart, not six.
constexpr double TickSlackS = ConsoleProgress::TickMs / 2000.0;

// Reset and Connect wait for the device to come back, which takes as long as it takes;
// their bar counts attempts, so no time is estimated from it.
bool lengthKnown(std::optional<ProgressStage> stage)
{
    return stage != ProgressStage::Reset && stage != ProgressStage::TableConnect;
}

} // namespace

ConsoleProgress::ConsoleProgress(Mode mode, std::ostream &out, Seconds now)
    : mode_(mode), out_(out), now_(std::move(now))
{
    progressLine = [this](const std::string &line) { out_ << line << std::flush; };
    redrawLine = [this](const std::string &undo, const std::string &draw) { out_ << undo << draw << std::flush; };
}

double ConsoleProgress::steadySeconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void ConsoleProgress::setPlan(int firmwareBlocks, int tableBlocks)
{
    firmwareBlocks_ = std::max(firmwareBlocks, 0);
    tableBlocks_ = std::max(tableBlocks, 0);
}

void ConsoleProgress::caption(ProgressStage step, const std::string &stage)
{
    // A stage that failed was closed before; one that gives way to the next one ended well,
    // even where its bar counted attempts or the device stopped reporting short of 100.
    if (open_ && position_ < 100)
        set(100);
    endLine();
    const double t = now_();
    step_ = step;
    stage_ = stage;
    position_ = 0;
    shown_ = -1;
    open_ = true;
    stageStart_ = lastAdvance_ = lastLine_ = t;
    if (mode_ == Mode::Json)
        out_ << stageWords(step, stage).str() << std::endl;
    else if (mode_ == Mode::Plain)
        out_ << stage << std::endl;
    else
        report(false);
}

void ConsoleProgress::set(int percent)
{
    // A percent before any stage began (a device babbling while it is read) belongs to no
    // stage, and has no start to measure its time from.
    if (!step_)
        return;
    const int p = std::clamp(percent, 0, 100);
    const double t = now_();
    if (p != position_) {
        if (lengthKnown(step_))
            lastAdvance_ = t;
        // A percent first shows right after the block that reached it: so many blocks took
        // this long. Measured only then, the pace does not drift while the percent stands.
        auto measure = [&](std::optional<double> &pace, int blocks) {
            if (p > 0 && blocks > 0)
                pace = (t - stageStart_) / ((p * blocks + 99) / 100);
        };
        if (step_ == ProgressStage::Send)
            measure(sendBlockS_, firmwareBlocks_);
        else if (step_ == ProgressStage::Verify)
            measure(readBlockS_, firmwareBlocks_);
        else if (step_ == ProgressStage::TableSend)
            measure(tableBlockS_, tableBlocks_);
    }
    position_ = p;
    // A program hears of each whole percent, and at once of a device that went away or came
    // back: a line for every block would cost the program that reads it (a batch reads dozens)
    // more than the update itself.
    bool moved = true; // the live line is redrawn with every block
    if (mode_ == Mode::Plain)
        moved = p / PlainStep != shown_ / PlainStep;
    else if (mode_ == Mode::Json)
        moved = p != shown_ || present() != shownPresent_;
    if (shown_ < 0 || moved)
        report(false);
}

bool ConsoleProgress::present() const
{
    return !lengthKnown(step_) || devicePresent(); // away on purpose while it restarts
}

void ConsoleProgress::close()
{
    endLine();
    open_ = false;
}

void ConsoleProgress::endLine()
{
    if (lineOpen_) {
        out_ << std::endl;
        lineOpen_ = false;
    }
}

void ConsoleProgress::tick()
{
    if (!open_)
        return;
    if (mode_ == Mode::Live) { // the seconds on the line go on
        report(false);
        return;
    }
    if (now_() - lastLine_ + TickSlackS < QuietS)
        return;
    report(mode_ == Mode::Plain && (position_ == shown_ || !lengthKnown(step_)));
}

ConsoleProgress::Estimate ConsoleProgress::estimate(double seconds) const
{
    Estimate e;
    if (lengthKnown(step_) && position_ > 0)
        e.stage = seconds * (100 - position_) / position_;
    auto rest = [&](double whole) { return std::max(whole - seconds, 0.0); };
    // Where the stage's blocks have a measured pace, its end follows from that: the percent
    // alone makes the estimate jump each time it moves.
    if (step_ == ProgressStage::Send && sendBlockS_)
        e.stage = rest(firmwareBlocks_ * *sendBlockS_);
    else if (step_ == ProgressStage::Verify && readBlockS_)
        e.stage = rest(firmwareBlocks_ * *readBlockS_);
    else if (step_ == ProgressStage::TableSend && tableBlockS_)
        e.stage = rest(tableBlocks_ * *tableBlockS_);
    // The device's pace shows once the firmware goes out; until a later stage measures its
    // own, its blocks are reckoned from that pace: the same line, the device's own waits.
    if (!sendBlockS_)
        return e;
    const double line = std::max(*sendBlockS_ - AfterBlockS, 0.0);
    const double sending = firmwareBlocks_ * *sendBlockS_;
    const double readBack = firmwareBlocks_ * readBlockS_.value_or(BeforeReadBackS + line);
    const double table = tableBlocks_ * tableBlockS_.value_or(AfterBlockS + line);
    if (step_ == ProgressStage::Send)
        e.run = rest(sending) + readBack + table;
    else if (step_ == ProgressStage::Verify)
        e.run = rest(readBack) + table;
    else if (step_ == ProgressStage::TableConnect) // the device's restart takes as long as it takes
        e.run = table;
    else if (step_ == ProgressStage::TableSend)
        e.run = rest(table);
    return e;
}

std::string ConsoleProgress::liveLine(double seconds, std::optional<double> left, bool present) const
{
    char percent[16], elapsed[24];
    std::snprintf(percent, sizeof percent, "%3d %%", position_);
    std::snprintf(elapsed, sizeof elapsed, " %4lds", std::lround(seconds));
    const std::string bar = " [" + std::string(size_t(position_ * BarWidth / 100), '#') +
                            std::string(size_t(BarWidth - position_ * BarWidth / 100), ' ') + "] ";
    const std::string rest = !present ? "  device not present"
                             : left   ? "  ~" + std::to_string(std::lround(*left)) + "s left"
                                      : "";
    char stage[64];
    std::snprintf(stage, sizeof stage, "%-22s", stage_.c_str());
    // Never to the last column: a line that reaches it wraps on some terminals, and each
    // redraw would then leave a line behind. A narrow terminal loses the bar first, then the
    // elapsed time; the stage, the percent and the time left stay longest.
    const size_t width = std::max<size_t>(columns(), 2) - 1;
    const std::string candidates[] = {stage + bar + percent + elapsed + rest, stage_ + " " + percent + elapsed + rest,
                                      stage_ + " " + percent + rest};
    for (const std::string &line : candidates)
        if (columnsOf(line) <= width)
            return line;
    return fitColumns(candidates[2], width);
}

void ConsoleProgress::report(bool waiting)
{
    const double t = now_();
    const double seconds = t - stageStart_;
    const Estimate e = estimate(seconds);
    const bool present = this->present();
    lastLine_ = t;
    shown_ = position_;
    shownPresent_ = present;
    // One figure of time left: the whole run's where it is known, else the stage's; none for
    // a stage that is done (its line stays on the screen, and the run's time goes on without
    // it), nor for a device that went away.
    const bool done = position_ >= 100;
    const std::optional<double> left = done ? std::nullopt : e.run ? e.run : e.stage;
    if (mode_ == Mode::Json) {
        const auto known = [present](std::optional<double> s) { return present ? s : std::nullopt; };
        const ProgressSaid said {stage_, position_, seconds, known(done ? std::nullopt : e.stage), known(e.run), present};
        progressLine(progressWords(said).str() + "\n");
        return;
    }
    if (mode_ == Mode::Live) {
        redrawLine("\r", liveLine(seconds, left, present) + "\x1b[K"); // what a longer line before left behind goes
        lineOpen_ = true;
        return;
    }
    std::string line = stage_ + " " + std::to_string(position_) + " %";
    if (waiting)
        line += " (waiting " + std::to_string(std::lround(t - lastAdvance_)) + " s)";
    if (!present)
        line += " (device not present)";
    else if (left)
        line += "  ~" + std::to_string(std::lround(*left)) + "s left";
    progressLine(line + "\n");
}
