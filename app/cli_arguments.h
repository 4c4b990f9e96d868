#pragma once
#include <string>

// The command line of mova-update, read and checked before anything else happens.
struct CliArguments {
    std::string command; // info, update, image-info, or help/version
    std::string file;    // image-info's FILE
    std::string port;
    std::string firmware = ":/FIRMWARE_HEX";
    std::string table = ":/LANGUAGE_TRA";
    bool json = false, yes = false, trace = false, allowLowBattery = false;
    int hardware = 0; // image-info's hardware version; 0 until set or defaulted
    int count = 20;   // log's -n: how many of the last runs
};

// Reads argv into `a`; false with `error` naming the bad argument when it cannot.
// `defaultHardware` is what --hardware is when not given.
bool parseArguments(int argc, char **argv, int defaultHardware, CliArguments &a, std::string &error);

// The whole usage text (for --help) and its first line (after a usage error).
extern const char *const UsageText;
std::string usageLine();
