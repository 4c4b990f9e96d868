#pragma once
#include <string>

// A run's claim on the port it updates a device through, held for the run's life: the device
// leaves its port while it restarts, and a run started meanwhile must hear that the port is
// busy with this run, not that nothing is there. The claim is a locked file in `folder`'s
// ports/ (the record's folder: one per user, as the runs are), naming the run in `who`
// ("the batch 20261209T101500-4242 (process 4250)"). No folder, or a port another run holds
// already: nothing is claimed, and the open that follows says why.
class PortClaim {
public:
    PortClaim(const std::string &folder, const std::string &port, const std::string &who);
    ~PortClaim();
    PortClaim(const PortClaim &) = delete;
    PortClaim &operator=(const PortClaim &) = delete;

private:
    int fd_ = -1;
};

// The run that holds its claim on `port` now, in its own words; empty when none does (or this
// process does).
std::string portClaimant(const std::string &folder, const std::string &port);
