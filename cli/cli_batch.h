#pragma once
#include "cli_arguments.h"

#include <string>

// Several devices on the command line: each is updated by a worker process of its own (this
// program on that one port, with --json), side by side, or one after another as they are
// plugged in (--repeat). A worker's run is exactly the single update, and a failure stays
// with its device. Before a worker writes its device, the batch compares the serials it has
// seen, so that two devices with one serial are both refused and a device back after its
// own restart is not updated twice. Returns the batch's exit status.
int runBatch(const CliArguments &a, bool json, bool liveLines);
