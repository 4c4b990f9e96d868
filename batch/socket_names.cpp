#include "socket_names.h"
#include "discovery.h"
#include "setting_words.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cstdlib>

namespace {

constexpr const char *ByPath = "/dev/serial/by-path/";

std::string canonical(const std::string &path)
{
    return QFileInfo(QString::fromStdString(path)).canonicalFilePath().toStdString();
}

std::string trimmed(const std::string &text)
{
    return QString::fromStdString(text).trimmed().toStdString();
}

} // namespace

std::string SocketNames::standardFile()
{
    // A relative XDG_CONFIG_HOME is to be ignored.
    const char *config = std::getenv("XDG_CONFIG_HOME");
    const std::string base = config && config[0] == '/' ? config : QDir::homePath().toStdString() + "/.config";
    return base + "/qtx-mova-update/sockets.conf";
}

bool SocketNames::load(const std::string &file, std::string &error)
{
    return readSettingLines(file, [this](const std::string &line, std::string &why) { return addQuoted(line, why); },
                            error);
}

bool SocketNames::save(const std::string &file, std::string &error) const
{
    QByteArray text = "# The station's sockets: NAME=PATH, PATH where the socket is on the USB\n";
    for (const SocketName &s : names_)
        text += QByteArray::fromStdString(s.name + "=" + s.path + "\n");
    return writeSettingFile(file, text, error);
}

// A line of the file: its name and its path each as written, or in double quotes.
bool SocketNames::addQuoted(const std::string &line, std::string &error)
{
    const auto eq = line.find('=');
    std::vector<std::string> name, path;
    if (eq != std::string::npos && settingValue(line.substr(0, eq), false, name, error) &&
        settingValue(line.substr(eq + 1), false, path, error) && !name.front().empty() && !path.front().empty()) {
        set(name.front(), path.front());
        return true;
    }
    if (!error.empty())
        error = trimmed(line.substr(0, eq)) + ": " + error;
    else
        error = "a socket's name is NAME=PATH, not \"" + line + "\"";
    return false;
}

bool SocketNames::add(const std::string &label, std::string &error)
{
    const auto eq = label.find('=');
    const std::string name = trimmed(label.substr(0, eq == std::string::npos ? 0 : eq));
    const std::string path = eq == std::string::npos ? "" : trimmed(label.substr(eq + 1));
    if (name.empty() || path.empty()) {
        error = "a socket's name is NAME=PATH, not \"" + label + "\"";
        return false;
    }
    set(name, path);
    return true;
}

void SocketNames::set(const std::string &name, const std::string &path)
{
    for (SocketName &s : names_)
        if (s.path == path) {
            s.name = name;
            return;
        }
    names_.push_back({name, path});
}

const SocketName *SocketNames::find(const std::string &port) const
{
    if (names_.empty())
        return nullptr;
    const std::string where = socketPath(port), node = canonical(port), topology = usbTopologyPath(port);
    for (const SocketName &s : names_) {
        const bool samePlace = s.path == port || s.path == where || (!topology.empty() && s.path == topology);
        // A by-path link given by hand leads to the node the device has now.
        if (samePlace || (!node.empty() && s.path.rfind(ByPath, 0) == 0 && canonical(s.path) == node))
            return &s;
    }
    return nullptr;
}

std::string SocketNames::nameOf(const std::string &port) const
{
    if (const SocketName *s = find(port))
        return s->name;
    const auto slash = port.rfind('/');
    return slash == std::string::npos ? port : port.substr(slash + 1);
}

bool SocketNames::named(const std::string &port) const
{
    return find(port) != nullptr;
}

std::string socketPath(const std::string &port)
{
    const std::string node = canonical(port);
    if (!node.empty()) {
        const QDir byPath(ByPath);
        for (const QFileInfo &link : byPath.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot))
            if (link.canonicalFilePath().toStdString() == node)
                return link.absoluteFilePath().toStdString();
        if (std::string topology = usbTopologyPath(port); !topology.empty())
            return ByPath + topology;
    }
    return QFileInfo(QString::fromStdString(port)).absoluteFilePath().toStdString();
}
