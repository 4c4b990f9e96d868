#include "clock.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <chrono>
#include <thread>

namespace {

class QtClock : public Clock {
public:
    int64_t nowMs() override
    {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    }

    void wait(int ms) override
    {
        if (ms <= 0)
            return;
        if (!QCoreApplication::instance()) {
            sleep(ms);
            return;
        }
        // A nested event loop that a timer ends: the thread sleeps in the kernel between
        // events, so an idle wait costs no CPU, and the windows keep repainting.
        QEventLoop loop;
        QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
        loop.exec();
    }

    void sleep(int ms) override
    {
        if (ms > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }

    void pump() override
    {
        if (QCoreApplication::instance())
            QCoreApplication::processEvents();
    }
};

} // namespace

Clock &realClock()
{
    static QtClock clock;
    return clock;
}

void VirtualClock::wait(int ms)
{
    if (ms > 0) {
        waitedMs += ms;
        now_ += ms;
    }
    pump();
}

void VirtualClock::pump()
{
    ++pumps;
    if (onPump)
        onPump();
    if (runEvents && QCoreApplication::instance())
        QCoreApplication::processEvents();
}
