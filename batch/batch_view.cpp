#include "batch_view.h"
#include "safe_text.h"

std::string shortPort(const std::string &port)
{
    const auto slash = port.rfind('/');
    return shownText(slash == std::string::npos ? port : port.substr(slash + 1));
}

void BatchView::workerError(const std::string &port, const std::string &line)
{
    error(shortPort(port) + ": " + shownText(line));
}

