#pragma once
#include <functional>

// The files the programs keep (the byte trace, the run record, the kept trace, the report,
// the result hook's log) are written by a thread of their own, one job after another in the
// order they were asked for: a disk that stalls (an SD card under writeback, a network home
// folder) holds that thread, never the one that times the device. Whatever is still queued
// when the program ends is done before it leaves (after the device has been let go).
namespace FileWriter {

// Queues `job`; it runs on the writer's thread once every job queued before it is done.
void post(std::function<void()> job);
// Waits until every job queued so far is done; `limitMs` < 0 waits as long as that takes.
// False when some were left. Called only where nothing waits on the device any more.
bool drain(int limitMs = -1);
// Declared first in main(): whatever is queued is done as main() ends, before the program's
// statics go (a job queued then would meet them gone).
struct DrainAtEnd {
    DrainAtEnd() = default;
    DrainAtEnd(const DrainAtEnd &) = delete;
    ~DrainAtEnd() { drain(); }
};
// True on the writer's own thread.
bool onWriterThread();

// For the benchmarks: QTX_MOVA_TEST_FILE_STALL="MS[xCOUNT]" holds the writer for MS
// milliseconds before a trace's write, the first time its file has grown past each whole MiB,
// COUNT times at most (1 when not given), as a stalled disk would.
int stallBeforeWrite(long fileBytes);

} // namespace FileWriter
