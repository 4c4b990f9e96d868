#pragma once
#include <string>
#include <string_view>

// A device chooses the bytes of its serial number and its USB strings, and a file named on
// the command line can hold anything. These rules turn such bytes into text that is safe
// where it goes, while the bytes themselves stay untouched wherever they are data (the
// image gets the serial's exact bytes).

// Bytes as a terminal or one text line may show them: printable ASCII and printable UTF-8
// pass; control bytes (newline included), DEL, C1 controls and bytes that are not UTF-8
// become "\xNN". The result is one line of valid UTF-8 with no control byte, and showing it
// again changes nothing.
std::string shownText(std::string_view bytes);

// The bytes in upper-case hexadecimal, two digits each, nothing between: "41004243".
std::string hexBytes(std::string_view bytes);

// A text as a JSON string, quotes included, always valid UTF-8: controls as \uXXXX, a byte
// that is not UTF-8 as the text "\xNN" (as shownText says it).
std::string jsonQuoted(std::string_view text);

// A text as one CSV field: controls and bytes that are not UTF-8 escaped as shownText does,
// a field a spreadsheet would run as a formula (= + - @, or a tab or CR first) led by an
// apostrophe, and quoted then, and whenever it holds a comma or a quote.
std::string csvField(std::string_view text);
