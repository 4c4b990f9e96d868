#pragma once

namespace MyValueSpin {

using AlertSoundFunction = void (*)();

// The platform's default alert, played for refused keystrokes and refused steps.
// A pointer rather than a direct call so that a test can count the alerts.
extern AlertSoundFunction AlertSound;

} // namespace MyValueSpin
