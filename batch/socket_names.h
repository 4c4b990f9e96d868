#pragma once
#include <string>
#include <vector>

// A socket of a station, named by its operator: "Bay 3" at a place on the USB.
struct SocketName {
    std::string name;
    std::string path; // /dev/serial/by-path/…, udev's ID_PATH of it, or (emulated) a link's path
};

// The names of a station's sockets. A kernel node (ttyACM3) says nothing about which socket a
// device sits in, and a device gets another one after its restart; where it sits on the USB
// stays. The names live in one small file the station window and mova-update share, a line
// "NAME=PATH" each.
class SocketNames {
public:
    // $XDG_CONFIG_HOME/qtx-mova-update/sockets.conf, or under ~/.config.
    static std::string standardFile();
    // Reads `file`; one that does not exist names nothing. False with the line at fault.
    bool load(const std::string &file, std::string &error);
    // Writes every name to `file` (its folder made when needed); false with the reason.
    bool save(const std::string &file, std::string &error) const;
    // "NAME=PATH", as --label gives it: a name given again for the same place replaces it.
    bool add(const std::string &label, std::string &error);
    void set(const std::string &name, const std::string &path);
    const std::vector<SocketName> &all() const { return names_; }

    // The name of the socket `port` is in now: the operator's, else the port's own name (an
    // emulated device's link, or the node).
    std::string nameOf(const std::string &port) const;
    // Whether the operator named the socket `port` is in.
    bool named(const std::string &port) const;

private:
    bool addQuoted(const std::string &line, std::string &error);
    const SocketName *find(const std::string &port) const;
    std::vector<SocketName> names_;
};

// Where `port` is, to name its socket by: the /dev/serial/by-path link that leads to it, else
// its node's USB topology as udev knows it, else (a pseudo-terminal behind a link, as the
// emulator publishes its devices) the port as given, made absolute.
std::string socketPath(const std::string &port);
