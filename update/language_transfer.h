#pragma once
#include <string>

class Clock;
class RunScreen;
struct Session;

// After a confirmed firmware: reconnects to the restarted device (under a new path if it
// came back under one, provided it is the same device), then sends the translation table in
// acknowledged 512-byte blocks. True when it showed its own success message; false when
// there was no table or it failed (its message then shown), so the firmware's success is
// told instead.
bool sendLanguageTable(Session &session, RunScreen &screen, Clock &clock, const std::string &tablePath);
