#pragma once
#include "run_events.h"

#include <string>

class ConsoleScreen;
struct CliArguments;

// `info` and `update` of one device (a batch's worker runs one too): finds and reads the
// device, says what goes on it, runs the update, and tells the result to the screen, the run
// record, the report and the journal alike. The exit status.
int runDeviceCommand(const CliArguments &a, ConsoleScreen &screen);

// The result of a command that only reads (image-info, list): told to the screen alone.
int finishReading(ConsoleScreen &screen, Outcome outcome, const std::string &text);
