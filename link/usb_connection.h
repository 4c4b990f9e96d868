#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class Clock;
class FtdiLibrary;
#include "tty_wire.h"
struct ftdi_context;

// The one link to the device, on one of two roads: a USB serial converter driven through
// libftdi1 (opened by its index in the library's list), or a terminal device (opened by
// path). Every operation answers true or false and never throws.
class UsbConnection {
public:
    struct Options {
        uint32_t readTimeoutMs = 1000; // standing read time-out
    };

    // tty: the wire of the tty road (a PosixTty when null). ftdi: the library of the FTDI
    // road (FtdiLibrary::system() when null).
    UsbConnection(Clock &clock, Options options, std::unique_ptr<TtyWire> tty = nullptr,
                  FtdiLibrary *ftdi = nullptr);
    explicit UsbConnection(Clock &clock) : UsbConnection(clock, Options {}) {}
    ~UsbConnection();
    UsbConnection(const UsbConnection &) = delete;
    UsbConnection &operator=(const UsbConnection &) = delete;

    bool openFtdi(int deviceIndex, bool showErrors);
    bool openComPort(const std::string &path, bool showErrors);
    void close();

    bool write(const uint8_t *buffer, int length);
    bool read(uint8_t *buffer, int length, int *received = nullptr);
    bool readWithTimeout(uint8_t *buffer, int length, int *received, int timeoutMs);
    bool purge();
    // One command byte and its echo; doubled puts it on the wire twice with two echoes.
    bool sendCommand(uint8_t command, bool doubled);
    // The same as this road sends it: doubled exactly on the FTDI road.
    bool sendCommand(uint8_t command) { return sendCommand(command, doubled()); }

    bool isOpen() const { return isOpen_; }
    // The device went away under an open link (the line hung up or the converter failed);
    // cleared by the next open.
    bool deviceLost() const { return lost_; }
    // The road of every transfer: the tty road once openComPort succeeded (until an
    // openComPort fails), the FTDI road otherwise.
    bool onFtdiRoad() const { return !ttyRoad_; }
    // Callers send doubled commands exactly on the FTDI road.
    bool doubled() const { return onFtdiRoad(); }
    uint32_t readTimeoutMs() const { return options_.readTimeoutMs; }
    // The FTDI road's library; discovery lists converters through the same one.
    FtdiLibrary &ftdiLibrary() { return *ftdi_; }
    Clock &clock() { return clock_; }

    // Why the last open failed, for a trace or a log (the operator sees the callers' texts).
    const std::string &lastError() const { return lastError_; }
    // Why the last open failed, where the operator can act on it.
    OpenRefusal lastRefusal() const { return refusal_; }
    // The terminal the last tty open was for (empty when the last open was on the FTDI road).
    const std::string &lastPath() const { return lastPath_; }
    // Where the open failures go when a caller asks for them to be shown.
    void setErrorDisplay(std::function<void(const std::string &)> show) { showError_ = std::move(show); }

private:
    bool ttyRead(uint8_t *buffer, int length, int *received, int64_t deadlineMs, int piece);
    bool ftdiRead(uint8_t *buffer, int length, int *received, int timeoutMs);
    void ftdiCloseContext();
    bool failOpen(const std::string &text, bool showErrors);
    const char *roadName() const { return ttyRoad_ ? "tty" : "ftdi"; }

    Clock &clock_;
    Options options_;
    std::unique_ptr<TtyWire> tty_;
    FtdiLibrary *ftdi_;
    ftdi_context *ftHandle_ = nullptr;
    bool isOpen_ = false;
    bool lost_ = false;
    void markLost();
    OpenRefusal refusal_ = OpenRefusal::None;
    bool ttyRoad_ = false;
    std::string lastError_;
    std::string lastPath_;
    std::function<void(const std::string &)> showError_;
};
