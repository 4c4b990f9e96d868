#include "file_writer.h"

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <pthread.h>
#include <thread>

namespace {

struct JobQueue {
    std::mutex m;
    std::condition_variable work, idle;
    std::deque<std::function<void()>> jobs;
    bool busy = false, started = false;
    std::thread::id thread;
};

// Never destroyed: a job queued by a static destructor still finds it.
JobQueue &jobQueue()
{
    static JobQueue *q = new JobQueue;
    return *q;
}

void serveJobs()
{
    JobQueue &q = jobQueue();
    std::unique_lock lock(q.m);
    for (;;) {
        q.work.wait(lock, [&] { return !q.jobs.empty(); });
        std::function<void()> job = std::move(q.jobs.front());
        q.jobs.pop_front();
        q.busy = true;
        lock.unlock();
        job();
        job = nullptr; // what it held goes before the queue is said to be idle
        lock.lock();
        q.busy = false;
        if (q.jobs.empty())
            q.idle.notify_all();
    }
}

void drainAtExit()
{
    FileWriter::drain();
}

// The thread, started on first use. Called with the lock held.
void startWriter(JobQueue &q)
{
    if (q.started)
        return;
    q.started = true;
    // Signals are for the thread that times the device to hear.
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    std::thread t(serveJobs);
    q.thread = t.get_id();
    t.detach();
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    std::atexit(drainAtExit);
}

struct Stall {
    int ms = 0, left = 0;
    long nextAt = 1L << 20;
};

Stall stallFromEnvironment()
{
    Stall s;
    const char *v = std::getenv("QTX_MOVA_TEST_FILE_STALL");
    if (!v || !*v)
        return s;
    char *end = nullptr;
    s.ms = int(std::strtol(v, &end, 10));
    s.left = end && *end == 'x' ? int(std::strtol(end + 1, nullptr, 10)) : 1;
    return s;
}

} // namespace

void FileWriter::post(std::function<void()> job)
{
    JobQueue &q = jobQueue();
    {
        std::lock_guard lock(q.m);
        startWriter(q);
        q.jobs.push_back(std::move(job));
    }
    q.work.notify_one(); // after the lock: the writer woken does not wait for it at once
}

bool FileWriter::drain(int limitMs)
{
    JobQueue &q = jobQueue();
    std::unique_lock lock(q.m);
    if (q.started && std::this_thread::get_id() == q.thread)
        return q.jobs.empty(); // a job cannot wait for itself
    auto done = [&] { return q.jobs.empty() && !q.busy; };
    if (limitMs < 0) {
        q.idle.wait(lock, done);
        return true;
    }
    return q.idle.wait_for(lock, std::chrono::milliseconds(limitMs), done);
}

bool FileWriter::onWriterThread()
{
    JobQueue &q = jobQueue();
    std::lock_guard lock(q.m);
    return q.started && std::this_thread::get_id() == q.thread;
}

int FileWriter::stallBeforeWrite(long fileBytes)
{
    static Stall stall = stallFromEnvironment(); // only the writer's thread comes here
    if (stall.left <= 0 || fileBytes < stall.nextAt)
        return 0;
    while (stall.nextAt <= fileBytes)
        stall.nextAt += 1L << 20;
    --stall.left;
    std::this_thread::sleep_for(std::chrono::milliseconds(stall.ms));
    return stall.ms;
}
