#pragma once
#include <QString>
#include <QUrl>
#include <array>

namespace ShadowLabel {

// How a label asks the desktop to show what it opens.
enum TShow {
    sHide,
    sMaximize,
    sMinimize,
    sRestore,
    sShow,
    sShowDefault,
    sShowMaximize,
    sShowMinimize,
    sShowMinNoActive,
    sShowNA,
    sShowNoActive,
    sShowNormal
};

// A TShow and the shell's show-window value it stands for. Stored labels carry TShow; the
// shell speaks in the numbers.
struct TShowModeEntry {
    TShow Show;
    int Mode;
};

inline constexpr std::array<TShowModeEntry, 12> kShowModes{{
    {sHide, 0},             // hide
    {sMaximize, 3},         // maximise
    {sMinimize, 6},         // minimise
    {sRestore, 9},          // restore
    {sShow, 5},             // show
    {sShowDefault, 10},     // show as the program starting it asks
    {sShowMaximize, 3},     // show maximised
    {sShowMinimize, 2},     // show minimised
    {sShowMinNoActive, 7},  // show minimised, not activated
    {sShowNA, 8},           // show in its current state, not activated
    {sShowNoActive, 4},     // show normal, not activated
    {sShowNormal, 1},       // show normal
}};

// The show-window value of a TShow.
int ShowModeOf(TShow show);

// What a label asks the desktop shell to do.
struct TShellRequest {
    QString Verb;   // always "Open"
    QString Target; // the label's Command, possibly empty
    int ShowMode;   // from kShowModes
};

// The desktop shell's "Open". A pointer rather than a direct call so that tests can record
// the requests instead of starting programs. Its result is never looked at.
using ShellOpenFunction = void (*)(const TShellRequest &request);
extern ShellOpenFunction ShellOpen;

// The default ShellOpen: hands the target to the desktop's URL handler.
void OpenWithDesktop(const TShellRequest &request);

// The URL the desktop opens for a target: one with a scheme as it is, anything else as a
// local path (relative to the working directory), an empty target as no URL at all.
QUrl ShellTargetUrl(const QString &target);

} // namespace ShadowLabel
