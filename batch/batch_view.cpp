#include "batch_view.h"
#include "safe_text.h"

std::string shownField(const QJsonValue &v)
{
    return shownText(v.toString().replace(QLatin1Char('\n'), QLatin1Char(' ')).toStdString());
}

std::string shortPort(const std::string &port)
{
    const auto slash = port.rfind('/');
    return shownText(slash == std::string::npos ? port : port.substr(slash + 1));
}

void BatchView::workerError(const std::string &port, const std::string &line)
{
    error(shortPort(port) + ": " + shownText(line));
}

DeviceEnd deviceEnd(Outcome outcome, bool mayBeWithoutFirmware)
{
    if (outcome == Outcome::Updated)
        return DeviceEnd::Updated;
    if (outcome == Outcome::AlreadyCurrent)
        return DeviceEnd::AlreadyCurrent;
    if (mayBeWithoutFirmware)
        return DeviceEnd::MayBeWithoutFirmware;
    // Nothing was written: the device holds what it held.
    if (outcome == Outcome::Declined || outcome == Outcome::Interrupted || outcome == Outcome::Skipped)
        return DeviceEnd::NotWritten;
    return DeviceEnd::Failed;
}

bool needsAHand(Outcome outcome, bool mayBeWithoutFirmware)
{
    const DeviceEnd end = deviceEnd(outcome, mayBeWithoutFirmware);
    return end == DeviceEnd::Failed || end == DeviceEnd::MayBeWithoutFirmware || outcome == Outcome::Declined;
}
