#pragma once
// mova-sim --replay: a recorded run played back as the device (replay_main.cpp).
#include <iosfwd>

// True when the command line asks for a replay rather than the emulated device.
bool replayRequested(int argc, char **argv);
// Runs the replay; returns the program's exit status (ReplayExit).
int replayMain(int argc, char **argv);
// The replay's part of `mova-sim --help`.
void printReplayUsage(std::ostream &out);

// The replay's exit status: what a test or a support engineer reads from it.
enum class ReplayExit {
    Matched = 0,     // the tool did what the recording holds, to its end
    CannotServe = 1, // the pseudo-terminal or its link could not be set up
    Usage = 2,
    Diverged = 3,    // the tool sent other bytes, more, or stopped early
    TraceUnreadable = 4, // the trace (or the bundle's member) could not be read
};
