#include "usb_connection.h"
#include "abort.h"
#include "clock.h"
#include "ftdi_api.h"
#include "protocol.h"
#include "trace.h"
#include "tty_wire.h"

#include <algorithm>

UsbConnection::UsbConnection(Clock &clock, Options options, std::unique_ptr<TtyWire> tty, FtdiLibrary *ftdi)
    : clock_(clock), options_(options), tty_(tty ? std::move(tty) : std::make_unique<PosixTty>(clock)),
      ftdi_(ftdi ? ftdi : &FtdiLibrary::system())
{
}

UsbConnection::~UsbConnection()
{
    close();
}

bool UsbConnection::failOpen(const std::string &text, bool showErrors)
{
    if (showErrors && showError_)
        showError_(text);
    return false;
}

// ---- opening and closing ------------------------------------------------------------

bool UsbConnection::openFtdi(int deviceIndex, bool showErrors)
{
    // A converter still open from before is let go first: its context would be lost with
    // the converter still claimed, which also makes a real converter refuse this open.
    if (!ttyRoad_)
        close();
    ftdiCloseContext();
    lastPath_.clear();
    refusal_ = OpenRefusal::None;
    const FtdiApi *api = nullptr;
    try {
        api = &ftdi_->api();
    } catch (const Abort &e) {
        lastError_ = e.message();
        Trace::note(clock_, "ftdi", lastError_.c_str());
        return failOpen("Cannot open", showErrors);
    }
    ftdi_context *ctx = api->newContext();
    if (!ctx) {
        lastError_ = "ftdi_new failed";
        return failOpen("Cannot open", showErrors);
    }
    // Open by index in the same list that discovery walks; the entry is named to libftdi by
    // its bus and address, which stay that device's while it is plugged in.
    int status = -1;
    {
        const UsbDeviceList devices(*api, ctx);
        if (deviceIndex >= 0 && deviceIndex < devices.size())
            status = api->openBusAddr(ctx, api->busNumber(devices[deviceIndex]),
                                      api->deviceAddress(devices[deviceIndex]));
    }
    if (status < 0) {
        lastError_ = api->errorString(ctx) ? api->errorString(ctx) : "no such device";
        // libusb's access error, as libftdi words it.
        if (lastError_.find("permission") != std::string::npos)
            refusal_ = OpenRefusal::Denied;
        api->freeContext(ctx);
        return failOpen("Cannot open", showErrors);
    }
    ftHandle_ = ctx;
    lost_ = false;
    refusal_ = OpenRefusal::None;
    auto refuse = [&](const char *text) {
        lastError_ = api->errorString(ctx) ? api->errorString(ctx) : text;
        ftdiCloseContext();
        return failOpen(text, showErrors);
    };
    if (api->setBaudrate(ctx, Line::FtdiBaud) < 0)
        return refuse("Cannot set Baudrate");
    if (api->setLineProperty(ctx, BITS_8, STOP_BIT_1, NONE) < 0)
        return refuse("Cannot set Characteristics");
    ctx->usb_read_timeout = int(options_.readTimeoutMs);
    ctx->usb_write_timeout = Wait::FtdiWriteMs;
    // Latency, chunk size and purge only tune the line; a converter that refuses them still works.
    api->setLatencyTimer(ctx, Line::FtdiLatencyMs);
    api->setReadChunkSize(ctx, Line::FtdiReadChunk);
    api->purge(ctx);
    isOpen_ = true;
    Trace::note(clock_, "ftdi", "open");
    clock_.sleep(Wait::AfterOpenMs);
    return true;
}

bool UsbConnection::openComPort(const std::string &path, bool showErrors)
{
    close();
    std::string why;
    lastPath_ = path;
    const bool opened = tty_->open(path, &why, &refusal_);
    if (!opened) {
        ttyRoad_ = false; // a failed open leaves no handle, which selects the FTDI road
        lastError_ = path + ": " + why;
        Trace::note(clock_, "tty", lastError_.c_str());
        return failOpen("Cannot open", showErrors);
    }
    ttyRoad_ = true;
    lost_ = false;
    lastError_.clear(); // a hint names why the last open failed, never an older one
    // Time-outs are deadlines of each call; the queues are the driver's. Give the device
    // the same pause it gets after configuring its port.
    clock_.sleep(Wait::TtyConfigMs);
    tty_->purge();
    isOpen_ = true;
    Trace::note(clock_, "tty", ("open " + path).c_str());
    clock_.sleep(Wait::AfterOpenMs);
    return true;
}

void UsbConnection::ftdiCloseContext()
{
    if (!ftHandle_)
        return;
    const FtdiApi &api = ftdi_->api(); // loaded, since a context exists
    api.closeDev(ftHandle_);
    api.freeContext(ftHandle_);
    ftHandle_ = nullptr;
}

void UsbConnection::markLost()
{
    // Said in the trace once: a device gone while the tool only listened would otherwise
    // look there like one that stayed and said nothing.
    if (!lost_)
        Trace::note(clock_, roadName(), "lost");
    lost_ = true;
}

void UsbConnection::close()
{
    if (isOpen_) {
        if (ttyRoad_)
            tty_->close();
        else
            ftdiCloseContext();
        Trace::note(clock_, roadName(), "close");
    }
    isOpen_ = false;
}

// ---- transfers ----------------------------------------------------------------------

bool UsbConnection::write(const uint8_t *buffer, int length)
{
    if (!isOpen_ || !buffer || length <= 0)
        return false;
    if (!ttyRoad_) {
        if (!ftHandle_)
            return false;
        const int n = ftdi_->api().writeData(ftHandle_, buffer, length);
        if (n < 0)
            markLost();
        Trace::bytes(clock_, "ftdi", '>', buffer, std::max(n, 0));
        return n == length;
    }
    int done = 0;
    while (done < length) {
        const int piece = std::min(length - done, Line::TtyPiece);
        const int n = tty_->writeSome(buffer + done, piece, clock_.nowMs() + Wait::TtyWriteMs);
        if (n < 0) {
            markLost();
            return false;
        }
        if (n == 0)
            break;
        Trace::bytes(clock_, "tty", '>', buffer + done, n);
        done += n;
    }
    return done == length;
}

bool UsbConnection::ttyRead(uint8_t *buffer, int length, int *received, int64_t deadlineMs, int piece)
{
    int total = 0;
    while (total < length) {
        const int n = tty_->readSome(buffer + total, std::min(length - total, piece), deadlineMs);
        if (n < 0)
            markLost();
        if (n <= 0)
            break;
        Trace::bytes(clock_, "tty", '<', buffer + total, n);
        total += n;
    }
    if (received)
        *received = total;
    return total == length;
}

bool UsbConnection::ftdiRead(uint8_t *buffer, int length, int *received, int timeoutMs)
{
    // libftdi hands over what has come by the end of each latency period, often nothing,
    // so reading exactly `length` bytes is a loop with its own deadline.
    const FtdiApi &api = ftdi_->api();
    const int64_t deadline = clock_.nowMs() + timeoutMs;
    int total = 0;
    while (total < length) {
        const int n = api.readData(ftHandle_, buffer + total, length - total);
        if (n < 0) {
            markLost();
            break;
        }
        Trace::bytes(clock_, "ftdi", '<', buffer + total, n);
        total += n;
        if (total == length || clock_.nowMs() >= deadline)
            break;
        if (n == 0)
            clock_.sleep(1); // bounds the CPU even for a library that answers at once
    }
    if (received)
        *received = total;
    return total == length;
}

bool UsbConnection::read(uint8_t *buffer, int length, int *received)
{
    if (received)
        *received = 0;
    if (!isOpen_ || !buffer || length <= 0)
        return false;
    if (!ttyRoad_)
        return ftHandle_ && ftdiRead(buffer, length, received, int(options_.readTimeoutMs));
    // One deadline for the whole reply: a device that trickles bytes cannot stretch it.
    return ttyRead(buffer, length, received, clock_.nowMs() + options_.readTimeoutMs, Line::TtyPiece);
}

bool UsbConnection::readWithTimeout(uint8_t *buffer, int length, int *received, int timeoutMs)
{
    if (received)
        *received = 0;
    if (!isOpen_ || !buffer || length <= 0)
        return false;
    if (!ttyRoad_) {
        if (!ftHandle_)
            return false;
        ftHandle_->usb_read_timeout = timeoutMs;
        ftHandle_->usb_write_timeout = Wait::FtdiShortWriteMs; // stays until the next open
        const bool ok = ftdiRead(buffer, length, received, timeoutMs);
        ftHandle_->usb_read_timeout = int(options_.readTimeoutMs);
        return ok;
    }
    // The tty road listens its fixed short time, whatever the caller asked.
    return ttyRead(buffer, length, received, clock_.nowMs() + Wait::TtyListenMs, length);
}

bool UsbConnection::purge()
{
    if (!isOpen_)
        return false;
    if (!ttyRoad_)
        return ftHandle_ && ftdi_->api().purge(ftHandle_) == 0;
    return tty_->purge();
}

bool UsbConnection::sendCommand(uint8_t command, bool doubled)
{
    if (!isOpen_)
        return false;
    if (ttyRoad_)
        tty_->drainOutput(clock_.nowMs() + Wait::TtyWriteMs);
    uint8_t byte = command;
    if (!write(&byte, 1) || !read(&byte, 1) || byte != command)
        return false;
    if (!doubled)
        return true;
    clock_.sleep(Wait::BetweenDoubledMs);
    return write(&byte, 1) && read(&byte, 1) && byte == command;
}
