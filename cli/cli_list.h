#pragma once
#include <string>

class ConsoleScreen;

// mova-update list: every USB serial device and docking station converter present, one event
// each, with the one the build's road would use marked. Returns the result's text.
std::string listUsbDevices(ConsoleScreen &screen, int expectedHardwareVersion);

// After the tty road found nothing (no port given): which other USB serial devices are there
// and how to name the right one, on standard error. Nothing when none are there.
void hintUnmatchedDevices(ConsoleScreen &screen);
