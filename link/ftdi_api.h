#pragma once
#include <ftdi.h>
#include <libusb.h>
#include <string>

// The entry points of libftdi1 that the FTDI road uses, filled with dlsym when the
// library is first needed. Tests put their own table or library in its place.
struct FtdiApi {
    decltype(&ftdi_new) newContext = nullptr;
    decltype(&ftdi_free) freeContext = nullptr;
    decltype(&ftdi_usb_get_strings) getStrings = nullptr;
    decltype(&ftdi_usb_open_bus_addr) openBusAddr = nullptr;
    decltype(&ftdi_usb_close) closeDev = nullptr;
    decltype(&ftdi_set_baudrate) setBaudrate = nullptr;
    decltype(&ftdi_set_line_property) setLineProperty = nullptr;
    decltype(&ftdi_set_latency_timer) setLatencyTimer = nullptr;
    decltype(&ftdi_read_data_set_chunksize) setReadChunkSize = nullptr;
    decltype(&ftdi_tcioflush) purge = nullptr;
    decltype(&ftdi_read_data) readData = nullptr;
    decltype(&ftdi_write_data) writeData = nullptr;
    decltype(&ftdi_get_error_string) errorString = nullptr;
    // libftdi's own search knows only FTDI's ids, and a docking station may carry its
    // own: the road lists every USB device itself, through the libusb that libftdi1
    // loaded, so the list and the library's contexts belong to the same libusb.
    decltype(&libusb_get_device_list) deviceList = nullptr;
    decltype(&libusb_free_device_list) freeDeviceList = nullptr;
    decltype(&libusb_get_bus_number) busNumber = nullptr;
    decltype(&libusb_get_device_address) deviceAddress = nullptr;
};

// Every USB device of the system, in libusb's order: the list in which a converter's
// index counts, for discovery and for opening alike. Empty when libusb cannot list.
class UsbDeviceList {
public:
    UsbDeviceList(const FtdiApi &api, ftdi_context *ctx);
    ~UsbDeviceList();
    UsbDeviceList(const UsbDeviceList &) = delete;
    UsbDeviceList &operator=(const UsbDeviceList &) = delete;

    int size() const { return count_; }
    libusb_device *operator[](int index) const { return devices_[index]; }

private:
    const FtdiApi &api_;
    libusb_device **devices_ = nullptr;
    int count_ = 0;
};

// libftdi1, loaded on first use. A library that cannot be loaded, or lacks an entry point,
// raises Abort with "Error by load dll '<name>" or "Failed to get proc in '<name>"; the
// link's callers catch it where a missing library simply means "no device".
class FtdiLibrary {
public:
    explicit FtdiLibrary(std::string name);
    // A library made of a ready table (tests in virtual time).
    FtdiLibrary(std::string name, const FtdiApi &table);
    ~FtdiLibrary();
    FtdiLibrary(const FtdiLibrary &) = delete;
    FtdiLibrary &operator=(const FtdiLibrary &) = delete;

    const FtdiApi &api();
    const std::string &name() const { return name_; }

    // The program's library: $QTX_FTDI_LIBRARY if set, else the system's libftdi1.
    static FtdiLibrary &system();
    static constexpr const char *defaultName = "libftdi1.so.2";

private:
    std::string name_;
    void *handle_ = nullptr;
    bool loaded_ = false;
    FtdiApi api_;
};
