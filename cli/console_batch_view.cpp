#include "console_batch_view.h"
#include "cli_signals.h"
#include "batch_report.h"
#include "json_line.h"
#include "live_columns.h"
#include "output_writer.h"
#include "safe_text.h"

#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr int RedrawMs = 200;         // the live lines at most this often
constexpr int PlainEveryMs = 10'000;  // a log hears how far each device is this often

// One figure of time left, or that the device went away while its worker still waits.
std::string timeLeft(const WorkerShown &w)
{
    if (!w.present)
        return "  device not present";
    return w.left ? "  ~" + std::to_string(std::lround(*w.left)) + "s left" : "";
}

// Where a device is, as the operator knows it: its socket's name (a port's own name when
// nobody named it).
template <typename Device> std::string placeOf(const Device &d)
{
    return d.socket.empty() ? shortPort(d.port) : shownText(d.socket);
}

std::string livePlace(const WorkerShown &w)
{
    return w.socket.empty() ? shortPortName(shownText(w.port)) : shownText(w.socket);
}

std::string summaryText(const BatchSummary &s)
{
    return std::to_string(s.devices) + " device" + (s.devices == 1 ? "" : "s") + ": " + std::to_string(s.updated) +
           " updated, " + (s.alreadyCurrent > 0 ? std::to_string(s.alreadyCurrent) + " already current, " : "") +
           std::to_string(s.failed) + " failed" +
           (s.putAside > 0 ? ", " + std::to_string(s.putAside) + " put aside" : "") + (s.retried > 0 ? ", " + std::to_string(s.retried) + " retried" : "");
}

// "ttyUSB1: 0109  transfer failed", and what its failure may have left.
std::string failedLine(const DeviceOutcome &d)
{
    return placeOf(d) + ": " + (d.serial.empty() ? "-" : d.serial) + "  " + outcomeName(d.outcome) +
           (d.mayBeWithoutFirmware ? ", may be without working firmware" : "");
}

// "yield 66.7 % in 0:01:23, 260 devices/h": what a shift plans with, said before the count so
// that the count stays the last word of a batch that went well.
std::string paceText(const BatchSummary &s)
{
    const int64_t t = (s.durationMs + 500) / 1000; // as a device's own row rounds its seconds
    char text[96];
    std::snprintf(text, sizeof text, "yield %.1f %% in %lld:%02lld:%02lld, %.0f devices/h", s.yield(),
                  static_cast<long long>(t / 3600), static_cast<long long>(t / 60 % 60), static_cast<long long>(t % 60),
                  s.perHour());
    std::string shown = text;
    if (const auto whole = shown.find(".0 %"); whole != std::string::npos) // 100 %, not 100.0 %
        shown.erase(whole, 2);
    return shown;
}

// Lines for a log: each device's facts as they come, and how far it is now and then.
class PlainView : public BatchView {
public:
    void hangUp() override { CliSignalPolicy::dropOutput(); }
    void started(const std::string &, bool) override {}
    void error(const std::string &text) override { print(text, true); }
    std::unique_ptr<WorkerListener> worker() override;
    void skipped(const WorkerShown &w) override
    {
        print(placeOf(w) + ": device " + w.serial + " is the one just updated, back after its restart");
    }
    void reported(const ReportRow &row) override;
    void waiting() override { print("waiting for the next device (Ctrl-C ends the batch)"); }
    void summary(const BatchSummary &s) override;

protected:
    virtual void print(const std::string &text, bool error = false)
    {
        (error ? std::cerr : std::cout) << text << std::endl;
    }
    bool live_ = false; // the live lines show the stage and its progress in place of lines

private:
    class Lines;
};

// A worker's lines for a log, each led by its device's place.
class PlainView::Lines final : public WorkerListener {
public:
    explicit Lines(PlainView &view) : v_(view) {}
    void device(const DeviceFacts &d) override { device_ = d; }
    void plan(const RunPlan &) override
    {
        v_.print(tag() + "serial " + now.serial + ", hardware " + std::to_string(device_.record.hardwareVersion) + ", " +
                 shownText(device_.line()) + ", " + device_.batteryText());
    }
    void stage(ProgressStage, const std::string &) override
    {
        if (!v_.live_)
            v_.print(tag() + now.stage);
    }
    void estimate(bool, std::optional<double>) override
    {
        if (v_.live_ || nowMs - lastProgressMs_ < PlainEveryMs)
            return;
        lastProgressMs_ = nowMs;
        // A line a log may lose while its reader falls behind; the device never waits for it.
        OutputWriter::write(STDOUT_FILENO, tag() + now.stage + " " + std::to_string(now.percent) + " %" + timeLeft(now) + "\n",
                            OutputWriter::Kind::Progress);
    }
    void explained(const RunMessage &m, const std::string &explanation) override
    {
        if (m.kind == MessageKind::Diagnostic) // a block read back with a fault: a warning, as a single update says it
            return v_.print(tag() + "warning: " + m.text, true);
        v_.print(tag() + m.text, m.failure());
        said(explanation);
    }
    void remark(const std::string &text) override { v_.print(tag() + text, true); }

private:
    std::string tag() const { return placeOf(now) + ": "; }
    void said(const std::string &explanation)
    {
        if (!explanation.empty())
            v_.print(std::string(tag().size() + 2, ' ') + explanation, true);
    }
    PlainView &v_;
    DeviceFacts device_;
    int64_t lastProgressMs_ = -PlainEveryMs;
};

std::unique_ptr<WorkerListener> PlainView::worker() { return std::make_unique<Lines>(*this); }

void PlainView::reported(const ReportRow &row)
{
    char duration[32];
    std::snprintf(duration, sizeof duration, "%.0f s", row.durationS);
    print(placeOf(row) + ": " + (row.serial.empty() ? "-" : row.serial) + "  " + outcomeName(row.outcome) +
              "  " + shownText(row.message) + "  (" + duration + ")",
          !succeeded(row.outcome));
}

void PlainView::summary(const BatchSummary &s)
{
    // "1 may be without working firmware, 1 ended abnormally, 1 transfer failed"
    std::string failedBy =
        s.withoutFirmware > 0 ? std::to_string(s.withoutFirmware) + " may be without working firmware" : "";
    for (const auto &[outcome, count] : s.failedBy)
        failedBy += (failedBy.empty() ? "" : ", ") + std::to_string(count) + " " + outcomeName(outcome);
    for (const DeviceOutcome &d : s.failedDevices)
        failedBy += "\n  " + failedLine(d);
    // Nothing is wrong with these: each waits for what the operator decides, as its reason says.
    std::string aside;
    for (const DeviceOutcome &d : s.asideDevices)
        aside += "\n  " + placeOf(d) + ": " + (d.serial.empty() ? "-" : d.serial) + "  " + asideName(d.aside());
    const bool ok = succeeded(s.worst);
    // Seen from across the line: green, or red with a bell when a device failed, on a terminal
    // that wants colour.
    std::string result = summaryText(s);
    if (summaryInColour(::isatty(ok ? STDOUT_FILENO : STDERR_FILENO) == 1, std::getenv("NO_COLOR")))
        result = (ok ? "\x1b[32m" : s.failed > 0 ? "\a\x1b[31m" : "\x1b[31m") + result + "\x1b[0m";
    (ok ? std::cout : std::cerr) << paceText(s) << "\n" << result << (failedBy.empty() ? "" : "\nfailed: " + failedBy)
                                 << (aside.empty() ? "" : "\nput aside (nothing written; a person decides):" + aside)
                                 << (ok ? "" : std::string("\nmova-update: ") + outcomeName(s.worst)) << std::endl;
}

// A terminal's view: the plain lines above one redrawn line per running device, which
// shows the stage and its progress in place of the plain lines that say them.
class LiveView final : public PlainView {
public:
    explicit LiveView(std::function<BatchBoard()> board) : board_(std::move(board))
    {
        live_ = true;
        drawClock_.start();
        later_.setSingleShot(true);
        QObject::connect(&later_, &QTimer::timeout, [this] { refresh(); });
    }
    void waiting() override {} // the live lines say it
    void refresh() override;
    void summary(const BatchSummary &s) override
    {
        later_.stop(); // the lines are taken back for good
        std::cout << takeBack();
        PlainView::summary(s);
    }

protected:
    void print(const std::string &text, bool error = false) override
    {
        std::cout << takeBack();
        PlainView::print(text, error);
        refresh();
    }

private:
    std::string takeBack();
    static std::string statusLine(const WorkerShown &w, size_t portColumns);

    const std::function<BatchBoard()> board_;
    int drawn_ = 0;
    int64_t lastDrawMs_ = 0;
    QElapsedTimer drawClock_;
    QTimer later_; // what came too soon after a redraw is drawn by this one
};

std::string LiveView::statusLine(const WorkerShown &w, size_t portColumns)
{
    const std::string left = !w.present ? "device not present"
                             : w.left   ? "~" + std::to_string(std::lround(*w.left)) + "s left"
                                        : "";
    const std::string stage = w.state == WorkerState::Identifying ? "Connect..."
                              : w.state == WorkerState::Waiting   ? "waiting for the others"
                                                                  : w.stage;
    char percent[16];
    std::snprintf(percent, sizeof percent, "%3d %%  ", w.percent);
    return fitColumns(livePlace(w), portColumns, true) + " " + fitColumns(w.serial, 6, true) + " " +
           fitColumns(stage, 22, true) + " " + percent + left;
}

// What takes the live lines drawn last off the screen, for the text that comes in their place.
std::string LiveView::takeBack()
{
    const std::string undo = drawn_ > 0 ? "\x1b[" + std::to_string(drawn_) + "F\x1b[J" : "";
    drawn_ = 0;
    return undo;
}

void LiveView::refresh()
{
    // Timed before the board is built: the batch asks with every line a worker says, and the
    // board holds every device, so that a batch of many would pay for many on each line.
    const int64_t now = drawClock_.elapsed();
    if (drawn_ > 0 && now - lastDrawMs_ < RedrawMs) {
        if (!later_.isActive()) // the batch may say nothing more for a while
            later_.start(int(RedrawMs - (now - lastDrawMs_)));
        return;
    }
    lastDrawMs_ = now;
    const BatchBoard board = board_();
    const std::string undo = takeBack();
    std::string draw;
    // A line never reaches the last column: one that does wraps on some terminals, and the
    // next redraw would leave its second row behind.
    const size_t columns = terminalColumns() - 1;
    size_t portColumns = 0;
    for (const WorkerShown &w : board.running)
        portColumns = std::max(portColumns, columnsOf(livePlace(w)));
    for (const WorkerShown &w : board.running) {
        draw += fitColumns(statusLine(w, std::min(portColumns, MaxPortColumns)), columns) + "\x1b[K\n";
        ++drawn_;
    }
    if (board.waitingForNext) {
        draw += fitColumns("waiting for the next device (Ctrl-C ends the batch)", columns) + "\x1b[K\n";
        ++drawn_;
    }
    // A terminal that falls behind gets the newest lines only, never a wait of the batch.
    OutputWriter::redraw(STDOUT_FILENO, undo, draw);
}

// JSON lines: the batch's own events, and each worker's told whose it is.
class JsonView final : public BatchView {
public:
    void hangUp() override { CliSignalPolicy::dropOutput(); }
    void started(const std::string &id, bool repeat) override
    {
        out(JsonLine::event("batch").text("id", id).flag("repeat", repeat));
    }
    void error(const std::string &text) override { std::cerr << text << std::endl; }
    std::unique_ptr<WorkerListener> worker() override;
    void skipped(const WorkerShown &) override {} // its worker's own result says it
    void reported(const ReportRow &row) override { out(JsonLine::event("report").append(row.object())); }
    void waiting() override { out(JsonLine::event("waiting")); }
    void summary(const BatchSummary &s) override;

private:
    static void out(const JsonLine &line) { std::cout << line.str() << std::endl; }
};

// The worker's own events, each told whose it is.
std::unique_ptr<WorkerListener> JsonView::worker()
{
    struct Passed final : WorkerListener {
        void relay(const std::string &json, bool progress) override
        {
            // A worker's progress: a reader that falls behind may lose it, and the batch never waits.
            if (progress)
                OutputWriter::write(STDOUT_FILENO, json + "\n", OutputWriter::Kind::Progress);
            else
                std::cout << json << std::endl;
        }
    };
    return std::make_unique<Passed>();
}

void JsonView::summary(const BatchSummary &s)
{
    JsonLine byOutcome;
    for (const auto &[outcome, count] : s.failedBy)
        byOutcome.number(outcomeName(outcome), count);
    // A device as both lists name it: where it sat and who it is.
    const auto named = [](const DeviceOutcome &d) {
        return JsonLine()
            .text("port", shownText(d.port))
            .text("socket", shownText(d.socket))
            .text("serial", shownText(d.serial))
            .text("serial_hex", shownText(d.serialHex))
            .text("outcome", outcomeName(d.outcome));
    };
    std::vector<JsonLine> failed, aside;
    for (const DeviceOutcome &d : s.asideDevices)
        aside.push_back(named(d).text("put_aside", asideName(d.aside())));
    for (const DeviceOutcome &d : s.failedDevices)
        failed.push_back(named(d).number("exit", exitStatus(d.outcome)).flag("may_be_without_firmware", d.mayBeWithoutFirmware));
    const JsonLine summary = JsonLine::event("summary")
                                 .number("devices", s.devices)
                                 .number("updated", s.updated)
                                 .number("already_current", s.alreadyCurrent)
                                 .number("failed", s.failed)
                                 .number("put_aside", s.putAside)
                                 .number("may_be_without_firmware", s.withoutFirmware)
                                 .number("retried", s.retried)
                                 .fixed("duration_s", double(s.durationMs) / 1000, 1)
                                 .fixed("devices_per_hour", s.perHour(), 1)
                                 .fixed("yield_percent", s.yield(), 1)
                                 .object("failed_by_outcome", byOutcome)
                                 .objects("failed_devices", failed)
                                 .objects("put_aside_devices", aside);
    const JsonLine result = JsonLine::event("result")
                                .flag("ok", succeeded(s.worst))
                                .number("exit", exitStatus(s.worst))
                                .text("outcome", outcomeName(s.worst))
                                .text("text", summaryText(s));
    std::cout << summary.str() << "\n" << result.str() << std::endl;
}

} // namespace

std::unique_ptr<BatchView> makeBatchView(bool json, bool live, std::function<BatchBoard()> board)
{
    if (json)
        return std::make_unique<JsonView>();
    if (live)
        return std::make_unique<LiveView>(std::move(board));
    return std::make_unique<PlainView>();
}
