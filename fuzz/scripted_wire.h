#pragma once
// A tty wire whose device says exactly what a fuzz input scripts, in virtual time.
#include "clock.h"
#include "tty_wire.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

// How the scripted device behaves; taken from the first byte of an input so that the
// fuzzer explores the link's handling of each behaviour as well as the reply bytes.
struct WireBehaviour {
    bool echoCommands = true;  // every byte written comes straight back before the script
    bool trickle = false;      // one byte per read call, as a slow converter delivers them
    bool vanishAtEnd = false;  // past the script the device is gone (-1) instead of silent (0)
    bool refuseWrites = false; // writes time out: nothing leaves the program

    static WireBehaviour fromByte(uint8_t b)
    {
        WireBehaviour w;
        w.echoCommands = !(b & 1);
        w.trickle = b & 2;
        w.vanishAtEnd = b & 4;
        w.refuseWrites = (b & 0x78) == 0x78; // rare, so that most inputs get past the command
        return w;
    }
};

class ScriptedWire : public TtyWire {
public:
    ScriptedWire(VirtualClock &clock, const uint8_t *script, size_t length, WireBehaviour behaviour)
        : clock_(clock), script_(script), length_(length), behaviour_(behaviour)
    {
    }

    bool open(const std::string &, std::string *, Refusal * = nullptr) override
    {
        open_ = true;
        return true;
    }
    void close() override
    {
        open_ = false;
        echoes_.clear();
    }
    bool isOpen() const override { return open_; }

    int readSome(uint8_t *buffer, int length, int64_t deadlineMs) override
    {
        if (!open_ || length <= 0)
            return -1;
        const int limit = behaviour_.trickle ? 1 : length;
        int n = 0;
        while (n < limit && !echoes_.empty()) {
            buffer[n++] = echoes_.front();
            echoes_.pop_front();
        }
        const size_t fromScript = std::min(size_t(limit - n), length_ - at_);
        std::copy_n(script_ + at_, fromScript, buffer + n);
        at_ += fromScript;
        n += int(fromScript);
        if (n > 0)
            return n;
        if (behaviour_.vanishAtEnd)
            return -1;
        // Silence: the caller's whole deadline passes, without any real waiting.
        clock_.advanceTo(deadlineMs);
        return 0;
    }

    int writeSome(const uint8_t *buffer, int length, int64_t deadlineMs) override
    {
        if (!open_)
            return -1;
        if (behaviour_.refuseWrites) {
            clock_.advanceTo(deadlineMs);
            return 0;
        }
        if (behaviour_.echoCommands)
            echoes_.insert(echoes_.end(), buffer, buffer + length);
        return length;
    }

    bool purge() override
    {
        echoes_.clear();
        return open_;
    }
    bool drainOutput(int64_t) override { return open_; }

private:
    VirtualClock &clock_;
    const uint8_t *script_;
    size_t length_;
    size_t at_ = 0;
    WireBehaviour behaviour_;
    bool open_ = false;
    std::deque<uint8_t> echoes_;
};
