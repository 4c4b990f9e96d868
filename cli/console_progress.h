#pragma once
#include <functional>
#include <optional>
#include <ostream>
#include <string>

#include "run_events.h"
#include "safe_text.h"


// How far the update run has got, told on the command line: one line redrawn in place on a
// terminal, plain lines for a log (every ten percent), or "stage" and "progress" events for
// programs (every whole percent, and when the device goes or comes back). Besides a
// stage's own estimate it tells how long the whole run still takes, from the device's pace.
class ConsoleProgress {
public:
    enum class Mode { Live, Plain, Json };
    // Seconds of a steady clock; only differences mean anything.
    using Seconds = std::function<double()>;
    // How often the program calls tick(), so that a log hears from a stage that waits.
    static constexpr int TickMs = 1000;

    ConsoleProgress(Mode mode, std::ostream &out, Seconds now = steadySeconds);
    static double steadySeconds();

    // Where the progress lines go, apart from the stages and the line ends: a reader that
    // falls behind may lose them. By default they go to `out` as well.
    std::function<void(const std::string &line)> progressLine;
    // A live line redrawn: `undo` takes back the one before it ("\r"), `draw` is the new one.
    std::function<void(const std::string &undo, const std::string &draw)> redrawLine;
    // The terminal's width now, for the live line: it must never wrap.
    std::function<size_t()> columns = [] { return size_t(80); };
    // Whether the device is still there: a line for a device that went away says so, not
    // how long it has left.
    std::function<bool()> devicePresent = [] { return true; };

    // What the run sends: the firmware's blocks, and the table's 512-byte blocks (0 for none).
    void setPlan(int firmwareBlocks, int tableBlocks);
    // A stage begins. The stage before it, unless closed, ended well: it is shown done.
    void caption(ProgressStage stage, const std::string &text);
    void set(int percent);
    // The stage ends where it stands: it failed, or the run is over.
    void close();
    // Other output follows: the live line is left as it is.
    void endLine();
    void tick();
    int position() const { return position_; }

private:
    struct Estimate {
        std::optional<double> stage, run; // seconds left
    };
    Estimate estimate(double seconds) const;
    void report(bool waiting);
    std::string liveLine(double seconds, std::optional<double> left, bool present) const;
    bool present() const;

    Mode mode_;
    std::ostream &out_;
    Seconds now_;
    int firmwareBlocks_ = 0, tableBlocks_ = 0;
    // Seconds a block takes, measured: sent, read back, the table's sent.
    std::optional<double> sendBlockS_, readBlockS_, tableBlockS_;
    std::optional<ProgressStage> step_; // the stage under way, none before the first
    std::string stage_;               // and its caption, as shown
    bool open_ = false;     // a stage runs and has not been closed
    bool lineOpen_ = false; // the live line waits for its end
    int position_ = 0;
    int shown_ = -1;        // the percent of the last line printed for the stage
    bool shownPresent_ = true; // whether that line found the device there
    double stageStart_ = 0, lastAdvance_ = 0, lastLine_ = 0;
};
