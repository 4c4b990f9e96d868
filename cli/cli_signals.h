#pragma once
#include <cstdint>
#include <functional>
#include <string>

struct Session;

// What a stop signal does to the command line. Before the device is written to, the program
// ends at once and politely (`leave`, which does not return); while it is written to,
// stopping would leave it without working firmware, so it takes a second Ctrl-C (or
// SIGTERM) within a few seconds to stop, and a lost terminal (SIGHUP) does not stop it at
// all: what the run still prints goes nowhere. A batch's worker does not warn of the second
// signal: its batch says that once for all of its devices.
class CliSignalPolicy {
public:
    CliSignalPolicy(Session &session, std::function<void(int)> leave, bool warn = true)
        : session_(session), leave_(std::move(leave)), warn_(warn)
    {
    }
    void operator()(int signalNumber);

    static constexpr int SecondSignalWithinMs = 5000;
    // The terminal is gone: what is still printed goes nowhere instead of failing.
    static void dropOutput();

private:
    Session &session_;
    std::function<void(int)> leave_;
    bool warn_;
    int64_t firstAt_ = -1;
};
