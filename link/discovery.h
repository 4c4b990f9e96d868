#pragma once
#include <cstdint>
#include <string>
#include <vector>

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
// Every present tty whose USB device has this id, in the same order and form.
std::vector<std::string> findInterfacePaths(UsbId id);

// A USB serial device present: a tty with a USB parent, or the docking station's converter,
// which the FTDI road opens through its USB device node whatever driver holds it.
struct UsbSerialDevice {
    bool converter = false;
    std::string path; // the device node: the tty, or /dev/bus/usb/BBB/DDD for the converter
    std::string byId; // the /dev/serial/by-id link of a tty, or empty
    UsbId id;
    std::string manufacturer, product, serial; // the USB device's strings (empty when it has none)
    bool mayOpen = false;  // this user may read and write the node
    bool wouldUse = false; // discovery on this road picks it
};

// Every tty with a USB parent, then every USB device whose product string is the docking
// station's, in udev's order. On the tty road the tty findInterfacePath(ttyId) picks is
// marked, on the FTDI road the first such converter.
std::vector<UsbSerialDevice> listUsbSerialDevices(UsbId ttyId, bool ttyRoad);

// "vvvv:pppp", as UsbId::parse reads it.
std::string usbIdText(UsbId id);

// When the tty road found no device with `wanted` but other USB serial devices are present:
// which ones it saw and how to name the right one; empty when it saw none.
std::string unmatchedDevicesHint(const std::vector<UsbSerialDevice> &seen, UsbId wanted);

// Where the tty at `port` sits on the USB, whoever enumerated it: udev's ID_PATH of its node
// (the name /dev/serial/by-path gives it), or the empty text for a node udev does not know
// (a pseudo-terminal) or a port that is not there.
std::string usbTopologyPath(const std::string &port);
