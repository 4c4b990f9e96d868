#pragma once
#include "socket_names.h"

#include <QDialog>
#include <QTimer>
#include <set>
#include <string>
#include <vector>

class QLabel;
class QListWidget;

// The name the dialog proposes for the socket `port` is in: the one the sockets file `file`
// gives it, else the one a --label gives it for this run (`labels`), else the first "Bay N" no
// socket has. Taking the proposal never renames a socket.
std::string proposedSocketName(const SocketNames &file, const SocketNames &labels, const std::string &port);

// Names the station's sockets once: the operator plugs a device into each socket in turn, and
// each port that newly appears is asked a name. Where the port sits on the USB is kept under
// that name in the sockets file the station and mova-update share.
class SocketNaming : public QDialog {
    Q_OBJECT
public:
    // `ports`: the sockets' ports as given; none: every device's. `labels`: the run's --label
    // NAME=PATH, which name their sockets over the file.
    SocketNaming(std::vector<std::string> ports, const std::vector<std::string> &labels, QWidget *parent = nullptr);

private:
    std::set<std::string> present() const;
    void look();
    void name(const std::string &port);

    const std::vector<std::string> ports_;
    std::set<std::string> seen_; // the ports with a device at the last look
    SocketNames names_;          // the file's, with those given here
    SocketNames labels_;         // the run's --label names
    QLabel *said_;
    QListWidget *list_;
    QTimer look_;
};
