#include "batch_decisions.h"

std::vector<std::optional<BatchWord>> batchWords(const BatchFacts &facts)
{
    std::vector<std::optional<BatchWord>> words(facts.workers.size());
    for (const WorkerFacts &w : facts.workers)
        if (w.state == WorkerState::Identifying)
            return words;
    // Serials are compared as the device's four bytes: two that differ only after a zero
    // byte, or only in bytes a terminal cannot show, are two devices.
    std::map<std::string, int> bySerial;
    for (const WorkerFacts &w : facts.workers)
        if (w.state == WorkerState::Waiting || (w.state == WorkerState::Running && w.told == BatchWord::Go))
            ++bySerial[w.serialHex];
    std::map<std::string, std::string> stayed; // the serials of ended devices still in their sockets
    for (const auto &[port, held] : facts.held)
        if (held.awayAtMs < 0 && !held.serialHex.empty())
            stayed[held.serialHex] = port;
    for (size_t i = 0; i < facts.workers.size(); ++i) {
        const WorkerFacts &w = facts.workers[i];
        if (w.state != WorkerState::Waiting)
            continue;
        const auto held = facts.held.find(w.port);
        const auto twin = stayed.find(w.serialHex);
        if (bySerial[w.serialHex] > 1 || (twin != stayed.end() && twin->second != w.port))
            words[i] = BatchWord::Refuse;
        else if (held != facts.held.end() && held->second.updated && held->second.serialHex == w.serialHex &&
                 held->second.awayAtMs >= 0 && facts.nowMs - held->second.awayAtMs < RestartGraceMs)
            words[i] = BatchWord::Skip; // it restarted after its update: the same device, not the next
        else if (facts.stopping)
            words[i] = BatchWord::Skip;
        else
            words[i] = BatchWord::Go;
    }
    return words;
}
