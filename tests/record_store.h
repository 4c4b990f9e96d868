#pragma once
// A run's record in a store of its own folder, and a disk under it that stalls.
#include "file_writer.h"
#include "run_record.h"
#include "trace.h"
#include "update_rig.h"

#include <QDateTime>
#include <QFile>
#include <QJsonValue>
#include <atomic>
#include <chrono>
#include <functional>
#include <sstream>
#include <sys/stat.h>
#include <thread>

// A store in a folder of its own, with what it says on standard error kept.
struct Store {
    QTemporaryDir dir;
    RunStore store;
    std::ostringstream errors;
    Store()
    {
        store.folder = dir.filePath("state/mova-update").toStdString();
        store.errors = &errors;
    }
};

// One run on the rig, recorded in this store from before its first step; its files written.
inline RunResult recordedRun(UpdateRig &rig, RunStore &store, int64_t *startMs = nullptr,
                      const std::function<void()> &ended = {})
{
    RunResult result;
    {
        RunRecord record(rig.clock, rig.session, rig.payloads, store);
        record.begin();
        if (startMs)
            *startMs = rig.clock.nowMs();
        result = runAndEnd(rig.session, rig.screen, rig.clock, rig.payloads, &record);
    }
    if (ended)
        ended();
    FileWriter::drain();
    return result;
}

// A disk that stalls for 8 s, three times, once the trace is under way: where the device's
// thread asks it, the run's own clock loses that time; the file writer's thread is held
// until the run has ended, its trace's queue falling behind meanwhile.
struct StalledDisk {
    static inline VirtualClock *clock = nullptr;
    static inline std::thread::id deviceThread;
    static inline std::atomic<bool> released {false};
    static inline int stalls = 0;
    static long long freeSpace(int fd)
    {
        struct stat st {};
        if (::fstat(fd, &st) == 0 && st.st_size > 0 && stalls < 3) {
            ++stalls;
            if (std::this_thread::get_id() == deviceThread)
                clock->advanceBy(8000);
            else
                while (!released)
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return -1;
    }
    StalledDisk(VirtualClock &c) : systemFigure(Trace::freeSpace), queueCap(Trace::queueCapBytes)
    {
        clock = &c, deviceThread = std::this_thread::get_id(), released = false, stalls = 0;
        Trace::freeSpace = freeSpace;
        Trace::queueCapBytes = 16 << 10;
    }
    void release() { released = true; }
    ~StalledDisk()
    {
        release();
        FileWriter::drain();
        Trace::freeSpace = systemFigure, Trace::queueCapBytes = queueCap;
    }
    long long (*systemFigure)(int);
    size_t queueCap;
};

inline QDateTime when(const QJsonValue &v)
{
    return QDateTime::fromString(v.toString(), Qt::ISODateWithMs);
}


// The longest the device heard nothing from the host, on the run's clock.
inline int64_t longestHostPause(UpdateRig &rig)
{
    int64_t pause = 0, last = -1;
    for (const auto &e : rig.device.model().trace())
        if (e.direction == '<')
            pause = std::max(pause, last < 0 ? 0 : e.ms - last), last = e.ms;
    return pause;
}
