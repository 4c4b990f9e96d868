#pragma once
#include "device_record.h"

class UsbConnection;

// Who answers on a line opened again to a device that restarted: a path is only where a
// device was, and another one may have taken it meanwhile (a USB reset that renumbers the
// planned device, a neighbour plugged in, the next unit swapped into the socket).
enum class Answerer {
    Planned, // the same hardware and the same serial bytes as the device planned
    Other,   // another device: it says who it is, and it is not the one planned
    Unknown, // nobody said who they are
};

// Asks the device on the line who it is (0x66) and compares it with the plan; `found` gets
// what it said, when it said anything. Nothing is written to the device but the question.
Answerer whoAnswers(UsbConnection &link, const DeviceRecord &planned, DeviceRecord &found);
