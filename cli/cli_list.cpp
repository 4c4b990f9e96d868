#include "cli_list.h"
#include "batch_words.h"
#include "console_screen.h"
#include "device_listing.h"
#include "discovery.h"
#include "safe_text.h"

std::string listUsbDevices(ConsoleScreen &screen, int expectedHardwareVersion)
{
    const std::vector<UsbSerialDevice> devices = presentUsbDevices(expectedHardwareVersion);
    for (const UsbSerialDevice &d : devices) {
        const std::string kind = d.converter ? "converter" : "tty";
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
                     usbDeviceText(d));
    }
    if (!devices.empty())
        return std::to_string(devices.size()) + " USB serial device" + (devices.size() == 1 ? "" : "s") + " found";
    const std::string none = NoUsbDeviceFound;
    screen.event(JsonLine::event(EventName::Note).text("text", none), none);
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
        screen.event(JsonLine::event(EventName::Hint).text("text", hint), hint, true);
}
