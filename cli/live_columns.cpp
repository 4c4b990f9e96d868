#include "live_columns.h"

#include <cstdlib>
#include <cstring>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

bool continues(char byte)
{
    return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}

} // namespace

size_t columnsOf(const std::string &text)
{
    size_t n = 0;
    for (char byte : text)
        n += !continues(byte);
    return n;
}

std::string fitColumns(const std::string &text, size_t columns, bool pad)
{
    size_t end = 0, shown = 0;
    while (end < text.size() && shown < columns) {
        ++end;
        while (end < text.size() && continues(text[end]))
            ++end;
        ++shown;
    }
    return text.substr(0, end) + (pad ? std::string(columns - shown, ' ') : std::string());
}

std::string shortPortName(const std::string &port)
{
    const size_t slash = port.rfind('/');
    std::string name = slash == std::string::npos ? port : port.substr(slash + 1);
    // usb-<maker>_<product>_<serial>-if<interface>[-port<n>]
    if (const size_t underscore = name.rfind('_');
        port.find("/by-id/") != std::string::npos && underscore != std::string::npos)
        name.erase(0, underscore + 1);
    if (columnsOf(name) <= MaxPortColumns)
        return name;
    size_t start = name.size(); // the last characters but one, behind an ellipsis
    for (size_t kept = 0; kept < MaxPortColumns - 1; ++kept) {
        --start;
        while (start > 0 && continues(name[start]))
            --start;
    }
    return "\u2026" + name.substr(start);
}

size_t terminalColumns()
{
    winsize size {};
    return ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
}

bool terminalMovesCursor()
{
    const char *term = std::getenv("TERM");
    return term && *term && std::strcmp(term, "dumb") != 0;
}

bool summaryInColour(bool terminal, const char *noColor)
{
    return terminal && noColor == nullptr; // set to anything, even nothing: no colour
}
