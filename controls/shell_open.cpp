#include "shell_open.h"

#include <QDesktopServices>
#include <QFileInfo>

namespace ShadowLabel {

namespace {

// A one-letter "scheme" is a drive letter of a path written the other platforms' way.
constexpr int kShortestScheme = 2;

} // namespace

ShellOpenFunction ShellOpen = &OpenWithDesktop;

int ShowModeOf(TShow show)
{
    for (const TShowModeEntry &entry : kShowModes) {
        if (entry.Show == show)
            return entry.Mode;
    }
    return ShowModeOf(sShowNormal);
}

QUrl ShellTargetUrl(const QString &target)
{
    if (target.isEmpty())
        return {};
    const QUrl url(target);
    if (url.isValid() && url.scheme().size() >= kShortestScheme)
        return url;
    return QUrl::fromLocalFile(QFileInfo(target).absoluteFilePath());
}

void OpenWithDesktop(const TShellRequest &request)
{
    // The desktop decides how the opened program shows itself; the show mode has no
    // counterpart there.
    const QUrl url = ShellTargetUrl(request.Target);
    if (url.isValid())
        QDesktopServices::openUrl(url);
}

} // namespace ShadowLabel
