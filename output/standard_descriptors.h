#pragma once

// Standard input, output and error are open before the program opens anything else: a
// program started with one of them closed (a careless cron line, a daemon's wrapper) would
// otherwise hand that number to the next descriptor it opens, and its messages would be
// written into an event pipe or a device. A closed one is opened on /dev/null.
// Call it first in main, before any other descriptor is opened.
void keepStandardDescriptorsOpen();
