#pragma once
#include <functional>
#include <initializer_list>
#include <memory>

class QSocketNotifier;

// Signals that ask the program to stop, taken out of signal context: the handler only writes
// the signal's number into a pipe, and the event loop hands it to `onSignal` at its next
// turn (a wait or a pump of the run), where the link may be used and texts printed.
// One instance at a time; the previous dispositions come back when it goes.
class StopSignals {
public:
    StopSignals(std::initializer_list<int> signalNumbers, std::function<void(int)> onSignal);
    ~StopSignals();
    StopSignals(const StopSignals &) = delete;
    StopSignals &operator=(const StopSignals &) = delete;

private:
    void deliver();

    std::function<void(int)> onSignal_;
    std::unique_ptr<QSocketNotifier> notifier_;
    struct Saved;
    std::unique_ptr<Saved> saved_;
};
