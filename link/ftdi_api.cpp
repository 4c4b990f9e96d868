#include "ftdi_api.h"
#include "abort.h"

#include <cstdlib>
#include <dlfcn.h>
#include <type_traits>

FtdiLibrary::FtdiLibrary(std::string name) : name_(std::move(name)) {}

FtdiLibrary::FtdiLibrary(std::string name, const FtdiApi &table)
    : name_(std::move(name)), loaded_(true), api_(table)
{
}

FtdiLibrary::~FtdiLibrary()
{
    if (handle_)
        dlclose(handle_);
}

const FtdiApi &FtdiLibrary::api()
{
    if (loaded_)
        return api_;
    // A failed load is tried again at the next use, so a library installed while the
    // program runs is found.
    void *handle = dlopen(name_.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle)
        throw Abort("Error by load dll '" + name_);
    FtdiApi table;
    bool complete = true;
    auto bind = [&](auto &slot, const char *symbol) {
        slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(dlsym(handle, symbol));
        complete = complete && slot != nullptr;
    };
    bind(table.newContext, "ftdi_new");
    bind(table.freeContext, "ftdi_free");
    bind(table.getStrings, "ftdi_usb_get_strings");
    bind(table.openBusAddr, "ftdi_usb_open_bus_addr");
    bind(table.closeDev, "ftdi_usb_close");
    bind(table.setBaudrate, "ftdi_set_baudrate");
    bind(table.setLineProperty, "ftdi_set_line_property");
    bind(table.setLatencyTimer, "ftdi_set_latency_timer");
    bind(table.setReadChunkSize, "ftdi_read_data_set_chunksize");
    bind(table.purge, "ftdi_tcioflush");
    bind(table.readData, "ftdi_read_data");
    bind(table.writeData, "ftdi_write_data");
    bind(table.errorString, "ftdi_get_error_string");
    // Found through the handle: its search takes in the libraries libftdi1 depends on.
    bind(table.deviceList, "libusb_get_device_list");
    bind(table.freeDeviceList, "libusb_free_device_list");
    bind(table.busNumber, "libusb_get_bus_number");
    bind(table.deviceAddress, "libusb_get_device_address");
    if (!complete) {
        dlclose(handle);
        throw Abort("Failed to get proc in '" + name_);
    }
    handle_ = handle;
    api_ = table;
    loaded_ = true;
    return api_;
}

UsbDeviceList::UsbDeviceList(const FtdiApi &api, ftdi_context *ctx) : api_(api)
{
    const ssize_t count = api.deviceList(ctx->usb_ctx, &devices_);
    if (count > 0)
        count_ = int(count);
}

UsbDeviceList::~UsbDeviceList()
{
    if (devices_)
        api_.freeDeviceList(devices_, 1);
}

FtdiLibrary &FtdiLibrary::system()
{
    static FtdiLibrary library([] {
        const char *override = std::getenv("QTX_FTDI_LIBRARY");
        return std::string(override && *override ? override : defaultName);
    }());
    return library;
}
