#include "protocol/token.h"

#include <cstring>

namespace tarvo::protocol {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int urlSafeValue(char c)
{
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '-') return 62;
    if (c == '_') return 63;
    return -1;
}

} // namespace

std::optional<std::string> EncodeBase64(const void* bytes, std::size_t count)
{
    if (count > kBase64InputLimit) return std::nullopt;
    const auto* in = static_cast<const std::uint8_t*>(bytes);
    std::string out;
    out.reserve((count + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= count; i += 3) {
        const std::uint32_t v =
            std::uint32_t(in[i]) << 16 | std::uint32_t(in[i + 1]) << 8 | in[i + 2];
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    if (const std::size_t rest = count - i; rest > 0) {
        const std::uint32_t v =
            std::uint32_t(in[i]) << 16 | (rest == 2 ? std::uint32_t(in[i + 1]) << 8 : 0);
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::optional<std::string> EncodeLinkToken(const void* bytes, std::size_t count)
{
    std::optional<std::string> text = EncodeBase64(bytes, count);
    if (!text) return text;
    for (char& c : *text) {
        if (c == '+')
            c = '-';
        else if (c == '/')
            c = '_';
    }
    return text;
}

std::optional<std::string> DecodeLinkToken(std::string_view text)
{
    // 12 characters: 8 bytes, the last group "xxx=" with two bits unused.
    // 20 characters: 15 bytes, five whole groups.
    std::size_t padding;
    if (text.size() == kIdTokenLength)
        padding = 1;
    else if (text.size() == kLinkTokenLength)
        padding = 0;
    else
        return std::nullopt;

    const std::size_t dataChars = text.size() - padding;
    if (padding == 1 && text.back() != '=') return std::nullopt;
    std::string out;
    out.reserve(text.size() / 4 * 3);
    std::uint32_t acc = 0;
    int bits = 0;
    for (std::size_t i = 0; i < dataChars; ++i) {
        const int v = urlSafeValue(text[i]);
        if (v < 0) return std::nullopt;
        acc = (acc << 6) | std::uint32_t(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += char((acc >> bits) & 0xFF);
        }
    }
    // The bits left over must be zero, or two texts would name the same bytes.
    if (bits > 0 && (acc & ((1u << bits) - 1)) != 0) return std::nullopt;
    return out;
}

std::string IdToken(const ImageId& id)
{
    return *EncodeLinkToken(id.data(), id.size());
}

std::string LinkToken(const ImageId& id, const ImageKey& key)
{
    std::uint8_t bytes[15];
    std::memcpy(bytes, id.data(), id.size());
    std::memcpy(bytes + id.size(), key.data(), key.size());
    return *EncodeLinkToken(bytes, sizeof bytes);
}

std::optional<ImageId> ParseIdToken(std::string_view text)
{
    if (text.size() != kIdTokenLength) return std::nullopt;
    const std::optional<std::string> bytes = DecodeLinkToken(text);
    if (!bytes || bytes->size() != 8) return std::nullopt;
    ImageId id;
    std::memcpy(id.data(), bytes->data(), id.size());
    return id;
}

std::optional<LinkParts> ParseLinkToken(std::string_view text)
{
    if (text.size() != kLinkTokenLength) return std::nullopt;
    const std::optional<std::string> bytes = DecodeLinkToken(text);
    if (!bytes || bytes->size() != 15) return std::nullopt;
    LinkParts parts;
    std::memcpy(parts.id.data(), bytes->data(), parts.id.size());
    std::memcpy(parts.key.data(), bytes->data() + parts.id.size(), parts.key.size());
    return parts;
}

} // namespace tarvo::protocol
