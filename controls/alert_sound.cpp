#include "alert_sound.h"

#include <QApplication>

namespace MyValueSpin {

AlertSoundFunction AlertSound = &QApplication::beep;

} // namespace MyValueSpin
