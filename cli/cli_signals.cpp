#include "cli_signals.h"
#include "clock.h"
#include "session.h"

#include <csignal>
#include <fcntl.h>
#include <iostream>
#include <unistd.h>

void CliSignalPolicy::operator()(int signalNumber)
{
    if (!session_.updateRunning) {
        leave_(signalNumber);
        return;
    }
    if (signalNumber == SIGHUP) {
        dropOutput();
        return;
    }
    const int64_t now = realClock().nowMs();
    if (firstAt_ >= 0 && now - firstAt_ <= SecondSignalWithinMs) {
        session_.stopRequested = true;
        return;
    }
    firstAt_ = now;
    if (!warn_)
        return;
    std::cout << std::endl;
    std::cerr << "mova-update: an update is running; stopping now leaves the device without working "
                 "firmware. Press Ctrl-C again within 5 s to stop anyway."
              << std::endl;
}

void CliSignalPolicy::dropOutput()
{
    const int nowhere = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (nowhere < 0)
        return;
    ::dup2(nowhere, STDIN_FILENO);
    ::dup2(nowhere, STDOUT_FILENO);
    ::dup2(nowhere, STDERR_FILENO);
    ::close(nowhere);
}
