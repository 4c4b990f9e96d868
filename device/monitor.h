#pragma once
#include <string>

class Clock;
class MonitorScreen;
struct Session;

// The device line and the hidden service fields from the device's identity and
// calibration; enables "Update" for a device the build may update. False when the link is
// closed or the identity does not come.
bool showDeviceInformation(Session &session, MonitorScreen &screen, Clock &clock, std::string *deviceLine);

// One tick of the status timer: while the link is closed, find, open, greet and identify the
// device; while it is open, read the battery. Sets the next poll itself.
void pollDevice(Session &session, MonitorScreen &screen, Clock &clock);
