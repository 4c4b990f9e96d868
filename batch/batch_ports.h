#pragma once
#include "batch_decisions.h"

#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

// What a port is right now: present or not, and which node and link; a device unplugged and
// plugged in between two looks gets a new node or link, so a change shows it was away. A link
// is also known by when it was made: a file system may hand a removed link's inode number to
// the next one at once, and the next pseudo-terminal may take the freed number, so a swap
// quicker than one look can leave every number as it was.
struct PortIdentity {
    bool present = false;
    dev_t device = 0, rdev = 0;
    ino_t link = 0, node = 0;
    timespec linkMade {};
    bool operator==(const PortIdentity &o) const
    {
        return present == o.present && device == o.device && rdev == o.rdev && link == o.link && node == o.node &&
               linkMade.tv_sec == o.linkMade.tv_sec && linkMade.tv_nsec == o.linkMade.tv_nsec;
    }
};

PortIdentity identifyPort(const std::string &path);

// A port whose device is left alone, and the device it held then.
struct PortHold {
    HeldPort port;
    PortIdentity identity;
};

// The ports a batch watches: the --port paths (once each: a device given twice, or as a link
// and its target, is one device), or every device's present. A port whose worker ended is
// held, its device left alone until it is seen gone or changed.
class PortWatch {
public:
    explicit PortWatch(const std::vector<std::string> &given);

    // The ports with a device now, to update all at once.
    std::vector<std::string> present() const;
    // Looks at every watched port but the busy ones: a held port seen gone or changed is
    // noted so at `nowMs`. Returns the ports with a device that is not held, in their order.
    std::vector<std::string> look(int64_t nowMs, const std::function<bool(const std::string &)> &busy);
    // Whether a look would see nothing: every port given is busy. Never so without ports
    // given, where any device may come.
    bool allBusy(const std::function<bool(const std::string &)> &busy) const;
    // The device on `port` (this serial; `updated` when its update succeeded) is left alone
    // until it is unplugged.
    void hold(const std::string &port, const std::string &serialHex, bool updated);
    // The held ports, for the batch's decisions.
    std::map<std::string, HeldPort> held() const;
    // The held ports whose device was not seen to leave: a next batch on the same sockets
    // takes them over, so that a device is not updated again while it stays in its socket.
    std::map<std::string, PortHold> stillHeld() const;
    void takeOver(const std::map<std::string, PortHold> &holds);

private:
    std::vector<std::string> watched() const;

    const std::vector<std::string> given_;
    std::map<std::string, PortHold> held_;
};
