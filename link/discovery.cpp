#include "discovery.h"
#include "abort.h"
#include "build_settings_generated.h"
#include "ftdi_api.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <libudev.h>
#include <memory>
#include <filesystem>
#include <unistd.h>

int findFtdiDevice(FtdiLibrary &library, const std::string &description)
{
    try {
        const FtdiApi &api = library.api();
        ftdi_context *ctx = api.newContext();
        if (!ctx)
            return -1;
        int found = -1;
        {
            const UsbDeviceList devices(api, ctx);
            for (int index = 0; index < devices.size() && found < 0; ++index) {
                char text[64] = {};
                const int status = api.getStrings(ctx, devices[index], nullptr, 0, text, sizeof text - 1, nullptr, 0);
                // A device libftdi could open but not read (one without a product string)
                // stays open in the context, and the next device would be read through it.
                api.closeDev(ctx);
                if (status == 0 && description == text)
                    found = index;
            }
        }
        api.freeContext(ctx);
        return found;
    } catch (const Abort &) {
        return -1; // no library: no docking station can be reached
    }
}

bool UsbId::parse(const std::string &text, UsbId &id)
{
    unsigned vendor = 0, product = 0;
    char tail = 0;
    // %x alone would also take blanks, a sign and a 0x prefix: "-1:0001" would read as ffff.
    if (text.find_first_not_of("0123456789abcdefABCDEF:") != std::string::npos)
        return false;
    if (std::sscanf(text.c_str(), "%4x:%4x%c", &vendor, &product, &tail) != 2)
        return false;
    id.vendor = uint16_t(vendor);
    id.product = uint16_t(product);
    return true;
}

UsbId deviceUsbId()
{
    UsbId id;
    const char *override = std::getenv("QTX_MOVA_USB_ID");
    if (override && UsbId::parse(override, id))
        return id;
    UsbId::parse(QTX_DEVICE_USB_ID, id);
    return id;
}

namespace {

struct UdevDeleter {
    void operator()(udev *u) const { udev_unref(u); }
    void operator()(udev_enumerate *e) const { udev_enumerate_unref(e); }
    void operator()(udev_device *d) const { udev_device_unref(d); }
};
template <typename T> using UdevPtr = std::unique_ptr<T, UdevDeleter>;

bool hasId(udev_device *usb, UsbId id)
{
    auto hex = [&](const char *name) {
        const char *v = udev_device_get_sysattr_value(usb, name);
        return v ? long(std::strtoul(v, nullptr, 16)) : -1L;
    };
    return hex("idVendor") == id.vendor && hex("idProduct") == id.product;
}

std::string byIdLink(udev_device *tty)
{
    // The DEVLINKS property rather than the devlinks list: libudev composes it from the same
    // udev database record, and it is also where a device known only by its uevent (a test
    // bed without a udev database) carries its links.
    const char *links = udev_device_get_property_value(tty, "DEVLINKS");
    for (const char *p = links; p && *p;) {
        const char *end = std::strchr(p, ' ');
        const std::string link(p, end ? size_t(end - p) : std::strlen(p));
        if (link.compare(0, 18, "/dev/serial/by-id/") == 0)
            return link;
        p = end ? end + 1 : "";
    }
    return {};
}

std::string stablePath(udev_device *tty)
{
    if (std::string link = byIdLink(tty); !link.empty())
        return link;
    const char *node = udev_device_get_devnode(tty);
    return node ? node : "";
}

std::string attribute(udev_device *device, const char *name)
{
    const char *value = udev_device_get_sysattr_value(device, name);
    return value ? value : "";
}

UsbSerialDevice describe(udev_device *usb, const char *node)
{
    UsbSerialDevice d;
    d.path = node ? node : "";
    d.id.vendor = uint16_t(std::strtoul(attribute(usb, "idVendor").c_str(), nullptr, 16));
    d.id.product = uint16_t(std::strtoul(attribute(usb, "idProduct").c_str(), nullptr, 16));
    d.manufacturer = attribute(usb, "manufacturer");
    d.product = attribute(usb, "product");
    d.serial = attribute(usb, "serial");
    d.mayOpen = node && ::access(node, R_OK | W_OK) == 0;
    return d;
}

// The devices of one subsystem (and device type), each with udev's view of it.
template <typename Visit> void forEachDevice(udev *context, const char *subsystem, const char *devtype, Visit visit)
{
    UdevPtr<udev_enumerate> scan(udev_enumerate_new(context));
    if (!scan || udev_enumerate_add_match_subsystem(scan.get(), subsystem) < 0 ||
        (devtype && udev_enumerate_add_match_property(scan.get(), "DEVTYPE", devtype) < 0) ||
        udev_enumerate_scan_devices(scan.get()) < 0)
        return;
    for (udev_list_entry *e = udev_enumerate_get_list_entry(scan.get()); e; e = udev_list_entry_get_next(e)) {
        UdevPtr<udev_device> device(udev_device_new_from_syspath(context, udev_list_entry_get_name(e)));
        if (device)
            visit(device.get());
    }
}

} // namespace

std::vector<std::string> findInterfacePaths(UsbId id)
{
    std::vector<std::string> paths;
    UdevPtr<udev> context(udev_new());
    if (!context)
        return paths;
    forEachDevice(context.get(), "tty", nullptr, [&](udev_device *tty) {
        if (!udev_device_get_devnode(tty))
            return;
        // The parent is owned by the child; it is not unreferenced here.
        udev_device *usb = udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_device");
        if (usb && hasId(usb, id))
            if (std::string path = stablePath(tty); !path.empty())
                paths.push_back(std::move(path));
    });
    return paths;
}

std::string findInterfacePath(UsbId id)
{
    const std::vector<std::string> paths = findInterfacePaths(id);
    return paths.empty() ? std::string() : paths.front();
}

std::vector<UsbSerialDevice> listUsbSerialDevices(UsbId ttyId, bool ttyRoad)
{
    std::vector<UsbSerialDevice> found;
    UdevPtr<udev> context(udev_new());
    if (!context)
        return found;
    bool picked = false;
    forEachDevice(context.get(), "tty", nullptr, [&](udev_device *tty) {
        const char *node = udev_device_get_devnode(tty);
        udev_device *usb = udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_device");
        if (!node || !usb)
            return;
        UsbSerialDevice d = describe(usb, node);
        d.byId = byIdLink(tty);
        // The same test as findInterfacePath's, in the same order: the first match is its pick.
        d.wouldUse = ttyRoad && !picked && hasId(usb, ttyId);
        picked = picked || d.wouldUse;
        found.push_back(std::move(d));
    });
    // The converter is known by its product string, as findFtdiDevice knows it: libftdi detaches
    // the kernel's driver, so it may have no tty. Any other converter with its driver bound is
    // listed among the ttys.
    picked = false;
    forEachDevice(context.get(), "usb", "usb_device", [&](udev_device *usb) {
        if (attribute(usb, "product") != DockingStationDescription)
            return;
        UsbSerialDevice d = describe(usb, udev_device_get_devnode(usb));
        d.converter = true;
        d.wouldUse = !ttyRoad && !picked;
        picked = picked || d.wouldUse;
        found.push_back(std::move(d));
    });
    return found;
}

std::string usbIdText(UsbId id)
{
    char text[10];
    std::snprintf(text, sizeof text, "%04x:%04x", unsigned(id.vendor), unsigned(id.product));
    return text;
}

std::string unmatchedDevicesHint(const std::vector<UsbSerialDevice> &seen, UsbId wanted)
{
    std::string lines;
    for (const UsbSerialDevice &d : seen)
        if (!d.converter)
            lines += "  " + d.path + "  " + usbIdText(d.id) + "  " + (d.product.empty() ? "(no product name)" : d.product) + "\n";
    if (lines.empty())
        return {};
    return "no USB serial device with the id " + usbIdText(wanted) + " found, but these are present:\n" + lines +
           "if one of them is the device, name it: QTX_MOVA_USB_ID=vvvv:pppp (its USB id) or --port PATH";
}

std::string usbTopologyPath(const std::string &port)
{
    std::error_code failed;
    const std::string node = std::filesystem::canonical(port, failed).string();
    if (failed)
        return {};
    UdevPtr<udev> context(udev_new());
    std::string topology;
    if (context)
        forEachDevice(context.get(), "tty", nullptr, [&](udev_device *tty) {
            const char *devnode = udev_device_get_devnode(tty);
            const char *path = udev_device_get_property_value(tty, "ID_PATH");
            if (topology.empty() && devnode && path && node == devnode)
                topology = path;
        });
    return topology;
}
