#include "cli_list.h"
#include "console_screen.h"
#include "discovery.h"
#include "safe_text.h"
#include "session.h"

namespace {


std::string orNone(const std::string &text)
{
    return text.empty() ? "-" : shownText(text);
}

} // namespace

std::string listUsbDevices(ConsoleScreen &screen, int expectedHardwareVersion)
{
    Session build;
    build.expectedHardwareVersion = expectedHardwareVersion;
    const std::vector<UsbSerialDevice> devices = listUsbSerialDevices(deviceUsbId(), build.ttyRoad());
    for (const UsbSerialDevice &d : devices) {
        const std::string kind = d.converter ? "converter" : "tty";
        const std::string plain = shownText(d.path) + (d.wouldUse ? "  (would use)" : "") + "\n  kind          " +
                                  (d.converter ? "docking station converter" : "USB serial terminal") +
                                  "\n  by-id         " + orNone(d.byId) + "\n  USB id        " + usbIdText(d.id) +
                                  "\n  manufacturer  " + orNone(d.manufacturer) + "\n  product       " +
                                  orNone(d.product) + "\n  serial number " + orNone(d.serial) +
                                  "\n  access        " +
                                  (d.mayOpen ? "may open" : "may not open (no read and write permission)");
        screen.event(JsonLine::event("usb_device")
                         .text("kind", kind)
                         .text("path", d.path)
                         .text("by_id", d.byId)
                         .text("usb_id", usbIdText(d.id))
                         .text("manufacturer", d.manufacturer)
                         .text("product", d.product)
                         .text("serial", d.serial)
                         .text("serial_hex", hexBytes(d.serial))
                         .flag("may_open", d.mayOpen)
                         .flag("would_use", d.wouldUse),
                     plain);
    }
    if (!devices.empty())
        return std::to_string(devices.size()) + " USB serial device" + (devices.size() == 1 ? "" : "s") + " found";
    const std::string none = "no USB serial device found";
    screen.event(JsonLine::event("note").text("text", none), none);
    return none;
}

void hintUnmatchedDevices(ConsoleScreen &screen)
{
    // The strings a USB device chose for itself are shown escaped, line by line.
    std::vector<UsbSerialDevice> seen = listUsbSerialDevices(deviceUsbId(), true);
    for (UsbSerialDevice &d : seen)
        d.path = shownText(d.path), d.product = shownText(d.product);
    const std::string hint = unmatchedDevicesHint(seen, deviceUsbId());
    if (!hint.empty())
        screen.event(JsonLine::event("hint").text("text", hint), hint, true);
}
