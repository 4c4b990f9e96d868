#pragma once
#include "run_filter.h"

#include <string>
#include <vector>

// How a reading of the journal went.
enum class JournalRead {
    Read,     // `runs` holds what was found (maybe nothing)
    NoPlace,  // the folder given does not exist, is no folder, or holds no journal file
    Failed,   // the journal could not be opened or read
};

// The runs the journal keeps (JournalEntry::MessageId), from this machine's journal (system
// and this user's) when `folder` is empty, else from the journal files in `folder` (as a
// collector's systemd-journal-remote writes them, each station's host name in its entries):
// the newest `count` of those `filter` lets through, newest first by the time each was
// written. Only those `count` are held, however large the journal; `error` says why when
// not Read, and when Read, which journal files of the folder could not be (if any). A file of
// the folder that the journal cannot open (damaged, cut short) fails the reading, named.
JournalRead readJournalRuns(const std::string &folder, const RunFilter &filter, int count, std::vector<RunFacts> &runs,
                            std::string &error);

// A run read from the journal as one JSON object: its host, time and fields, texts strict
// UTF-8, the serial's bytes in hexadecimal too.
std::string journalRunJson(const RunFacts &run);
