#include "safe_text.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

constexpr char Digits[] = "0123456789ABCDEF";
constexpr char LowDigits[] = "0123456789abcdef"; // escapes read as C and shells write them

// "\xNN" at `out`, the byte in lower-case hexadecimal; past it.
char *escaped(char *out, unsigned char byte)
{
    out[0] = '\\', out[1] = 'x', out[2] = LowDigits[byte >> 4], out[3] = LowDigits[byte & 0xF];
    return out + 4;
}

// Length of the well-formed UTF-8 sequence at `p` (`left` bytes there) that encodes a
// printable code point (not a C1 control), or 0.
size_t printableSequence(const unsigned char *p, size_t left)
{
    const unsigned char lead = p[0];
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
    if (left < n)
        return 0;
    for (size_t i = 1; i < n; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    constexpr uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < least[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF) || cp <= 0x9F)
        return 0; // overlong, out of range, a surrogate, or a C1 control
    return n;
}

// Length of the printable text (printable ASCII and printable UTF-8) at `p` (`left` bytes
// there).
size_t printableRun(const unsigned char *p, size_t left)
{
    size_t i = 0;
    for (;;) {
        while (i < left && static_cast<unsigned char>(p[i] - 0x20) < 0x5F) // ' ' to '~'
            ++i;
        const size_t n = i < left && p[i] >= 0x80 ? printableSequence(p + i, left - i) : 0;
        if (n == 0)
            return i;
        i += n;
    }
}

// Whether the character at `p` (`left` bytes there) is printable.
bool printableAt(const unsigned char *p, size_t left)
{
    return static_cast<unsigned char>(p[0] - 0x20) < 0x5F || (p[0] >= 0x80 && printableSequence(p, left) > 0);
}

// Walks `bytes`, handing each run of printable text to `keep` and each run of bytes that are
// not to `other`, a run at a time: these texts are written in pieces, not byte by byte.
template <typename Keep, typename Other>
void walk(std::string_view bytes, Keep keep, Other other)
{
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.data());
    const size_t size = bytes.size();
    for (size_t i = 0; i < size;) {
        const size_t printable = printableRun(p + i, size - i);
        if (printable > 0)
            keep(bytes.substr(i, printable));
        i += printable;
        const size_t escapedFrom = i;
        while (i < size && !printableAt(p + i, size - i))
            ++i;
        if (i > escapedFrom)
            other(bytes.substr(escapedFrom, i - escapedFrom));
    }
}

// Room for `n` more characters at the end of `out`: where they go.
char *grow(std::string &out, size_t n)
{
    const size_t at = out.size();
    out.resize(at + n);
    return out.data() + at;
}

// Each byte of `run` as "\xNN" at the end of `out`.
void appendEscaped(std::string &out, std::string_view run)
{
    char *to = grow(out, 4 * run.size());
    for (const char c : run)
        to = escaped(to, static_cast<unsigned char>(c));
}

// How many of `bytes` at their start are printable.
size_t leadingPrintable(std::string_view bytes)
{
    return printableRun(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size());
}

} // namespace

std::string shownText(std::string_view bytes)
{
    // Room for the longest it can be from the first escaped byte on, at once: grown as the
    // escapes come, the text would be copied again each time.
    const size_t printable = leadingPrintable(bytes);
    std::string out;
    out.reserve(printable + 4 * (bytes.size() - printable));
    out.append(bytes.substr(0, printable));
    walk(
        bytes.substr(printable), [&](std::string_view run) { out += run; },
        [&](std::string_view run) { appendEscaped(out, run); });
    return out;
}

std::string hexBytes(std::string_view bytes)
{
    std::string out(bytes.size() * 2, '\0');
    char *digit = out.data();
    for (size_t i = 0; i < bytes.size(); ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        *digit++ = Digits[c >> 4];
        *digit++ = Digits[c & 0xF];
    }
    return out;
}

std::string jsonQuoted(std::string_view text)
{
    // Room for the longest it can be, as in shownText: a backslash before each printable
    // character, six characters for each other byte.
    const size_t printable = leadingPrintable(text);
    std::string q;
    q.reserve(2 + 2 * printable + 6 * (text.size() - printable));
    q += '"';
    const auto keep = [&](std::string_view run) {
        // A quote and a backslash take a backslash before them; found with memchr, as
        // most runs hold neither.
        while (!run.empty()) {
            const auto *quote = static_cast<const char *>(std::memchr(run.data(), '"', run.size()));
            const auto *backslash = static_cast<const char *>(std::memchr(run.data(), '\\', run.size()));
            const char *special = !quote ? backslash : !backslash ? quote : std::min(quote, backslash);
            if (!special) {
                q += run;
                return;
            }
            const size_t at = size_t(special - run.data());
            q.append(run.data(), at).append(1, '\\').append(1, *special);
            run.remove_prefix(at + 1);
        }
    };
    keep(text.substr(0, printable));
    walk(
        text.substr(printable), keep,
        [&](std::string_view run) {
            char *to = grow(q, 6 * run.size()); // the longest escape, "\u00NN"
            for (const char ch : run) {
                const auto c = static_cast<unsigned char>(ch);
                if (c == '\n' || c == '\r' || c == '\t') {
                    *to++ = '\\';
                    *to++ = c == '\n' ? 'n' : c == '\r' ? 'r' : 't';
                } else if (c < 0x20 || c == 0x7F) {
                    const char escape[] = {'\\', 'u', '0', '0', Digits[c >> 4], Digits[c & 0xF]};
                    to = std::copy(escape, escape + sizeof escape, to);
                } else { // not UTF-8: said as text, so the line stays strict UTF-8
                    *to++ = '\\';
                    to = escaped(to, c);
                }
            }
            q.resize(to - q.data());
        });
    q += '"';
    return q;
}

std::string csvField(std::string_view text)
{
    // A spreadsheet runs a field that starts like this as a formula; the tab and the CR are
    // escaped below, but a field that started with them is led by the apostrophe all the same.
    const bool formula = !text.empty() && std::string_view("=+-@\t\r").find(text.front()) != std::string_view::npos;
    std::string shown = shownText(text);
    const bool comma = std::memchr(shown.data(), ',', shown.size()) != nullptr;
    const auto *quote = static_cast<const char *>(std::memchr(shown.data(), '"', shown.size()));
    if (!formula && !comma && !quote)
        return shown;
    std::string quoted;
    quoted.reserve(shown.size() + 4);
    quoted += formula ? "\"'" : "\"";
    for (std::string_view rest = shown; !rest.empty();) { // each quote doubled
        quote = static_cast<const char *>(std::memchr(rest.data(), '"', rest.size()));
        const size_t end = quote ? size_t(quote - rest.data()) + 1 : rest.size();
        quoted.append(rest.substr(0, end));
        if (quote)
            quoted += '"';
        rest.remove_prefix(end);
    }
    quoted += '"';
    return quoted;
}
