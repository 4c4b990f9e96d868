#include "device_listing.h"
#include "safe_text.h"
#include "session.h"

namespace {

std::string shownOrNone(const std::string &text)
{
    return text.empty() ? "-" : shownText(text);
}

} // namespace

std::vector<UsbSerialDevice> presentUsbDevices(int expectedHardwareVersion)
{
    Session build;
    build.expectedHardwareVersion = expectedHardwareVersion;
    return listUsbSerialDevices(deviceUsbId(), build.ttyRoad());
}

std::string usbDeviceText(const UsbSerialDevice &d)
{
    return shownText(d.path) + (d.wouldUse ? "  (would use)" : "") + "\n  kind          " +
           (d.converter ? "docking station converter" : "USB serial terminal") + "\n  by-id         " +
           shownOrNone(d.byId) + "\n  USB id        " + usbIdText(d.id) + "\n  manufacturer  " +
           shownOrNone(d.manufacturer) + "\n  product       " + shownOrNone(d.product) + "\n  serial number " +
           shownOrNone(d.serial) + "\n  access        " +
           (d.mayOpen ? "may open" : "may not open (no read and write permission)");
}

std::string usbListText(int expectedHardwareVersion)
{
    const std::vector<UsbSerialDevice> devices = presentUsbDevices(expectedHardwareVersion);
    if (devices.empty())
        return std::string(NoUsbDeviceFound) + "\n";
    std::string text;
    for (const UsbSerialDevice &d : devices)
        text += usbDeviceText(d) + "\n";
    return text;
}
