#pragma once
#include <cstddef>
#include <functional>
#include <ostream>
#include <string>

// Everything the programs print goes through here, so that no write to a terminal, a pipe or
// a log ever holds the thread that times the device: a thread of its own does the writing,
// and a caller only queues. A reader that falls behind (a terminal stopped with Ctrl-S, a pipe
// nobody reads, a slow journal) loses progress lines, never the device: while it is behind,
// only the newest progress line waits and the rest are counted, and it is told how many once
// it keeps up again. The lines that matter (plan, stage, message, result) wait, in order,
// until the reader moves again or the program ends, after the device has been let go.
// Descriptors on one file (standard output and standard error on one terminal) are written in
// the order they were given their texts: a message never lands inside the live line before it.
class OutputWriter {
public:
    enum class Kind {
        Event,    // kept, in order, however long the reader takes
        Progress, // a progress line: while the reader is behind, only the newest one waits
        Trace,    // a line of the byte trace to standard error: as a progress line
        Redraw,   // a live line redrawn in place (see redraw()): the newest waiting one replaces the one before it
    };
    // What a reader that fell behind did not get.
    struct Dropped {
        long progress = 0, trace = 0;
        long events = 0; // only past EventCapBytes waiting: a reader that never comes back
        bool any() const { return progress || trace || events; }
    };
    // The line that tells the reader of `fd` what it did not get ("N progress lines not
    // shown"), in that reader's form; the default is a plain line.
    using Note = std::function<std::string(const Dropped &)>;

    // Queues `text` for `fd`; never waits on the reader.
    static void write(int fd, std::string text, Kind kind = Kind::Event);
    // Queues a live line or block of lines redrawn in place: `undo` takes back what the redraw
    // before drew (the cursor moved back up, the lines cleared), `draw` draws anew. Where a
    // waiting redraw is replaced, its undo stays: the terminal still shows what came before it.
    static void redraw(int fd, std::string undo, std::string draw);
    // A stream whose text is queued as `kind` for `fd` at each flush and each line's end.
    static std::ostream &stream(int fd, Kind kind);
    // From now on std::cout, std::cerr and std::clog, and Qt's own messages, are queued here;
    // what is still queued is written when the program ends.
    static void install();
    static void setNote(int fd, Note note);
    static std::string plainNote(const Dropped &d);
    // Waits until everything queued is written, or its reader is gone; `limitMs` < 0 waits as
    // long as that takes. False when something was left. Called only where nothing waits on
    // the device any more.
    static bool drain(int limitMs = -1);

    // A reader is behind while this much waits for it.
    static constexpr size_t BehindBytes = 16 << 10;
    // Past this much waiting, even events are counted instead of kept: memory stays bounded
    // for a reader that never comes back.
    static constexpr size_t EventCapBytes = 64 << 20;
};
