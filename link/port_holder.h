#pragma once
#include <string>

// Which run of this tool holds the terminal at `path` locked (the lock every open of this
// tool takes), in words: a batch's worker by the batch it updates the device for ("the batch
// 20261209T101500-4242 (process 4250)"), another run by its process ("the update run of
// process 4250 (mova-update)"); empty when none does (another program may hold it).
std::string portHolder(const std::string &path);
