#pragma once
#include "run_events.h"

#include <string>

class ConsoleScreen;
struct CliArguments;

// What goes onto the device, checked before the device is touched.
struct PayloadCheck {
    std::string error; // "<path>: <reason>", empty when both are fine
    int errorLine = 0; // the firmware text's line where its load stopped, when it names one
    std::string firmwareName, tableName;
    uint32_t firmwareLength = 0;
    int firmwareBlocks = 0, tableBlocks = 0;
    // The blocks the run will send, as it chooses their size for the device's hardware.
    void sizeFor(int hardwareVersion);
};
PayloadCheck checkPayloads(const CliArguments &a, int hardwareVersion);

// `info` and `update` of one device (a batch's worker runs one too): finds and reads the
// device, says what goes on it, runs the update, and tells the result to the screen, the run
// record, the report and the journal alike. The exit status.
int runDeviceCommand(const CliArguments &a, ConsoleScreen &screen);

// The result of a command that only reads (image-info, list): told to the screen alone.
int finishReading(ConsoleScreen &screen, Outcome outcome, const std::string &text);
