// Bytes a device chooses (its serial, its USB strings) or a port's name, through the rules
// that make them safe where they go: the terminal line, the exact bytes in hexadecimal, a
// JSON string and a CSV field. What each place needs is checked with readers of the fuzz
// targets' own (text_readers.h), not with the rules under test; the rows and lines built
// from these texts are fuzz_device_renderings' part.
#include "safe_text.h"
#include "text_readers.h"

#include <cstdint>
#include <string>
#include <string_view>

using namespace readers;

const char readers::TargetName[] = "device_text";

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char *>(data), size);

    // The terminal line.
    const std::string shown = shownText(bytes);
    check(safeLine(shown), "shown text not safe UTF-8 on one line");
    check(shownText(shown) == shown, "showing the shown text changes it");
    check(!safeLine(bytes) || shown == bytes, "printable text not shown as it is");

    // The exact bytes.
    check(hexSays(hexBytes(bytes), bytes), "hexadecimal does not give back the bytes");

    // A JSON string: strict UTF-8, no raw control, and the text itself whenever it is UTF-8
    // without a C1 control (those and the bytes that are not UTF-8 are said as "\xNN").
    const std::string quoted = jsonQuoted(bytes);
    check(safeLine(quoted), "JSON string not safe UTF-8 on one line");
    static std::string value; // kept: its room serves the next input
    size_t end = 0;
    check(readJsonString(quoted, end, value) && end == quoted.size(), "JSON string does not parse as one string");
    check(!strictUtf8(bytes, true) || value == bytes, "JSON string does not carry the text");

    // A CSV field.
    checkCsvField(csvField(bytes), bytes, shown);
    return 0;
}
