#pragma once
#include "batch.h"

#include <QStringList>
#include <string>
#include <vector>

// How a station runs: its settings file (station.conf), with the command line over it for
// one run. The words are mova-update's batch words, so that a line that moves from the
// command line to the window keeps what it wrote.
// The batch's options it takes as they are (ports, report, devices for --count, the firmware
// and table, on_result, reinstall, allow_older, the worker program) are its BatchOptions;
// batchOptions() adds what a station decides itself.
struct StationSettings : BatchOptions {
    std::vector<std::string> labels; // --label NAME=PATH, over the sockets file
    bool quitAtEnd = false;          // the window closes by itself once the batch has ended
    bool sound = true;               // a failure plays the alert sound
    bool batteryGuard = false;       // a device below the battery guard is not written
    bool askBeforeRecording = false; // a device that may hold a recording is not written

    // $XDG_CONFIG_HOME/qtx-mova-update/station.conf, or under ~/.config.
    static std::string standardFile();
    // Why the settings file was refused ("FILE:LINE: KEY: ..."); empty when it was read. A
    // station does not start on settings nobody meant.
    std::string refused;

    // Reads `file` (one that does not exist changes nothing): each line KEY=VALUE, a switch
    // true/false, yes/no, on/off or 1/0. A malformed line, an unknown or repeated key or
    // another word for a switch refuses the whole file: false, with `refused` saying where.
    bool load(const std::string &file);
    // The batch these settings ask for, its sockets named by the sockets file and --label;
    // false with the reason when the settings file was refused or a name cannot be read.
    bool batchOptions(BatchOptions &options, std::string &error) const;
};

// Sets `key` to `value` in the settings file `file`: its line replaced, or added when no line
// sets it, every other line (comments too) as it was; false with the reason.
bool keepSetting(const std::string &file, const std::string &key, const std::string &value, std::string &error);

enum class StationCommand { Run, Help, Failed };

// Reads the command line (without the program's name) over `s`; Failed with `error`.
StationCommand parseStationArguments(const QStringList &arguments, StationSettings &s, std::string &error);

// The worker program: mova-update beside `folder` (the station's own), else the build
// tree's ../cli/mova-update, else mova-update from PATH.
std::string findWorkerProgram(const std::string &folder);

extern const char *const StationUsage;
