#pragma once
// mova-sim's command line: the devices it serves and how they behave (sim_options.cpp).
#include "pty_emulator.h"

#include <iosfwd>
#include <string>
#include <vector>

// A fault switched on from the start.
struct StartFault {
    std::string name;
    int argument = -1;
    int device = 0; // 0: every device
};

struct SimOptions {
    PtyEmulator::Options emulator; // every device's, before a bench numbers its links and serials
    int devices = 1;
    std::string tracePath;
    std::vector<StartFault> faults;
    // On a bench: when device 1 restarts, device 2 takes its link (and device 1 comes back
    // under its link after reset), as a USB reset that renumbers a device can hand its node to
    // a neighbour.
    bool neighbourAtReset = false;
};

// Reads the command line; throws std::runtime_error saying what is wrong with it. --help
// prints the usage and ends the program.
SimOptions parseSimOptions(int argc, char **argv);

void printUsage(std::ostream &out);

// A number as the options and control lines take it: decimal, 0x hexadecimal or 0 octal.
long simNumber(const std::string &text);

// A whole number made only of digits, or -1: "3x" or "-1" must not pass for a count.
long digitsOnly(const std::string &text);
