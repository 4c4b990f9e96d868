#pragma once
#include <ftdi.h>
#include <string>

// The entry points of libftdi1 that the FTDI road uses, filled with dlsym when the
// library is first needed. Tests put their own table or library in its place.
struct FtdiApi {
    decltype(&ftdi_new) newContext = nullptr;
    decltype(&ftdi_free) freeContext = nullptr;
    decltype(&ftdi_usb_find_all) findAll = nullptr;
    decltype(&ftdi_list_free) listFree = nullptr;
    decltype(&ftdi_usb_get_strings) getStrings = nullptr;
    decltype(&ftdi_usb_open_dev) openDev = nullptr;
    decltype(&ftdi_usb_close) closeDev = nullptr;
    decltype(&ftdi_set_baudrate) setBaudrate = nullptr;
    decltype(&ftdi_set_line_property) setLineProperty = nullptr;
    decltype(&ftdi_set_latency_timer) setLatencyTimer = nullptr;
    decltype(&ftdi_read_data_set_chunksize) setReadChunkSize = nullptr;
    decltype(&ftdi_tcioflush) purge = nullptr;
    decltype(&ftdi_read_data) readData = nullptr;
    decltype(&ftdi_write_data) writeData = nullptr;
    decltype(&ftdi_get_error_string) errorString = nullptr;
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
