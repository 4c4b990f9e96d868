#include "replay_trace.h"
#include "protocol.h"

#include <algorithm>
#include <optional>

namespace {

constexpr std::string_view TraceLead = "mova-trace";
constexpr std::string_view CutWord = "cut";  // "mova-trace cut here: ...": the trace reached its limit
constexpr size_t MaxMsDigits = 15;
// The device gets its last reply out before it leaves the line, as a device that restarts does.
constexpr int64_t LeaveGraceMs = 20;

// Splits off the next word (blank-separated); empty at the end of the line.
std::string_view nextWord(std::string_view &rest)
{
    const size_t start = rest.find_first_not_of(' ');
    if (start == std::string_view::npos) {
        rest = {};
        return {};
    }
    rest.remove_prefix(start);
    const size_t end = std::min(rest.find(' '), rest.size());
    const std::string_view word = rest.substr(0, end);
    rest.remove_prefix(end);
    return word;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::string quoted(std::string_view word)
{
    return "\"" + std::string(word.substr(0, 40)) + (word.size() > 40 ? "...\"" : "\"");
}

// One "mova-trace" line after its lead; the error's text, empty when it was read.
std::string readLine(std::string_view rest, TraceLine &out)
{
    const std::string_view ms = nextWord(rest);
    if (ms.empty() || ms.size() > MaxMsDigits || !std::all_of(ms.begin(), ms.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return "the time " + quoted(ms) + " is not a number of milliseconds";
    out.ms = 0;
    for (char c : ms)
        out.ms = out.ms * 10 + (c - '0');
    const std::string_view road = nextWord(rest);
    if (road != "tty" && road != "ftdi")
        return "the road " + quoted(road) + " is neither tty nor ftdi";
    out.road = std::string(road);
    const std::string_view direction = nextWord(rest);
    if (direction == "#") {
        const size_t start = rest.find_first_not_of(' ');
        const std::string_view text = start == std::string_view::npos ? std::string_view() : rest.substr(start);
        if (text.empty())
            return "a note without its text";
        using K = TraceLine::Kind;
        if (text == "close")
            out.kind = K::Close;
        else if (text == "lost")
            out.kind = K::Lost;
        else if (text == "open" || text.substr(0, 5) == "open ")
            out.kind = K::Open, out.text = std::string(text.substr(std::min<size_t>(5, text.size())));
        else // the reason an open failed, as the link words it
            out.kind = K::OpenFailed, out.text = std::string(text);
        return {};
    }
    if (direction != ">" && direction != "<")
        return "the direction " + quoted(direction) + " is none of > < #";
    out.kind = direction == ">" ? TraceLine::Kind::ToDevice : TraceLine::Kind::FromDevice;
    for (std::string_view byte = nextWord(rest); !byte.empty(); byte = nextWord(rest)) {
        if (byte.size() != 2 || hexDigit(byte[0]) < 0 || hexDigit(byte[1]) < 0)
            return quoted(byte) + " is not a byte in hexadecimal";
        out.bytes.push_back(uint8_t(hexDigit(byte[0]) * 16 + hexDigit(byte[1])));
    }
    if (out.bytes.empty())
        return "a transfer without bytes";
    return {};
}

bool isTransfer(const TraceLine &l)
{
    return l.kind == TraceLine::Kind::ToDevice || l.kind == TraceLine::Kind::FromDevice;
}

} // namespace

TraceRead readTrace(std::string_view text)
{
    TraceRead read;
    int number = 0;
    bool anyTraceLine = false;
    while (!text.empty()) {
        const size_t end = std::min(text.find('\n'), text.size());
        std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.find_first_not_of(' ') == std::string_view::npos || line.front() == '#')
            continue;
        std::string_view rest = line;
        if (nextWord(rest) != TraceLead) {
            read.error = "line " + std::to_string(number) + ": not a trace line (" + quoted(line) + ")";
            return read;
        }
        anyTraceLine = true;
        std::string_view peek = rest;
        if (nextWord(peek) == CutWord) {
            read.cut = true;
            continue;
        }
        TraceLine parsed;
        parsed.line = number;
        if (std::string why = readLine(rest, parsed); !why.empty()) {
            read.error = "line " + std::to_string(number) + ": " + why;
            return read;
        }
        if (!read.lines.empty() && parsed.ms < read.lines.back().ms) {
            read.error = "line " + std::to_string(number) + ": the time goes back from " +
                         std::to_string(read.lines.back().ms) + " to " + std::to_string(parsed.ms) + " ms";
            return read;
        }
        read.lines.push_back(std::move(parsed));
    }
    if (!anyTraceLine)
        read.error = "no trace lines in it";
    return read;
}

namespace {

// The recording's times with every gap between two lines cut to MaxGapMs: a replay waits no
// longer than a real device ever keeps the tool waiting.
std::vector<int64_t> playedTimes(const std::vector<TraceLine> &lines)
{
    std::vector<int64_t> when(lines.size(), lines.front().ms);
    for (size_t i = 1; i < lines.size(); ++i)
        when[i] = when[i - 1] + std::min(lines[i].ms - lines[i - 1].ms, MaxGapMs);
    return when;
}

// Reads a recording with at least one line, line after line, into the device's script.
class ScriptBuilder {
public:
    explicit ScriptBuilder(const TraceRead &trace)
        : lines_(trace.lines), when_(playedTimes(trace.lines)), lastToolMs_(when_.front())
    {
        s_.cut = trace.cut;
    }

    ReplayScript build()
    {
        for (size_t i = 0; i < lines_.size(); ++i)
            take(i);
        s_.endDelayMs = delay(when_.back());
        s_.longestQuietMs = std::max(s_.longestQuietMs, s_.endDelayMs);
        return std::move(s_);
    }

private:
    using K = TraceLine::Kind;

    void take(size_t i)
    {
        const TraceLine &l = lines_[i];
        if (l.kind == K::ToDevice)
            toDevice(i);
        else if (l.kind == K::FromDevice)
            fromDevice(i);
        else if (l.kind == K::Lost && !away_)
            leave(lastTransfer_ ? when_[*lastTransfer_] : when_[i], l.line);
        else if (l.kind == K::OpenFailed && !opened_ && !away_)
            leave(when_[i], l.line); // not there when the tool first looked for it
        else if (l.kind == K::Close && !away_)
            close(i);
        else if (l.kind == K::OpenFailed)
            awaySince_ = std::max(awaySince_, when_[i]);
        else if (l.kind == K::Open)
            open(i);
    }

    void toDevice(size_t i)
    {
        const TraceLine &l = lines_[i];
        if (s_.road.empty())
            s_.road = l.road;
        s_.longestQuietMs = std::max(s_.longestQuietMs, when_[i] - lastToolMs_);
        // A command goes alone and its echo comes straight back.
        const bool echoed = l.bytes.size() == 1 && i + 1 < lines_.size() && lines_[i + 1].kind == K::FromDevice &&
                            lines_[i + 1].bytes.front() == l.bytes.front();
        for (uint8_t b : l.bytes) {
            s_.toolBytes.push_back(b);
            s_.toolLines.push_back(l.line);
            s_.isCommand.push_back(echoed);
        }
        lastToolMs_ = when_[i];
        lastTransfer_ = i;
    }

    void fromDevice(size_t i)
    {
        const TraceLine &l = lines_[i];
        if (s_.road.empty())
            s_.road = l.road;
        step(ReplayStep::Kind::Reply, when_[i], l.line).bytes = l.bytes;
        lastTransfer_ = i;
    }

    void close(size_t i)
    {
        const TraceLine &l = lines_[i];
        // What follows the close tells whether the device left the line.
        size_t next = i + 1;
        std::optional<int64_t> firstFailed;
        for (; next < lines_.size() && lines_[next].kind != K::Open && !isTransfer(lines_[next]); ++next)
            if (lines_[next].kind == K::OpenFailed && !firstFailed)
                firstFailed = when_[next];
        const bool reopened = next < lines_.size() && lines_[next].kind == K::Open;
        const bool prompt = lastTransfer_ && when_[i] - when_[*lastTransfer_] < LostGuessMs;
        if (prompt) // gone at once after bytes nobody answered; after a reply, when the tool let go
            leave(lines_[*lastTransfer_].kind == K::ToDevice ? when_[*lastTransfer_] : when_[i], l.line);
        else if (firstFailed)
            leave((when_[i] + *firstFailed) / 2, l.line); // between the close and the tool's next look
        else if (reopened && lines_[next].text != path_)
            leave((when_[i] + when_[next]) / 2, l.line); // it comes back under another path
        lastTransfer_.reset();
    }

    void open(size_t i)
    {
        const TraceLine &l = lines_[i];
        if (!opened_)
            firstPath_ = l.text;
        if (away_) {
            // Back between the tool's last failed look and the look that found it.
            step(ReplayStep::Kind::Return, (std::max(awaySince_, lastToolMs_) + when_[i]) / 2, l.line).otherLink =
                l.text != firstPath_;
            away_ = false;
        }
        opened_ = true;
        path_ = l.text;
        lastTransfer_.reset();
    }

    int64_t delay(int64_t ms) const { return std::max<int64_t>(0, ms - lastToolMs_); }

    ReplayStep &step(ReplayStep::Kind kind, int64_t ms, int line)
    {
        ReplayStep st;
        st.kind = kind, st.after = s_.toolBytes.size(), st.delayMs = delay(ms), st.line = line;
        s_.steps.push_back(st);
        return s_.steps.back();
    }

    // Leaves no sooner than its last reply got out, and never before an earlier step.
    void leave(int64_t ms, int line)
    {
        int64_t at = ms;
        if (lastTransfer_ && lines_[*lastTransfer_].kind == K::FromDevice)
            at = std::max(at, when_[*lastTransfer_] + LeaveGraceMs);
        step(ReplayStep::Kind::Leave, at, line);
        away_ = true;
        awaySince_ = at;
    }

    const std::vector<TraceLine> &lines_;
    const std::vector<int64_t> when_;
    ReplayScript s_;
    int64_t lastToolMs_;                // the start, until the tool has sent something
    std::optional<size_t> lastTransfer_; // since the link was last opened
    std::string firstPath_, path_;
    bool opened_ = false, away_ = false;
    int64_t awaySince_ = 0;
};

} // namespace

ReplayScript buildScript(const TraceRead &trace)
{
    if (trace.lines.empty()) {
        ReplayScript s;
        s.cut = trace.cut;
        return s;
    }
    return ScriptBuilder(trace).build();
}

const char *commandName(uint8_t command)
{
    switch (command) {
    case Cmd::Erase: return "erase";
    case Cmd::BatteryExtended: return "battery";
    case Cmd::BatteryRaw: return "battery reading";
    case Cmd::DeviceInfo: return "identity";
    case Cmd::Calibration: return "calibration";
    case Cmd::Leave: return "goodbye";
    case Cmd::Reset: return "reset";
    case Cmd::Transfer1KNoCount: return "transfer 1K without count";
    case Cmd::Transfer1K: return "transfer 1K";
    case Cmd::Transfer512: return "transfer 512";
    case Cmd::Transfer512Wide: return "transfer 512 wide";
    case Cmd::Start: return "start";
    case Cmd::Probe: return "probe";
    case Cmd::Language: return "translation table";
    case Cmd::Status: return "status";
    case Cmd::StatusShort: return "short status";
    default: return "";
    }
}
