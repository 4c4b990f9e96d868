#pragma once

#include <QByteArray>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// The words of the settings files a person writes by hand (station.conf, sockets.conf): read
// as that person meant them, or refused with the reason; never taken for a default.

// A switch: true/false, yes/no, on/off or 1/0, in any case; nothing for any other word.
std::optional<bool> switchWord(const std::string &word);

// A value as written, trimmed, and without the double quotes around it or around each of its
// comma-separated items (`list`); false with the reason when a quote is not closed or
// something follows a closing one. Inside quotes, \" and \\ stand for " and \.
bool settingValue(const std::string &text, bool list, std::vector<std::string> &items, std::string &error);

// Each line of a settings file, trimmed, to `take` (its number from 1); blank lines and those
// starting with '#' are skipped. A file that is not there holds nothing. False with
// "<file>: <why>" when it cannot be read, or "<file>:<line>: <why>" at the first line `take`
// refuses with its reason.
bool readSettingLines(const std::string &file,
                      const std::function<bool(const std::string &line, std::string &why)> &take,
                      std::string &error);
// `text` as the whole of `file` (its folder made first), in one step: a reader sees the old
// file or the new one, never half of one. False with the reason in `error`.
bool writeSettingFile(const std::string &file, const QByteArray &text, std::string &error);
