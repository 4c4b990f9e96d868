#pragma once
#include <cstdint>
#include <functional>

// Every wait of the program goes through one Clock, so that the whole protocol can run in
// virtual time in tests and in real time against a device.
class Clock {
public:
    virtual ~Clock() = default;
    // Monotonic milliseconds; only differences mean anything.
    virtual int64_t nowMs() = 0;
    // A protocol wait during which the GUI keeps repainting (the event loop runs).
    virtual void wait(int ms) = 0;
    // A short pause inside one transfer; nothing else runs meanwhile.
    virtual void sleep(int ms) = 0;
    // Let pending GUI events run once.
    virtual void pump() = 0;
};

// The clock of the running program: steady time, Qt's event loop for waits and pumps.
Clock &realClock();

// Test clock: time moves only when something waits, and at once.
class VirtualClock : public Clock {
public:
    explicit VirtualClock(int64_t start = 1'000'000) : now_(start) {}
    int64_t nowMs() override { return now_; }
    void wait(int ms) override;
    void sleep(int ms) override { advanceBy(ms); }
    void pump() override;
    void advanceTo(int64_t t) { if (t > now_) now_ = t; }
    void advanceBy(int64_t ms) { if (ms > 0) now_ += ms; }
    // Counts of what the code under test asked for, for tests of pacing.
    int64_t waitedMs = 0;
    int pumps = 0;
    // When set, pump() also runs Qt's pending events (for tests that drive widgets).
    bool runEvents = false;
    // Called at every pump: what a test lets happen while the code under test repaints.
    std::function<void()> onPump;

private:
    int64_t now_;
};
