#pragma once
// A screen for the monitoring that shows nothing: for runs that only want the timing.
#include "monitor_screen.h"

struct MinimalScreen : MonitorScreen {};
