#pragma once
#include "payload_file.h"
#include "run_filter.h"
#include "run_history.h"
#include "socket_names.h"

#include <string>
#include <vector>

// The command line of mova-update, read and checked before anything else happens.
struct CliArguments {
    std::string command; // info, update, image-info, or help/version
    std::string file;    // image-info's FILE
    std::vector<std::string> ports; // --port, as often as given
    std::string firmware = CarriedFirmware;
    std::string table = CarriedTable;
    bool json = false, yes = false, trace = false, allowLowBattery = false;
    bool reinstall = false;  // a device that has the carried firmware already is written all the same
    bool allowOlder = false; // the carried firmware goes on a device whose own is newer
    int hardware = 0; // image-info's hardware version; 0 until set or defaulted
    int count = DefaultLogRuns; // log's -n: how many of the last runs
    std::string exportTo; // log's --export: the support bundle to write
    RunFilter filter;     // log's --serial, --since, --until, --failed, --outcome
    bool journal = false; // log's --journal: the runs from the system journal
    std::string journalDir; // log's --journal-dir: from the journal files there
    // Several devices: every matching one present (--all), one after another (--repeat, at
    // most `devices` of them; 0 for no limit), a row for each in `report`.
    bool all = false, repeat = false;
    int devices = 0;
    std::string report;
    std::string onResult; // the program run after each device's update (--on-result)
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
