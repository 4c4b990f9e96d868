#pragma once
// Readers of the device-text fuzz targets' own for what the rules under test write: strict
// UTF-8 on one line, hexadecimal, CSV fields and lines, JSON strings.
// They never call the code under test, so a fault there cannot hide behind the same fault
// here. They write into buffers the caller keeps from one input to the next: an allocation
// costs more under the sanitizers than a whole short input's reading. coverage_ignore.txt
// keeps them out of the coverage that guides the fuzzer.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace readers {

// Each target names itself here: a failed check says which one failed.
extern const char TargetName[];

inline void check(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "%s: %s\n", TargetName, what);
        std::abort();
    }
}

// The code point of the strict UTF-8 sequence at s[at] (no overlong form, no surrogate,
// nothing past U+10FFFF) and its length, or 0 when there is none.
inline size_t decode(std::string_view s, size_t at, char32_t &cp)
{
    const auto lead = static_cast<unsigned char>(s[at]);
    if (lead < 0x80)
        return cp = lead, 1;
    size_t n;
    char32_t least;
    if ((lead & 0xE0) == 0xC0)
        n = 2, cp = lead & 0x1F, least = 0x80;
    else if ((lead & 0xF0) == 0xE0)
        n = 3, cp = lead & 0x0F, least = 0x800;
    else if ((lead & 0xF8) == 0xF0)
        n = 4, cp = lead & 0x07, least = 0x10000;
    else
        return 0;
    if (s.size() - at < n)
        return 0;
    for (size_t k = 1; k < n; ++k) {
        const auto c = static_cast<unsigned char>(s[at + k]);
        if ((c & 0xC0) != 0x80)
            return 0;
        cp = cp << 6 | (c & 0x3F);
    }
    return cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF) ? 0 : n;
}

inline bool isC1(char32_t c) { return c >= 0x80 && c <= 0x9F; }
inline bool isControl(char32_t c) { return c < 0x20 || c == 0x7F || isC1(c); }

// Strict UTF-8 without a C1 control, and without any other control unless
// `controlsAllowed`.
inline bool strictUtf8(std::string_view s, bool controlsAllowed)
{
    char32_t cp;
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c < 0x7F) { // the common case first
            ++i;
            continue;
        }
        const size_t n = decode(s, i, cp);
        if (n == 0 || isC1(cp) || (!controlsAllowed && isControl(cp)))
            return false;
        i += n;
    }
    return true;
}

// One line that moves no cursor.
inline bool safeLine(std::string_view s) { return strictUtf8(s, false); }

// Whether `hex` is exactly `bytes` in upper-case hexadecimal, two digits a byte.
inline bool hexSays(std::string_view hex, std::string_view bytes)
{
    if (hex.size() != 2 * bytes.size())
        return false;
    const char *digits = hex.data();
    for (size_t i = 0; i < 2 * bytes.size(); ++i) {
        const char c = digits[i];
        const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        const auto byte = static_cast<unsigned char>(bytes[i / 2]);
        if (digit < 0 || digit != (i % 2 ? byte & 0xF : byte >> 4))
            return false;
    }
    return true;
}

// The fields of one CSV line, each still as written; false when a quoted field is not
// closed, or is followed by anything but a comma.
inline bool csvSplit(std::string_view line, std::vector<std::string_view> &fields)
{
    fields.clear();
    for (size_t at = 0;;) {
        size_t end = at;
        if (end < line.size() && line[end] == '"') {
            for (++end;; end += 2) {
                end = line.find('"', end);
                if (end == std::string_view::npos)
                    return false;
                if (end + 1 >= line.size() || line[end + 1] != '"')
                    break;
            }
            ++end;
        } else {
            end = std::min(line.find(',', at), line.size());
        }
        fields.push_back(line.substr(at, end - at));
        if (end == line.size())
            return true;
        if (line[end] != ',')
            return false;
        at = end + 1;
    }
}

// What one CSV field holds, or false when it is malformed: quoted with its inner quotes
// doubled, or bare without a quote, a comma or a line break.
inline bool csvContent(std::string_view field, std::string &content)
{
    if (field.empty() || field.front() != '"') {
        content.assign(field);
        return field.find_first_of(",\"\r\n") == std::string_view::npos;
    }
    content.clear();
    if (field.size() < 2 || field.back() != '"')
        return false;
    const std::string_view inner = field.substr(1, field.size() - 2);
    for (size_t from = 0;;) {
        const size_t quote = inner.find('"', from);
        if (quote == std::string_view::npos)
            return content.append(inner.substr(from)), true;
        if (quote + 1 >= inner.size() || inner[quote + 1] != '"')
            return false;
        content.append(inner.substr(from, quote + 1 - from)); // one of the two quotes
        from = quote + 2;
    }
}

inline bool startsWithOneOf(std::string_view text, std::string_view leads)
{
    return !text.empty() && leads.find(text.front()) != std::string_view::npos;
}

// One CSV field as a spreadsheet meets it: nothing it runs, and the text as the terminal
// shows it behind the apostrophe that neutralises a formula. A field of a line already
// checked as a whole (`lineChecked`) is not checked for safe UTF-8 again.
inline void checkCsvField(std::string_view field, std::string_view bytes, std::string_view shown,
                                 bool lineChecked = false)
{
    static std::string content;
    check(lineChecked || safeLine(field), "CSV field not safe UTF-8 on one line");
    check(csvContent(field, content), "CSV field malformed");
    check(!startsWithOneOf(content, "=+-@"), "CSV field starts a formula");
    const bool formula = startsWithOneOf(bytes, "=+-@\t\r");
    check(!formula || content.rfind('\'', 0) == 0, "formula not led by an apostrophe");
    check(std::string_view(content).substr(formula ? 1 : 0) == shown, "CSV field says other than the terminal");
}

inline void appendUtf8(std::string &out, char32_t cp)
{
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | cp >> 6), out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += char(0xE0 | cp >> 12), out += char(0x80 | (cp >> 6 & 0x3F)), out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xF0 | cp >> 18), out += char(0x80 | (cp >> 12 & 0x3F));
        out += char(0x80 | (cp >> 6 & 0x3F)), out += char(0x80 | (cp & 0x3F));
    }
}

// The four hexadecimal digits at text[at] (either case) as a number, or -1.
inline long hex4(std::string_view text, size_t at)
{
    if (text.size() - at < 4)
        return -1;
    long value = 0;
    for (const char c : text.substr(at, 4)) {
        const int digit = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                 : -1;
        if (digit < 0)
            return -1;
        value = value << 4 | digit;
    }
    return value;
}

// The code point of the escape "\uXXXX" at text[at] (at on the 'u'), a surrogate pair
// joined, and `at` past it; -1 for a bad escape or a surrogate without its other half.
inline long unicodeEscape(std::string_view text, size_t &at)
{
    const long first = hex4(text, at + 1);
    at += 5;
    if (first < 0xD800 || first > 0xDFFF)
        return first;
    if (first > 0xDBFF || text.substr(at, 2) != "\\u")
        return -1;
    const long second = hex4(text, at + 2);
    if (second < 0xDC00 || second > 0xDFFF)
        return -1;
    at += 6;
    return 0x10000 + ((first - 0xD800) << 10) + (second - 0xDC00);
}

// The JSON string at text[at] decoded into `out`, and `at` past its closing quote; false
// unless it is one valid JSON string: no raw control below U+0020, strict UTF-8, only the
// escapes JSON has.
inline bool readJsonString(std::string_view text, size_t &at, std::string &out)
{
    out.clear();
    if (at >= text.size() || text[at] != '"')
        return false;
    for (++at; at < text.size();) {
        const char c = text[at];
        if (c == '"')
            return ++at, true;
        if (c != '\\') {
            // A run of plain characters at once: most of a string is.
            size_t end = at;
            char32_t cp;
            for (size_t n; end < text.size() && text[end] != '"' && text[end] != '\\'; end += n) {
                if (const auto b = static_cast<unsigned char>(text[end]); b >= 0x20 && b < 0x80) {
                    n = 1;
                    continue;
                }
                n = decode(text, end, cp);
                if (n == 0 || cp < 0x20)
                    return false;
            }
            out.append(text.substr(at, end - at));
            at = end;
            continue;
        }
        if (++at == text.size())
            return false;
        const char e = text[at];
        if (e == 'u') {
            const long cp = unicodeEscape(text, at);
            if (cp < 0)
                return false;
            appendUtf8(out, char32_t(cp));
            continue;
        }
        ++at;
        switch (e) {
        case '"':
        case '\\':
        case '/': out += e; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        default: return false;
        }
    }
    return false;
}

// `bytes` as a JSON string as a program that reads them as UTF-8 writes them: a quote, a
// backslash and a control below U+0020 escaped, a byte that is not UTF-8 read as U+FFFD,
// everything else (DEL and the C1 controls too) as it came.
inline void appendJsonString(std::string &out, std::string_view bytes)
{
    static constexpr char Digits[] = "0123456789abcdef";
    out += '"';
    char32_t cp;
    for (size_t i = 0; i < bytes.size();) {
        const size_t n = decode(bytes, i, cp);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
            continue;
        }
        if (cp == '"' || cp == '\\')
            out += '\\', out += char(cp);
        else if (cp < 0x20)
            out += "\\u00", out += Digits[cp >> 4], out += Digits[cp & 0xF];
        else
            out.append(bytes.substr(i, n));
        i += n;
    }
    out += '"';
}

} // namespace readers
