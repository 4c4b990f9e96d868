#pragma once
#include "socket_names.h"

#include <QDialog>
#include <QTimer>
#include <set>
#include <string>
#include <vector>

class QLabel;
class QListWidget;

// Names the station's sockets once: the operator plugs a device into each socket in turn, and
// each port that newly appears is asked a name ("Bay N"). Where the port sits on the USB is
// kept under that name in the sockets file the station and mova-update share.
class SocketNaming : public QDialog {
    Q_OBJECT
public:
    // `ports`: the sockets' ports as given; none: every device's.
    SocketNaming(std::vector<std::string> ports, QWidget *parent = nullptr);

private:
    std::set<std::string> present() const;
    void look();
    void name(const std::string &port);

    const std::vector<std::string> ports_;
    std::set<std::string> seen_; // the ports with a device at the last look
    SocketNames names_;          // the file's, with those given here
    int named_ = 0;
    QLabel *said_;
    QListWidget *list_;
    QTimer look_;
};
