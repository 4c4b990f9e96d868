#pragma once
#include <QString>
#include <QStringList>

namespace MyValueSpin {

// What the control library offers a form designer: its component classes, in palette order,
// and the palette page they go on. The running program never needs it.
struct TComponentRegistration {
    QString Page;
    QStringList ComponentClasses;
};

TComponentRegistration Register();

} // namespace MyValueSpin
