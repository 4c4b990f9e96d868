#include "safe_text.h"

#include <cstdint>

namespace {

constexpr char Digits[] = "0123456789ABCDEF";
constexpr char LowDigits[] = "0123456789abcdef"; // escapes read as C and shells write them

void appendEscaped(std::string &out, unsigned char byte)
{
    out += "\\x";
    out += LowDigits[byte >> 4];
    out += LowDigits[byte & 0xF];
}

// Length of the well-formed UTF-8 sequence at the start of `s` that encodes a printable
// code point (not a C1 control), or 0.
size_t printableSequence(std::string_view s)
{
    const auto b = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char lead = b(0);
    size_t n = 0;
    uint32_t cp = 0;
    if (lead >= 0xC2 && lead <= 0xDF)
        n = 2, cp = lead & 0x1F;
    else if (lead >= 0xE0 && lead <= 0xEF)
        n = 3, cp = lead & 0x0F;
    else if (lead >= 0xF0 && lead <= 0xF4)
        n = 4, cp = lead & 0x07;
    else
        return 0;
    if (s.size() < n)
        return 0;
    for (size_t i = 1; i < n; ++i) {
        if ((b(i) & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (b(i) & 0x3F);
    }
    const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < least[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF) || cp <= 0x9F)
        return 0; // overlong, out of range, a surrogate, or a C1 control
    return n;
}

// Walks `bytes`, handing printable runs to `keep` and every other byte to `other`.
template <typename Keep, typename Other>
void walk(std::string_view bytes, Keep keep, Other other)
{
    for (size_t i = 0; i < bytes.size();) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c >= 0x20 && c < 0x7F) {
            keep(bytes.substr(i, 1));
            ++i;
        } else if (const size_t n = c >= 0x80 ? printableSequence(bytes.substr(i)) : 0; n > 0) {
            keep(bytes.substr(i, n));
            i += n;
        } else {
            other(c);
            ++i;
        }
    }
}

} // namespace

std::string shownText(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size());
    walk(bytes, [&](std::string_view run) { out += run; }, [&](unsigned char c) { appendEscaped(out, c); });
    return out;
}

std::string hexBytes(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        out += Digits[c >> 4];
        out += Digits[c & 0xF];
    }
    return out;
}

std::string jsonQuoted(std::string_view text)
{
    std::string q = "\"";
    q.reserve(text.size() + 2);
    walk(
        text,
        [&](std::string_view run) {
            if (run == "\"" || run == "\\")
                q += '\\';
            q += run;
        },
        [&](unsigned char c) {
            switch (c) {
            case '\n': q += "\\n"; break;
            case '\r': q += "\\r"; break;
            case '\t': q += "\\t"; break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    q += "\\u00";
                    q += Digits[c >> 4];
                    q += Digits[c & 0xF];
                } else { // not UTF-8: said as text, so the line stays strict UTF-8
                    q += "\\\\x";
                    q += LowDigits[c >> 4];
                    q += LowDigits[c & 0xF];
                }
            }
        });
    return q + "\"";
}

std::string csvField(std::string_view text)
{
    // A spreadsheet runs a field that starts like this as a formula; the tab and the CR are
    // escaped below, but a field that started with them is led by the apostrophe all the same.
    const bool formula = !text.empty() && std::string_view("=+-@\t\r").find(text.front()) != std::string_view::npos;
    const std::string shown = (formula ? "'" : "") + shownText(text);
    if (!formula && shown.find_first_of(",\"") == std::string::npos)
        return shown;
    std::string quoted = "\"";
    for (const char c : shown)
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}
