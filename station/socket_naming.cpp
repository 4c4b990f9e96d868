#include "socket_naming.h"
#include "discovery.h"
#include "safe_text.h"

#include <QDialogButtonBox>
#include <QFileInfo>
#include <QInputDialog>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

namespace {

constexpr int LookMs = 300; // a device plugged in is named within a third of a second

QString shown(const std::string &s) { return QString::fromStdString(shownText(s)); }

} // namespace

std::string proposedSocketName(const SocketNames &file, const SocketNames &labels, const std::string &port)
{
    if (file.named(port))
        return file.nameOf(port);
    if (labels.named(port))
        return labels.nameOf(port);
    for (int n = 1;; ++n) {
        const std::string bay = "Bay " + std::to_string(n);
        if (std::none_of(file.all().begin(), file.all().end(), [&](const SocketName &s) { return s.name == bay; }))
            return bay;
    }
}

SocketNaming::SocketNaming(std::vector<std::string> ports, const std::vector<std::string> &labels, QWidget *parent)
    : QDialog(parent), ports_(std::move(ports)), said_(new QLabel), list_(new QListWidget)
{
    setWindowTitle("Name the sockets");
    std::string why;
    if (!names_.load(SocketNames::standardFile(), why))
        said_->setText("The sockets file cannot be read (" + QString::fromStdString(why) +
                       "); names given now replace it.");
    for (const SocketName &socket : names_.all())
        list_->addItem(shown(socket.name + "  \u2190  " + socket.path));
    for (const std::string &label : labels)
        if (std::string unused; labels_.add(label, unused)) // read once already, on the command line
            list_->addItem(shown(labels_.all().back().name + "  \u2190  " + labels_.all().back().path) +
                           "   (--label: for this run, over the file)");
    auto *column = new QVBoxLayout(this);
    auto *how = new QLabel("Plug a device into each socket in turn, beginning with the first, and take it out "
                           "again before the next. Each socket is asked its name as its device is found.\n"
                           "Press Done when every socket has its name: the station starts again with them.");
    how->setWordWrap(true);
    column->addWidget(how);
    column->addWidget(list_, 1);
    said_->setWordWrap(true);
    column->addWidget(said_);
    auto *buttons = new QDialogButtonBox;
    buttons->addButton("Done", QDialogButtonBox::AcceptRole);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    column->addWidget(buttons);
    resize(560, 380);
    seen_ = present(); // the devices in their sockets already are not the ones being named
    connect(&look_, &QTimer::timeout, this, &SocketNaming::look);
    look_.start(LookMs);
}

std::set<std::string> SocketNaming::present() const
{
    std::set<std::string> now;
    if (ports_.empty()) {
        for (const std::string &port : findInterfacePaths(deviceUsbId()))
            now.insert(port);
    } else {
        for (const std::string &port : ports_)
            if (QFileInfo::exists(QString::fromStdString(port)))
                now.insert(port);
    }
    return now;
}

void SocketNaming::look()
{
    const std::set<std::string> now = present();
    std::vector<std::string> plugged;
    for (const std::string &port : now)
        if (!seen_.count(port))
            plugged.push_back(port);
    seen_ = now;
    if (plugged.empty())
        return;
    look_.stop(); // one question at a time
    for (const std::string &port : plugged)
        name(port);
    seen_ = present(); // what was plugged in while the question was asked is not taken for a socket
    look_.start(LookMs);
}

void SocketNaming::name(const std::string &port)
{
    const std::string path = socketPath(port);
    // A --label names the socket for this run whatever the file says: the operator is told so.
    const QString label = labels_.named(port) ? "--label names it \"" + shown(labels_.nameOf(port)) + "\" for this run" : "";
    bool ok = false;
    const QString name =
        QInputDialog::getText(this, "Name the socket",
                              "A device was plugged into the socket at\n" + shown(path) + "\n" +
                                  (label.isEmpty() ? QString() : label + ", over the sockets file.\n") + "Its name:",
                              QLineEdit::Normal, shown(proposedSocketName(names_, labels_, port)), &ok)
            .trimmed();
    if (!ok || name.isEmpty())
        return;
    names_.set(name.toStdString(), path);
    std::string why;
    if (!names_.save(SocketNames::standardFile(), why)) {
        said_->setText("The name could not be kept: " + QString::fromStdString(why));
        return;
    }
    list_->addItem(name + "  \u2190  " + shown(path));
    said_->setText("\u2714 " + name + " is kept in " + QString::fromStdString(SocketNames::standardFile()) +
                   (label.isEmpty() ? QString() : "; " + label + ", over the file") +
                   ". Take the device out, then plug it into the next socket.");
}
