#pragma once
#include <cstdint>
#include <string>

class Clock;

// Why an open failed, where the operator can do something about it.
enum class OpenRefusal {
    None,
    Missing,     // nothing at the path
    NotTerminal, // something that is no terminal device (never opened)
    Denied,      // the system refused access (a udev rule can grant it)
    Busy,        // another program holds the device
};

// The byte pipe under the tty road. Deadlines are in the clock's milliseconds.
class TtyWire {
public:
    virtual ~TtyWire() = default;
    using Refusal = OpenRefusal;
    // Opens the device at path for exclusive raw use; on failure says why.
    virtual bool open(const std::string &path, std::string *why, Refusal *refusal = nullptr) = 0;
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    // Bytes read, 0 when the deadline passed first, -1 when the device failed or went away.
    virtual int readSome(uint8_t *buffer, int length, int64_t deadlineMs) = 0;
    // Bytes written, 0 when the deadline passed first, -1 on failure.
    virtual int writeSome(const uint8_t *buffer, int length, int64_t deadlineMs) = 0;
    // Discards what is pending in both directions.
    virtual bool purge() = 0;
    // Waits until written bytes have left, at most until the deadline.
    virtual bool drainOutput(int64_t deadlineMs) = 0;
};

// A POSIX terminal device: refuses anything that is not a terminal, takes it exclusively,
// raw mode at the line speed the driver has, waits with poll() deadlines.
class PosixTty : public TtyWire {
public:
    explicit PosixTty(Clock &clock) : clock_(clock) {}
    ~PosixTty() override { close(); }
    bool open(const std::string &path, std::string *why, Refusal *refusal = nullptr) override;
    void close() override;
    bool isOpen() const override { return fd_ >= 0; }
    int readSome(uint8_t *buffer, int length, int64_t deadlineMs) override;
    int writeSome(const uint8_t *buffer, int length, int64_t deadlineMs) override;
    bool purge() override;
    bool drainOutput(int64_t deadlineMs) override;

private:
    // Waits for events on the descriptor until the deadline; false when it passed.
    bool waitFor(short events, int64_t deadlineMs);
    // Lets the descriptor go, and with it the exclusive claim on the line.
    void release();
    Clock &clock_;
    int fd_ = -1;
    bool exclusive_ = false;
};
