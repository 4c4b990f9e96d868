#pragma once
#include "batch.h"
#include "run_filter.h"
#include "run_history.h"
#include "socket_names.h"

#include <string>
#include <vector>

// The command line of mova-update, read and checked before anything else happens. A batch's
// options (BatchOptions) are read into its own fields, and a single update reads them too.
struct CliArguments : BatchOptions {
    std::string command; // info, update, image-info, or help/version
    std::string file;    // image-info's FILE
    bool json = false;
    int hardware = 0; // image-info's hardware version; 0 until set or defaulted
    int count = DefaultLogRuns; // log's -n: how many of the last runs
    std::string exportTo; // log's --export: the support bundle to write
    RunFilter filter;     // log's --serial, --since, --until, --failed, --outcome
    bool journal = false; // log's --journal: the runs from the system journal
    std::string journalDir; // log's --journal-dir: from the journal files there
    bool all = false; // several devices: every matching one present
    std::vector<std::string> labels; // --label NAME=PATH, as given
    std::string socket; // a batch's worker: the name of its device's socket
    std::string worker; // set when a batch runs this update of one device: the batch's id
    std::string runId;  // and the id of its device's run, made by the batch as it started the worker
    bool batch() const { return all || repeat || ports.size() > 1; }
};

// The station's socket names, its --label names over them; false with the reason.
bool socketNames(const CliArguments &a, SocketNames &names, std::string &error);

// Reads argv into `a`; false with `error` naming the bad argument when it cannot.
// `defaultHardware` is what --hardware is when not given.
bool parseArguments(int argc, char **argv, int defaultHardware, CliArguments &a, std::string &error);

// The whole usage text (for --help) and its first line (after a usage error).
extern const char *const UsageText;
std::string usageLine();
