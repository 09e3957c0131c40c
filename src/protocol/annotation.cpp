#include "protocol/annotation.h"

#include <cstdint>

namespace tarvo::protocol {

namespace {

constexpr char kHex[] = "0123456789abcdef";

int hexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// count hex digits at text[at...]; -1 when any is missing or not a digit.
long readHex(std::string_view text, std::size_t at, std::size_t count)
{
    if (at + count > text.size()) return -1;
    long value = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const int d = hexValue(text[at + i]);
        if (d < 0) return -1;
        value = value * 16 + d;
    }
    return value;
}

bool isHigh(char16_t u)
{
    return u >= 0xD800 && u <= 0xDBFF;
}
bool isLow(char16_t u)
{
    return u >= 0xDC00 && u <= 0xDFFF;
}

} // namespace

std::string EscapeAnnotation(std::u16string_view text)
{
    std::string out;
    out.reserve(text.size() * 3);
    for (const char16_t u : text) {
        if ((u >= u'0' && u <= u'9') || (u >= u'A' && u <= u'Z') || (u >= u'a' && u <= u'z')) {
            out += char(u);
        } else if (u == u' ') {
            out += '+';
        } else if (u < 0x100) {
            out += '%';
            out += kHex[u >> 4];
            out += kHex[u & 0xF];
        } else {
            out += "%u";
            for (int shift = 12; shift >= 0; shift -= 4)
                out += kHex[(u >> shift) & 0xF];
        }
    }
    return out;
}

std::optional<std::u16string> UnescapeAnnotation(std::string_view escaped)
{
    std::u16string out;
    out.reserve(escaped.size());
    for (std::size_t i = 0; i < escaped.size();) {
        const char c = escaped[i];
        if (c == '+') {
            out += u' ';
            ++i;
        } else if (c == '%') {
            long v;
            if (i + 1 < escaped.size() && (escaped[i + 1] == 'u' || escaped[i + 1] == 'U')) {
                v = readHex(escaped, i + 2, 4);
                i += 6;
            } else {
                v = readHex(escaped, i + 1, 2);
                i += 3;
            }
            if (v < 0) return std::nullopt;
            out += char16_t(v);
        } else if (static_cast<unsigned char>(c) < 0x80) {
            out += char16_t(c);
            ++i;
        } else {
            return std::nullopt;
        }
    }
    // Only whole surrogate pairs make text.
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (isHigh(out[i])) {
            if (i + 1 >= out.size() || !isLow(out[i + 1])) return std::nullopt;
            ++i;
        } else if (isLow(out[i])) {
            return std::nullopt;
        }
    }
    return out;
}

std::string ToUtf8(std::u16string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t cp = text[i];
        if (isHigh(text[i]) && i + 1 < text.size() && isLow(text[i + 1])) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (isHigh(text[i]) || isLow(text[i])) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out += char(cp);
        } else if (cp < 0x800) {
            out += char(0xC0 | (cp >> 6));
            out += char(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += char(0xE0 | (cp >> 12));
            out += char(0x80 | ((cp >> 6) & 0x3F));
            out += char(0x80 | (cp & 0x3F));
        } else {
            out += char(0xF0 | (cp >> 18));
            out += char(0x80 | ((cp >> 12) & 0x3F));
            out += char(0x80 | ((cp >> 6) & 0x3F));
            out += char(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

} // namespace tarvo::protocol
