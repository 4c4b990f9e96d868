#pragma once
#include "batch_words.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

// A device that comes back on its port with the serial just updated within this time has
// restarted by itself; one unplugged for longer is the operator's, to be updated again.
constexpr int64_t RestartGraceMs = 10'000;

// Where a worker is: finding out who its device is, waiting for the batch's word, updating
// (or leaving) its device as told, or ended.
enum class WorkerState { Identifying, Waiting, Running, Done };

// A worker as the batch's decisions see it.
struct WorkerFacts {
    std::string port;
    std::string serialHex; // the device's four bytes exactly, which tell devices apart
    WorkerState state = WorkerState::Identifying;
    std::optional<BatchWord> told; // the word it was sent
};

// A port whose device's worker ended, updated or not: its device is left alone until it is
// unplugged. One whose update failed is taken again whenever it is plugged back in.
struct HeldPort {
    std::string serialHex;
    int64_t awayAtMs = -1; // when the device was seen gone or changed; -1: still in its socket
    bool updated = false;  // its last update succeeded: back within the restart, it restarted by itself
};

// All a decision needs, at one moment of the batch's clock.
struct BatchFacts {
    std::vector<WorkerFacts> workers;
    std::map<std::string, HeldPort> held; // by port
    int64_t nowMs = 0;
    bool stopping = false; // no further device is to be updated
};

// The word for each of `facts.workers`, in their order: none for a worker that is not
// waiting for one, and none for any while a worker is still finding out who its device is
// (the serials of all of them are known after that). A serial another device has (waiting,
// going on, or ended and still in its socket) is refused; the device just updated
// successfully on the same port, back within RestartGraceMs, is skipped, and so is every
// device once the batch stops; any other goes (a device whose update failed among them).
std::vector<std::optional<BatchWord>> batchWords(const BatchFacts &facts);
