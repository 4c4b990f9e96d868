#pragma once
#include <cstddef>
#include <string>

// The live lines of a batch share a terminal's width: each line must fit it, or the terminal
// wraps it and the next redraw leaves the wrapped part behind. Texts here are shown text
// (valid UTF-8), and a character is counted as one column.

// How many characters `text` shows.
size_t columnsOf(const std::string &text);

// At most `columns` characters of `text`, never half of one; with `pad`, blanks fill the rest.
std::string fitColumns(const std::string &text, size_t columns, bool pad = false);

// Of a port's name, the part that tells it from its neighbours: a link by the adapter's
// serial shows what follows its maker and product (the same for every adapter of one kind);
// a node shows its name; any other name longer than MaxPortColumns shows its end, where
// names of one kind differ.
constexpr size_t MaxPortColumns = 28;
std::string shortPortName(const std::string &port);

// The width of the terminal on standard output now (80 where it says none): read at each
// redraw, so that a resized window is followed.
size_t terminalColumns();
// Whether the terminal can take a line redrawn in place: not one that says it is dumb or
// says nothing of itself. Such a terminal gets plain lines, without escape sequences.
bool terminalMovesCursor();
// A batch's summary in colour, and a bell when a device failed: only for a terminal, and not
// when NO_COLOR is set (`noColor`, its value, is null when it is not).
bool summaryInColour(bool terminal, const char *noColor);
