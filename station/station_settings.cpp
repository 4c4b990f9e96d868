#include "station_settings.h"

#include "safe_text.h"
#include "setting_words.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <cstdlib>
#include <iterator>
#include <set>

const char *const StationUsage = R"(usage: qtx-mova-station [options]
Updates every recording device plugged into the station's sockets, one tile a socket.
options:
  --port PATH          a socket's port (/dev/serial/by-path/..., or an emulated device's
                       link); once for each socket, in the order of the tiles
  --all                every matching device, as it is plugged in (named sockets first)
  --report FILE        one row per device appended to FILE (CSV, or JSON lines for .jsonl)
  --label NAME=PATH    the socket at PATH is called NAME for this run; as often as needed
                       (over ~/.config/qtx-mova-update/sockets.conf)
  --count N            stop after N devices
  --quit-at-end        close the window once the batch has ended
  --reinstall          write a device that has the carried firmware already
  --allow-older        write the carried firmware over a newer one (a downgrade)
  --firmware FILE.hex  update from this Intel HEX text instead of the carried one
  --table FILE         update with this translation table instead of the carried one
  --help               this text
settings: ~/.config/qtx-mova-update/station.conf (ports, report, sound, battery_guard,
ask_before_recording, on_result, reinstall, allow_older); the options above override it
for the run
)";

std::string StationSettings::standardFile()
{
    // A relative XDG_CONFIG_HOME is to be ignored, as for the sockets file beside it.
    const char *config = std::getenv("XDG_CONFIG_HOME");
    const std::string base = config && config[0] == '/' ? config : QDir::homePath().toStdString() + "/.config";
    return base + "/qtx-mova-update/station.conf";
}

namespace {

// A line of station.conf taken into `s`; false with the reason, the key first when there is one.
bool takeLine(const std::string &line, StationSettings &s, std::string &error)
{
    const auto eq = line.find('=');
    const std::string key = QString::fromStdString(line.substr(0, eq)).trimmed().toStdString();
    if (eq == std::string::npos || key.empty()) {
        error = "a setting is KEY=VALUE, not \"" + line + "\"";
        return false;
    }
    std::vector<std::string> items;
    if (!settingValue(line.substr(eq + 1), key == "ports", items, error)) {
        error = key + ": " + error;
        return false;
    }
    const std::string &value = items.front();
    std::vector<std::pair<std::string_view, bool *>> switches {
        {"sound", &s.sound}, {"battery_guard", &s.batteryGuard}, {"ask_before_recording", &s.askBeforeRecording}};
    for (const BatchOption<bool> &o : BatchSwitches)
        if (!o.stationKey.empty())
            switches.emplace_back(o.stationKey, &(s.*o.field));
    for (const auto &[switchKey, on] : switches)
        if (key == switchKey) {
            const std::optional<bool> word = switchWord(value);
            if (!word)
                error = key + ": \"" + value + "\" is no switch: true/false, yes/no, on/off or 1/0";
            else
                *on = *word;
            return word.has_value();
        }
    for (const BatchOption<std::string> &o : BatchValues)
        if (!o.stationKey.empty() && key == o.stationKey) {
            s.*o.field = value;
            return true;
        }
    if (key == "ports") {
        s.ports.clear();
        for (const std::string &port : items)
            if (!port.empty())
                s.ports.push_back(port);
    } else {
        error = key + ": no such setting (ports, report, sound, battery_guard, ask_before_recording, on_result, "
                      "reinstall, allow_older)";
        return false;
    }
    return true;
}

} // namespace

bool StationSettings::load(const std::string &file)
{
    StationSettings read = *this; // taken only once every line is
    std::set<std::string> keys;
    const bool taken = readSettingLines(
        file,
        [&](const std::string &line, std::string &why) {
            if (line[0] == ';' || line == "[General]")
                return true;
            const std::string key = QString::fromStdString(line.substr(0, line.find('='))).trimmed().toStdString();
            why = key + ": given twice";
            if (keys.insert(key).second && takeLine(line, read, why))
                return true;
            why = shownText(why);
            return false;
        },
        refused);
    if (taken)
        *this = read;
    return taken;
}

bool StationSettings::batchOptions(BatchOptions &options, std::string &error) const
{
    options = BatchOptions {};
    if (!refused.empty()) {
        error = refused + "; no device is written until it is put right";
        return false;
    }
    options = *this; // the batch's options as the settings and the command line give them
    // A station takes one device after another in each socket, for as long as it runs.
    options.repeat = true;
    options.station = true; // its workers explain in the station's words
    // The window cannot pass a worker's question on: without the question, a device that may
    // hold a recording is written; with it, such a device is left as it is.
    options.yes = !askBeforeRecording;
    options.allowLowBattery = !batteryGuard;
    if (!options.sockets.load(SocketNames::standardFile(), error))
        return false;
    for (const std::string &label : labels)
        if (!options.sockets.add(label, error))
            return false;
    return true;
}

bool keepSetting(const std::string &file, const std::string &key, const std::string &value, std::string &error)
{
    QFile in(QString::fromStdString(file));
    QByteArrayList lines;
    if (in.exists()) {
        if (!in.open(QIODevice::ReadOnly)) {
            error = file + ": " + in.errorString().toStdString();
            return false;
        }
        lines = in.readAll().split('\n');
        if (!lines.isEmpty() && lines.back().isEmpty())
            lines.pop_back();
    }
    const QByteArray line = QByteArray::fromStdString(key + "=" + value);
    bool set = false;
    for (QByteArray &l : lines)
        if (const qsizetype eq = l.indexOf('='); eq > 0 && l.left(eq).trimmed() == key.c_str())
            l = line, set = true;
    if (!set)
        lines << line;
    return writeSettingFile(file, lines.join('\n') + '\n', error);
}

namespace {

// The value after an option, or false with the reason.
bool valueOf(const QStringList &arguments, int &i, std::string &value, std::string &error)
{
    if (i + 1 >= arguments.size()) {
        error = arguments[i].toStdString() + " needs a value";
        return false;
    }
    value = arguments[++i].toStdString();
    return true;
}

// The batch's option the station takes on its command line as `arg`, or null.
template <typename T, size_t N>
const BatchOption<T> *onStationLine(const BatchOption<T> (&options)[N], const QString &arg)
{
    for (const BatchOption<T> &o : options)
        if (o.onStationLine && arg == QLatin1StringView(o.option.data(), qsizetype(o.option.size())))
            return &o;
    return nullptr;
}

} // namespace

StationCommand parseStationArguments(const QStringList &arguments, StationSettings &s, std::string &error)
{
    std::vector<std::string> ports;
    bool all = false;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &arg = arguments[i];
        std::string value;
        if (arg == "--help" || arg == "-h")
            return StationCommand::Help;
        if (arg == "--all") {
            all = true;
        } else if (arg == "--quit-at-end") {
            s.quitAtEnd = true;
        } else if (const BatchOption<bool> *on = onStationLine(BatchSwitches, arg)) {
            s.*on->field = true;
        } else if (const BatchOption<std::string> *given = onStationLine(BatchValues, arg)) {
            if (!valueOf(arguments, i, value, error))
                return StationCommand::Failed;
            s.*given->field = value;
        } else if (arg == "--port" || arg == "--label" || arg == "--count") {
            if (!valueOf(arguments, i, value, error))
                return StationCommand::Failed;
            if (arg == "--port") {
                ports.push_back(value);
            } else if (arg == "--label") {
                if (std::string why; !SocketNames().add(value, why)) {
                    error = "--label: " + why;
                    return StationCommand::Failed;
                }
                s.labels.push_back(value);
            } else {
                bool ok = false;
                s.devices = QString::fromStdString(value).toInt(&ok);
                if (!ok || s.devices < 1 || s.devices > 100000) {
                    error = "--count: a number from 1 to 100000, not " + value;
                    return StationCommand::Failed;
                }
            }
        } else {
            error = "unknown option " + arg.toStdString();
            return StationCommand::Failed;
        }
    }
    if (all && !ports.empty()) {
        error = "--all looks for the devices itself: give it or --port, not both";
        return StationCommand::Failed;
    }
    if (all || !ports.empty())
        s.ports = ports; // the settings file's sockets are not this run's
    return StationCommand::Run;
}

std::string findWorkerProgram(const std::string &folder)
{
    const QDir here(QString::fromStdString(folder));
    for (const QString &candidate : {here.filePath("mova-update"), here.filePath("../cli/mova-update")})
        if (QFileInfo(candidate).isExecutable())
            return QDir::cleanPath(candidate).toStdString();
    const QString onPath = QStandardPaths::findExecutable("mova-update");
    return onPath.isEmpty() ? "mova-update" : onPath.toStdString();
}
