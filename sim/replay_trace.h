#pragma once
// A run's byte trace read back, and turned into what the device said and did in it: the
// tool's bytes as one stream, each reply with the tool's bytes it waited for and the delay
// after the last of them, and when the device was away. Pure: text in, data out.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct TraceLine {
    enum class Kind { ToDevice, FromDevice, Open, OpenFailed, Close, Lost };
    int line = 0;          // in the file, from 1
    int64_t ms = 0;
    std::string road;      // "tty" or "ftdi"
    Kind kind = Kind::ToDevice;
    std::vector<uint8_t> bytes; // a transfer's bytes
    std::string text;      // a note's text: the path opened (tty), or why an open failed
};

struct TraceRead {
    std::vector<TraceLine> lines;
    bool cut = false;      // the run's trace reached its limit and says so
    std::string error;     // "line N: what is wrong with it"; empty when it was read
};

// Reads the lines the link's trace writes: "mova-trace <ms> <road> <dir> <hex bytes | note>",
// and lines led by '#' (the header). Anything else is an error that names its line.
TraceRead readTrace(std::string_view text);

// One thing the device does when the tool has sent `after` bytes of its stream, `delayMs`
// after the last of them came (after the start when none has come yet).
struct ReplayStep {
    enum class Kind { Reply, Leave, Return };
    Kind kind = Kind::Reply;
    size_t after = 0;
    int64_t delayMs = 0;
    std::vector<uint8_t> bytes; // Reply: what the device sends
    bool otherLink = false;     // Return: under another path than the first one the tool opened
    int line = 0;               // the recording's line it comes from
};

struct ReplayScript {
    std::vector<uint8_t> toolBytes; // everything the tool sent, as one stream
    std::vector<int> toolLines;     // the recording's line of each of those bytes
    std::vector<bool> isCommand;    // per byte: a command (sent alone and echoed at once)
    std::vector<ReplayStep> steps;  // in the order they are played
    int64_t endDelayMs = 0;         // the recording's last line, after the tool's last byte
    int64_t longestQuietMs = 0;     // the longest the tool said nothing in the recording
    std::string road;               // the road of the recording's first transfer
    bool cut = false;
};

// A close this soon after the last transfer is taken for a device that went away: a device
// that is only silent keeps the tool listening for at least half a second. The device leaves
// right after the tool's unanswered bytes, or where the tool let go after a reply: a tool that
// closed at once after a reply for its own reasons no longer needs the device, and one whose
// next read failed must find it gone.
constexpr int64_t LostGuessMs = 300;

// The longest a real device keeps the tool waiting is its restart before the translation
// table: the tool looks for it 200 times, ReopenGapMs (500 ms) apart, 100 s in all. A gap
// between two lines of a recording longer than that and a margin is no device's (a clock that
// jumped, a recording pieced together): it is played as this long, so that every replay ends.
constexpr int64_t MaxGapMs = 100'000 + 20'000;

// Gaps longer than MaxGapMs are played as MaxGapMs.
ReplayScript buildScript(const TraceRead &trace);

// The command's name, as the protocol names it ("erase"); empty for a byte that is none.
const char *commandName(uint8_t command);
