#pragma once
#include <cstdint>
#include <string>

class FtdiLibrary;

// The converter of the docking station, as its USB product string reads.
inline constexpr const char *DockingStationDescription = "Halvery USB Docking station";

// Index of the first USB device whose product string equals `description` exactly, in the
// list of every USB device that the FTDI road opens by index (whatever the device's USB id);
// -1 when there is none or no library.
int findFtdiDevice(FtdiLibrary &library, const std::string &description);

struct UsbId {
    uint16_t vendor = 0;
    uint16_t product = 0;
    // "vvvv:pppp" in hexadecimal; false when the text is not of that form.
    static bool parse(const std::string &text, UsbId &id);
};

// The device's USB id for discovery: $QTX_MOVA_USB_ID when it parses, else the build's.
UsbId deviceUsbId();

// The path of the first present tty whose USB device has this id, or the empty text.
// The stable /dev/serial/by-id link is preferred: the device re-enumerates after its
// reset, and its ttyACM number can change.
std::string findInterfacePath(UsbId id);
