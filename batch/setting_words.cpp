#include "setting_words.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QSaveFile>
#include <QString>

std::optional<bool> switchWord(const std::string &word)
{
    const QString w = QString::fromStdString(word).trimmed().toLower();
    if (w == "true" || w == "yes" || w == "on" || w == "1")
        return true;
    if (w == "false" || w == "no" || w == "off" || w == "0")
        return false;
    return std::nullopt;
}

namespace {

std::string trimmedItem(const std::string &text)
{
    return QString::fromStdString(text).trimmed().toStdString();
}

} // namespace

bool settingValue(const std::string &text, bool list, std::vector<std::string> &items, std::string &error)
{
    items.clear();
    std::string item;
    bool quoted = false, closed = false; // the item began with a quote; and it was closed
    for (size_t i = 0; i <= text.size(); ++i) {
        const char c = i < text.size() ? text[i] : ',';
        if (quoted && !closed) {
            if (i == text.size()) {
                error = "a quote is not closed";
                return false;
            }
            if (c == '\\' && i + 1 < text.size() && (text[i + 1] == '"' || text[i + 1] == '\\'))
                item += text[++i];
            else if (c == '"')
                closed = true;
            else
                item += c;
        } else if (c == ',' && (list || i == text.size())) {
            items.push_back(quoted ? item : trimmedItem(item));
            item.clear();
            quoted = closed = false;
        } else if (closed) {
            if (c != ' ' && c != '\t') {
                error = "something follows a closing quote";
                return false;
            }
        } else if (c == '"') {
            if (!trimmedItem(item).empty()) {
                error = "a quote in the middle of a value";
                return false;
            }
            item.clear();
            quoted = true;
        } else {
            item += c;
        }
    }
    return true;
}

bool readSettingLines(const std::string &file,
                      const std::function<bool(const std::string &line, std::string &why)> &take,
                      std::string &error)
{
    QFile f(QString::fromStdString(file));
    if (!f.exists())
        return true;
    if (!f.open(QIODevice::ReadOnly)) {
        error = file + ": " + f.errorString().toStdString();
        return false;
    }
    // Whole lines, however long: a line cut in two would be read as two settings.
    const QList<QByteArray> lines = f.readAll().split('\n');
    for (qsizetype n = 0; n < lines.size(); ++n) {
        const std::string line = QString::fromUtf8(lines[n]).trimmed().toStdString();
        if (line.empty() || line[0] == '#')
            continue;
        if (std::string why; !take(line, why)) {
            error = file + ":" + std::to_string(n + 1) + ": " + why;
            return false;
        }
    }
    return true;
}

bool writeSettingFile(const std::string &file, const QByteArray &text, std::string &error)
{
    QDir().mkpath(QFileInfo(QString::fromStdString(file)).absolutePath());
    QSaveFile f(QString::fromStdString(file));
    if (f.open(QIODevice::WriteOnly) && f.write(text) == text.size() && f.commit())
        return true;
    error = file + ": " + f.errorString().toStdString();
    return false;
}
