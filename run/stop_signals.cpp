#include "stop_signals.h"

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace {

int pipeEnds[2] = {-1, -1};

void onSignalCaught(int signalNumber)
{
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    [[maybe_unused]] const ssize_t n = ::write(pipeEnds[1], &byte, 1); // a full pipe drops it: one is enough
    errno = saved;
}

} // namespace

struct StopSignals::Saved {
    std::vector<std::pair<int, struct sigaction>> actions;
};

StopSignals::StopSignals(std::initializer_list<int> signalNumbers, std::function<void(int)> onSignal)
    : onSignal_(std::move(onSignal)), saved_(std::make_unique<Saved>())
{
    if (::pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK) != 0)
        return; // without the pipe the signals keep their default: they end the program
    notifier_ = std::make_unique<QSocketNotifier>(pipeEnds[0], QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { deliver(); });
    struct sigaction action {};
    action.sa_handler = onSignalCaught;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART; // a read of the device is not cut short by a keystroke
    for (int number : signalNumbers) {
        struct sigaction before {};
        if (::sigaction(number, &action, &before) == 0)
            saved_->actions.emplace_back(number, before);
    }
}

StopSignals::~StopSignals()
{
    for (const auto &[number, before] : saved_->actions)
        ::sigaction(number, &before, nullptr);
    notifier_.reset();
    for (int &end : pipeEnds) {
        if (end >= 0)
            ::close(end);
        end = -1;
    }
}

void StopSignals::deliver()
{
    unsigned char bytes[16];
    ssize_t n;
    while ((n = ::read(pipeEnds[0], bytes, sizeof bytes)) > 0)
        for (ssize_t i = 0; i < n; ++i)
            onSignal_(bytes[i]);
}
